#!/usr/bin/python3
"""CPU share of the host's main thread with its window shown and minimised.

Runs the stand-in build of the host under Wine (build/windows), samples the main thread's
CPU time over a few seconds in each state, and prints the shares of one core.
Usage: main_loop_cpu.py [SECONDS]   (run scripts/run-host.sh once first, for the build)
"""
import os
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
BUILD = os.path.join(ROOT, "build", "windows")
HOST_DIR = os.path.join(BUILD, "standin-host")
WINE = "/usr/lib/wine/wine64"
SECONDS = float(sys.argv[1]) if len(sys.argv) > 1 else 10.0


def main_thread_seconds(pid):
    with open("/proc/%d/task/%d/stat" % (pid, pid)) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def share(pid):
    start, wall = main_thread_seconds(pid), time.time()
    time.sleep(SECONDS)
    return (main_thread_seconds(pid) - start) / (time.time() - wall)


def window(action):
    subprocess.run([WINE, os.path.join(HOST_DIR, "qh_close_window.exe"), "QuorvaneHostClass", "10", action],
                   env=ENV, check=True)


ENV = dict(os.environ, WINEDEBUG="-all", WINEPREFIX=os.path.join(BUILD, "run-host", "wineprefix"))
state = os.path.join(BUILD, "run-host", "wine-state", "display")
if "DISPLAY" not in ENV and os.path.exists(state):
    ENV["DISPLAY"] = open(state).read().strip()
host = subprocess.Popen([WINE, "QuorvaneHostStandin.exe"], cwd=HOST_DIR, env=ENV, stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL)
try:
    time.sleep(8)
    # The Windows process's main thread is the unix process's first thread.
    pid = int(subprocess.run(["pgrep", "-n", "-f", "QuorvaneHostStandin.exe"], capture_output=True,
                             text=True).stdout.split()[0])
    shown = share(pid)
    window("minimize")
    time.sleep(1)
    minimised = share(pid)
    print("main thread, share of one core: shown %.1f %%, minimised %.1f %%" % (100 * shown, 100 * minimised))
finally:
    subprocess.run([WINE, os.path.join(HOST_DIR, "qh_close_window.exe")], env=ENV)
    host.wait(timeout=60)
