#!/usr/bin/python3
"""Soak: a client streams a 1280x720 window from the stand-in host for a long while under Wine.

Samples the resident memory of the host process that it started every 10 s, all of it (RSS)
and its anonymous part (RssAnon: the heaps, without mapped files), and reports their growth
after the first minute, the frames and audio packets the client received, and the host's
error lines. The samples go to build/windows/soak/memory.csv (seconds, RSS KiB, RssAnon KiB).
Usage: soak.py [MINUTES]   (build the targets QuorvaneHostStandin, qh_close_window and
qh_test_window of the windows preset first)
"""
import json
import os
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ beside the sources
from standin_host import CLIENT, StandinHost  # noqa: E402

MINUTES = float(sys.argv[1]) if len(sys.argv) > 1 else 30.0
TITLE = "Quorvane Soak Window"
WIDTH, HEIGHT = 1280, 720


def growth(samples, index):
    """First value after the first minute (of a shorter run: the first), the last one and the peak, of
    column `index`, of the samples taken while the stream ran (not those of the client's closing work)."""
    streaming = [sample for sample in samples if sample[0] < MINUTES * 60]
    after_minute = [sample[index] for sample in streaming if sample[0] >= 60] or [s[index] for s in streaming]
    return after_minute[0], after_minute[-1], max(after_minute)


def percent(value, base):
    return 100.0 * (value - base) / base


host = StandinHost("soak")
try:
    host.start()
    host.open_window(TITLE, WIDTH, HEIGHT)
    summary_path = os.path.join(host.work, "summary.json")
    with open(summary_path, "w") as summary_file:
        client = subprocess.Popen(["/usr/bin/python3", CLIENT, "--json", "--timeout", "30"] +
                                  host.client_arguments() +
                                  ["stream", "--window", TITLE, "--window-timeout", "60", "--seconds",
                                   str(int(MINUTES * 60)), "--tone", "--out", os.path.join(host.work, "stream")],
                                  stdout=summary_file)
        samples = []
        start = time.time()
        while client.poll() is None:
            samples.append((time.time() - start,) + host.memory())
            time.sleep(10)
    with open(summary_path) as f:  # a file, not a pipe: a long stream's summary outgrows a pipe's buffer
        summary = json.load(f)
finally:
    exit_code = host.close()

with open(os.path.join(host.work, "memory.csv"), "w") as f:
    f.writelines("%.0f,%d,%d\n" % s for s in samples)
if "error" in summary:
    sys.exit("the client failed: %s" % summary["error"])
rss, anon = growth(samples, 1), growth(samples, 2)
print("minutes %.1f, samples %d, RSS after 1 min %d KiB, last %d KiB (%+.2f %%), peak %d KiB (%+.2f %%)" %
      (MINUTES, len(samples), rss[0], rss[1], percent(rss[1], rss[0]), rss[2], percent(rss[2], rss[0])))
print("RssAnon after 1 min %d KiB, last %d KiB (%+.2f %%), peak %d KiB (%+.2f %%)" %
      (anon[0], anon[1], percent(anon[1], anon[0]), anon[2], percent(anon[2], anon[0])))
video, audio = summary["video"], summary["audio"]
print("video: %d frames, %.1f fps, %.0f kbit/s, %d keyframes; audio: %d packets, tone %s Hz; problems %d" %
      (video["frames"], video["fps"], video["kbps"], video["keyframes"], audio["packets"], audio.get("toneHz"),
       summary["problems"]["count"]))
errors = host.error_lines()
print("host error lines: %d%s" % (len(errors), "".join("\n  " + e for e in errors[:10])))
print("host exit code: %s" % exit_code)
for name, values in (("rss", rss), ("rss_anon", anon)):
    print("BENCH soak.%s.after_1min %d KiB" % (name, values[0]))
    print("BENCH soak.%s.end %d KiB after %.1f min" % (name, values[1], MINUTES))
    print("BENCH soak.%s.growth %.2f %% end against after 1 min" % (name, percent(values[1], values[0])))
print("BENCH soak.video.fps %.1f fps %dx%d window, %d frames" % (video["fps"], WIDTH, HEIGHT, video["frames"]))
sys.exit(0 if exit_code == 0 and video["frames"] > 0 else 1)
