#!/usr/bin/python3
"""CPU cost of the idle host (no client, no stream) with its window shown and minimised.

Runs the stand-in build of the host under Wine as scripts/run-host.sh does (its Wine prefix,
virtual display and private sound server in build/windows/run-host) and samples from /proc,
over SECONDS in each state, the shares of one core that these spent: the host's main thread,
the host process (all its threads), and all of Wine's processes of that prefix (the host,
wineserver and Wine's own services); the virtual display's X server apart, when this script
started it. Wine's fps channel gives the rate of the host's presents meanwhile.
Usage: main_loop_cpu.py [SECONDS]   (default 20; build the targets QuorvaneHostStandin and
qh_close_window of the windows preset first)
"""
import os
import re
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
BUILD = os.path.join(ROOT, "build", "windows")
HOST_DIR = os.path.join(BUILD, "standin-host")
RUN = os.path.join(BUILD, "run-host")
PREFIX = os.path.join(RUN, "wineprefix")
STATE = os.path.join(RUN, "wine-state")
PULSE = os.path.join(RUN, "pulse")
WINE = "/usr/lib/wine/wine64"
SECONDS = float(sys.argv[1]) if len(sys.argv) > 1 else 20.0
TICK = os.sysconf("SC_CLK_TCK")

ENV = dict(os.environ, WINEDEBUG="-all", WINEPREFIX=PREFIX, QH_WINE_STATE=STATE)


def script(*args):
    subprocess.run([os.path.join(ROOT, "scripts", args[0])] + list(args[1:]), env=ENV, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def cpu_seconds(stat_path):
    try:
        with open(stat_path) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0  # ended meanwhile
    return (int(fields[11]) + int(fields[12])) / TICK


def prefix_processes():
    """Wine's processes (its loader or wineserver) whose environment names this prefix."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                environ = f.read().split(b"\0")
            exe = os.readlink("/proc/%s/exe" % entry)
        except OSError:
            continue
        if ("WINEPREFIX=" + PREFIX).encode() in environ and "/wine" in exe:
            found.append(int(entry))
    return found


def host_pid():
    for pid in prefix_processes():
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                if b"QuorvaneHostStandin.exe" in f.read():
                    return pid
        except OSError:
            pass
    return None


def xvfb_pid():
    try:
        with open(os.path.join(STATE, "xvfb.pid")) as f:
            return int(f.read().strip())
    except (OSError, ValueError):
        return None


def sample(pid, log):
    """Over SECONDS: shares of one core (main thread, host, Wine, X server) and presents/s."""
    xvfb = xvfb_pid()

    def take():
        prefix = {p: cpu_seconds("/proc/%d/stat" % p) for p in prefix_processes()}
        return (cpu_seconds("/proc/%d/task/%d/stat" % (pid, pid)), cpu_seconds("/proc/%d/stat" % pid), prefix,
                cpu_seconds("/proc/%d/stat" % xvfb) if xvfb else 0.0, time.time(), os.path.getsize(log.name))

    before = take()
    time.sleep(SECONDS)
    after = take()
    wall = after[4] - before[4]
    # A process that started or ended meanwhile counts with what it spent inside the window.
    wine = sum(after[2][p] - before[2].get(p, 0.0) for p in after[2])
    log.seek(before[5])
    rates = [float(r) for r in re.findall(r"exec_present .*approx ([0-9.]+)fps", log.read(after[5] - before[5]))]
    return ((after[0] - before[0]) / wall, (after[1] - before[1]) / wall, wine / wall, (after[3] - before[3]) / wall,
            sum(rates) / len(rates) if rates else 0.0)


def window(*args):
    subprocess.run([WINE, os.path.join(HOST_DIR, "qh_close_window.exe"), "QuorvaneHostClass", "10"] + list(args),
                   env=ENV, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


os.makedirs(RUN, exist_ok=True)
script("wine-env.sh", "setup")
display = os.path.join(STATE, "display")
if "DISPLAY" not in os.environ and os.path.exists(display):
    with open(display) as f:
        ENV["DISPLAY"] = f.read().strip()
script("pulse-env.sh", "server", PULSE)
ENV.update(PULSE_SERVER="unix:%s/native" % PULSE, PULSE_CLIENTCONFIG="%s/client.conf" % PULSE)

# Wine's fps channel: a line with the rate of presents about once a second, on stderr.
log = open(os.path.join(RUN, "main-loop-cpu.log"), "w+")
host = subprocess.Popen([WINE, "QuorvaneHostStandin.exe"], cwd=HOST_DIR, env=dict(ENV, WINEDEBUG="-all,trace+fps"),
                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log)
try:
    time.sleep(8)
    pid = host_pid()
    if pid is None or host.poll() is not None:
        sys.exit("the host did not start (exit code %s)" % host.poll())
    shown = sample(pid, log)
    window("minimize")
    time.sleep(1)
    minimised = sample(pid, log)
    print("idle host over %.0f s, shares of one core:" % SECONDS)
    print("  %-10s %11s %12s %12s %9s %10s" % ("window", "main thread", "host", "Wine", "X server", "presents"))
    for name, s in (("shown", shown), ("minimised", minimised)):
        print("  %-10s %10.1f%% %11.1f%% %11.1f%% %8.1f%% %8.1f/s" % (name, 100 * s[0], 100 * s[1], 100 * s[2],
                                                                      100 * s[3], s[4]))
finally:
    if host.poll() is None:
        subprocess.run([WINE, os.path.join(HOST_DIR, "qh_close_window.exe")], env=ENV, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        try:
            host.wait(timeout=60)
        except subprocess.TimeoutExpired:
            host.kill()
    script("pulse-env.sh", "cleanup", PULSE)
    script("wine-env.sh", "cleanup")
