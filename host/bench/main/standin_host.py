"""The stand-in host under Wine, as the scripts of host/bench/main start it and watch it.

One StandinHost lives in build/windows/NAME (or NAME itself, when that is an absolute
path): its Wine prefix (with a settings file that
puts the host's four TCP servers on free ports, so that it never meets another host of the
machine), its virtual display when no DISPLAY is set and its sound server with a 1 kHz tone
(scripts/pulse-env.sh setup). The host runs from build/windows/standin-host, with its output
in NAME/host.log; its memory is read from /proc for its own process id, the one this script
started, never another host's of the same name.
"""
import glob
import json
import os
import socket
import subprocess
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
BUILD = os.path.join(ROOT, "build", "windows")
HOST_DIR = os.path.join(BUILD, "standin-host")
WINDOW_EXE = os.path.join(BUILD, "host", "tests", "e2e", "qh_test_window.exe")
CLIENT = os.path.join(ROOT, "scripts", "quorvane_client.py")
WINE = "/usr/lib/wine/wine64"  # the loader itself: the host's process id is the one started here
EXE = "QuorvaneHostStandin.exe"
READY_LINE = "All subsystems initialized successfully"
START_LIMIT = 120  # seconds the host and the window get to come up on a loaded machine


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def memory_kib(pid):
    """(VmRSS, RssAnon) of a process in KiB, from /proc/PID/status."""
    values = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "RssAnon"):
                values[key] = int(rest.split()[0])
    return values["VmRSS"], values["RssAnon"]


def wait_until(condition, what, limit=START_LIMIT):
    deadline = time.monotonic() + limit
    while not condition():
        if time.monotonic() > deadline:
            raise RuntimeError("%s: not within %d s" % (what, limit))
        time.sleep(0.2)


class StandinHost:
    """One host process with its Wine prefix, display and sound server; driven by the script's thread."""

    def __init__(self, name):
        self.work = os.path.join(BUILD, name)
        os.makedirs(self.work, exist_ok=True)
        self.pulse = os.path.join(self.work, "pulse")
        self.env = dict(os.environ, WINEDEBUG="-all", WINEPREFIX=os.path.join(self.work, "wineprefix"),
                        PULSE_SERVER="unix:%s/native" % self.pulse,
                        PULSE_CLIENTCONFIG="%s/client.conf" % self.pulse,
                        QH_WINE_STATE=os.path.join(self.work, "wine-state"))
        self.ports = [free_port() for _ in range(4)]  # signaling, video, audio, input
        self.log_path = os.path.join(self.work, "host.log")
        self.process = None
        self.windows = []

    def _script(self, *args):
        subprocess.run([os.path.join(ROOT, "scripts", args[0])] + list(args[1:]), env=self.env, check=True)

    def start(self):
        """Prepares Wine and the sound server, starts the host and returns once it takes connections."""
        self._script("wine-env.sh", "setup")
        if "DISPLAY" not in self.env:  # the virtual display that wine-env.sh started
            with open(os.path.join(self.env["QH_WINE_STATE"], "display")) as f:
                self.env["DISPLAY"] = f.read().strip()
        self._script("pulse-env.sh", "setup", self.pulse)
        [local] = glob.glob(os.path.join(self.env["WINEPREFIX"], "drive_c/users/*/AppData/Local"))
        settings = os.path.join(local, "Quorvane", "settings.json")
        os.makedirs(os.path.dirname(settings), exist_ok=True)
        with open(settings, "w") as f:
            json.dump(dict(zip(["signalingPort", "videoPort", "audioPort", "inputPort"], self.ports)), f)
        return self.launch([WINE, EXE], HOST_DIR)

    def launch(self, command, folder):
        """Runs the host's command and returns once the host has started; from then on this process, and
        no other of the same name, is the one whose memory is read."""
        with open(self.log_path, "w") as log:
            self.process = subprocess.Popen(command, cwd=folder, env=self.env, stdin=subprocess.DEVNULL, stdout=log,
                                            stderr=subprocess.STDOUT)
        wait_until(self._ready, "the host's start-up")
        with open("/proc/%d/cmdline" % self.process.pid, "rb") as f:
            if EXE.encode() not in f.read():
                raise RuntimeError("process %d is not the host" % self.process.pid)
        return self

    def _ready(self):
        """The host has logged the end of its start-up (a probe of its ports would log a failed client)."""
        if self.process.poll() is not None:
            raise RuntimeError("the host ended with exit code %d (log: %s)" % (self.process.returncode,
                                                                                self.log_path))
        with open(self.log_path, errors="replace") as f:
            return READY_LINE in f.read()

    def memory(self):
        """(RSS, RssAnon) of the host process in KiB."""
        return memory_kib(self.process.pid)

    def open_window(self, title, width, height):
        """The test window of four quadrants, returned once it is shown."""
        log = os.path.join(self.work, "window-%d.log" % len(self.windows))
        if os.path.exists(log):
            os.remove(log)
        self.windows.append(subprocess.Popen([WINE, WINDOW_EXE, "Z:" + log.replace("/", "\\"), title, str(width),
                                              str(height)], env=self.env))
        wait_until(lambda: os.path.exists(log) and "\nready " in "\n" + open(log).read(), "the test window")

    def client_arguments(self):
        """quorvane_client.py's options that reach this host, without discovery."""
        return ["--signaling-port", str(self.ports[0]), "--video-port", str(self.ports[1]), "--audio-port",
                str(self.ports[2]), "--input-port", str(self.ports[3])]

    def error_lines(self):
        with open(self.log_path, errors="replace") as f:
            return [line.strip() for line in f if "[error]" in line or "[critical]" in line]

    def close(self):
        """Closes the windows and the host as their close boxes do; the host's exit code, or None."""
        code = None
        if self.windows:
            subprocess.run([WINE, os.path.join(HOST_DIR, "qh_close_window.exe"), "QuorvaneTestWindow", "5"],
                           env=self.env)
        if self.process is not None:
            subprocess.run([WINE, os.path.join(HOST_DIR, "qh_close_window.exe"), "QuorvaneHostClass", "10"],
                           env=self.env)
            try:
                code = self.process.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.process.kill()
        for window in self.windows:
            try:
                window.wait(timeout=60)
            except subprocess.TimeoutExpired:
                window.kill()
        self._script("pulse-env.sh", "cleanup", self.pulse)
        self._script("wine-env.sh", "cleanup")
        return code
