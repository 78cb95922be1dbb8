#!/usr/bin/python3
"""Soak: a client streams a window from the stand-in host for a long while under Wine.

Samples the host process's resident memory every 10 s and reports its growth after the
first minute, the frames and audio packets the client received, and the host's error lines.
Usage: soak.py [MINUTES]   (run scripts/run-host.sh once first, for the build)
"""
import json
import os
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
BUILD = os.path.join(ROOT, "build", "windows")
HOST_DIR = os.path.join(BUILD, "standin-host")
WORK = os.path.join(BUILD, "soak")
WINE = "/usr/lib/wine/wine64"
MINUTES = float(sys.argv[1]) if len(sys.argv) > 1 else 30.0
TITLE = "Quorvane Soak Window"

os.makedirs(WORK, exist_ok=True)
pulse = os.path.join(WORK, "pulse")
ENV = dict(os.environ, WINEDEBUG="-all", WINEPREFIX=os.path.join(WORK, "wineprefix"),
           PULSE_SERVER="unix:%s/native" % pulse, PULSE_CLIENTCONFIG="%s/client.conf" % pulse,
           QH_WINE_STATE=os.path.join(WORK, "wine-state"))
subprocess.run([os.path.join(ROOT, "scripts", "wine-env.sh"), "setup"], env=ENV, check=True)
if "DISPLAY" not in ENV:  # the virtual display that wine-env.sh started
    with open(os.path.join(ENV["QH_WINE_STATE"], "display")) as f:
        ENV["DISPLAY"] = f.read().strip()
subprocess.run([os.path.join(ROOT, "scripts", "pulse-env.sh"), "setup", pulse], env=ENV, check=True)


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(next(line for line in f if line.startswith("VmRSS")).split()[1])


log_path = os.path.join(WORK, "host.log")
with open(log_path, "w") as log:
    host = subprocess.Popen([WINE, "QuorvaneHostStandin.exe"], cwd=HOST_DIR, env=ENV, stdout=log,
                            stderr=subprocess.STDOUT)
window = subprocess.Popen([WINE, os.path.join(BUILD, "host", "tests", "e2e", "qh_test_window.exe"),
                           "Z:" + os.path.join(WORK, "window.log").replace("/", "\\"), TITLE, "1280", "720"],
                          env=ENV)
time.sleep(10)
summary_path = os.path.join(WORK, "summary.json")
summary_file = open(summary_path, "w")
client = subprocess.Popen(["/usr/bin/python3", os.path.join(ROOT, "scripts", "quorvane_client.py"), "--json",
                           "stream", "--window", TITLE, "--seconds", str(int(MINUTES * 60)), "--tone", "--out",
                           os.path.join(WORK, "stream")], stdout=summary_file)
pid = int(subprocess.run(["pgrep", "-n", "-f", "QuorvaneHostStandin.exe"], capture_output=True,
                         text=True).stdout.split()[0])
samples = []
start = time.time()
while client.poll() is None:
    samples.append((time.time() - start, rss_kib(pid)))
    time.sleep(10)
summary_file.close()
with open(summary_path) as f:  # a file, not a pipe: a long stream's summary outgrows a pipe's buffer
    summary = json.load(f)
subprocess.run([WINE, os.path.join(HOST_DIR, "qh_close_window.exe"), "QuorvaneTestWindow", "5"], env=ENV)
subprocess.run([WINE, os.path.join(HOST_DIR, "qh_close_window.exe")], env=ENV)
host.wait(timeout=60)
window.wait(timeout=60)
subprocess.run([os.path.join(ROOT, "scripts", "pulse-env.sh"), "cleanup", pulse], env=ENV)
subprocess.run([os.path.join(ROOT, "scripts", "wine-env.sh"), "cleanup"], env=ENV)

after_minute = [kib for t, kib in samples if t >= 60]
baseline, last, peak = after_minute[0], after_minute[-1], max(after_minute)
errors = [line for line in open(log_path, errors="replace") if "[error]" in line or "[critical]" in line]
print("minutes %.1f, samples %d, RSS after 1 min %d KiB, last %d KiB (%+.2f %%), peak %d KiB (%+.2f %%)" %
      (MINUTES, len(samples), baseline, last, 100.0 * (last - baseline) / baseline, peak,
       100.0 * (peak - baseline) / baseline))
video, audio = summary["video"], summary["audio"]
print("video: %d frames, %.1f fps, %.0f kbit/s, %d keyframes; audio: %d packets, tone %s Hz; problems %d" %
      (video["frames"], video["fps"], video["kbps"], video["keyframes"], audio["packets"], audio.get("toneHz"),
       summary["problems"]["count"]))
print("host error lines: %d%s" % (len(errors), "".join("\n  " + e.strip() for e in errors[:10])))
with open(os.path.join(WORK, "memory.csv"), "w") as f:
    f.writelines("%.0f,%d\n" % s for s in samples)
