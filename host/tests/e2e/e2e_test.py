#!/usr/bin/python3
"""End to end under Wine: the stand-in build of the host, the test window and the client.

Usage: e2e_test.py BUILD_DIR SOURCE_DIR. Needs the ctest fixtures "wine" (prefix and
display) and "pulse" (a sound server whose null sink plays a 1 kHz tone).
"""
import glob
import json
import math
import os
import shutil
import socket
import subprocess
import sys
import time
import unittest

BUILD, SOURCE = sys.argv.pop(1), sys.argv.pop(1)
WINE = "/usr/lib/wine/wine64"
HOST_DIR = os.path.join(BUILD, "standin-host")
WORK = os.path.join(BUILD, "host", "tests", "e2e", "work")
TITLE = "Quorvane E2E Window"
ENV = dict(os.environ, WINEDEBUG="-all")
with open(os.path.join(os.environ["QH_WINE_STATE"], "display")) as f:
    ENV["DISPLAY"] = f.read().strip()


def free_port():
    with socket.socket() as s:
        s.bind(("", 0))
        return s.getsockname()[1]


def wait_for(condition, seconds=60):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return False


def text(path):
    if not os.path.exists(path):
        return ""
    with open(path, errors="replace") as f:
        return f.read()


class Host:
    """The stand-in host with its own settings file, its output in a file."""

    def __init__(self, ports, folder):
        local = glob.glob(os.path.join(os.environ["WINEPREFIX"], "drive_c/users/*/AppData/Local"))[0]
        self.settings = os.path.join(local, "Quorvane", "settings.json")
        os.makedirs(os.path.dirname(self.settings), exist_ok=True)
        with open(self.settings, "w") as f:
            json.dump(dict(zip(["signalingPort", "videoPort", "audioPort", "inputPort"], ports)), f)
        self.output = os.path.join(folder, "host.log")
        with open(self.output, "w") as output:
            self.process = subprocess.Popen([WINE, "QuorvaneHostStandin.exe"], cwd=HOST_DIR, env=ENV,
                                            stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT)

    def log(self):
        return text(self.output)

    def close(self):
        subprocess.run([WINE, os.path.join(HOST_DIR, "qh_close_window.exe"), "QuorvaneHostClass", "10"], env=ENV,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        return self.process.wait(timeout=60)


def client(ports, *arguments):
    command = ["/usr/bin/python3", os.path.join(SOURCE, "scripts", "quorvane_client.py"), "--json", "--timeout",
               "30"]
    if ports:
        command += ["--signaling-port", str(ports[0]), "--video-port", str(ports[1]), "--audio-port",
                    str(ports[2]), "--input-port", str(ports[3])]
    result = subprocess.run(command + list(arguments), capture_output=True, text=True, timeout=180)
    if result.returncode != 0:
        raise AssertionError("client failed: %s" % result.stderr[-3000:])
    return json.loads(result.stdout)


def luma_psnr(png, reference, box):
    """PSNR of the luma of the PNG's box (x, y, width, height) against the RGB reference."""
    x0, y0, width, height = box
    raw = subprocess.run(["ffmpeg", "-loglevel", "error", "-i", png, "-f", "rawvideo", "-pix_fmt", "rgb24",
                          "-"], capture_output=True, check=True).stdout
    probe = subprocess.run(["ffprobe", "-loglevel", "error", "-show_entries", "stream=width", "-of", "csv=p=0",
                            png], capture_output=True, text=True, check=True)
    stride = int(probe.stdout.strip()) * 3

    def luma(r, g, b):
        return 0.299 * r + 0.587 * g + 0.114 * b
    total = 0.0
    for y in range(height):
        for x in range(width):
            at = (y0 + y) * stride + (x0 + x) * 3
            total += (luma(*raw[at:at + 3]) - luma(*reference(x, y))) ** 2
    mse = total / (width * height)
    return 99.0 if mse == 0 else 10 * math.log10(255 * 255 / mse)


def test_window_picture(width, height):
    """The test window's picture, as its program documents it."""
    m = min(width, height)
    size, inset = m // 8, m // 16
    quadrants = [[(255, 0, 0), (0, 255, 0)], [(0, 0, 255), (255, 255, 0)]]
    markers = [[(255, 255, 255), (0, 0, 0)], [(0, 255, 255), (255, 0, 255)]]

    def colour(x, y):
        right, bottom = x >= width // 2, y >= height // 2
        mx = width - inset - size if right else inset
        my = height - inset - size if bottom else inset
        if mx <= x < mx + size and my <= y < my + size:
            return markers[bottom][right]
        return quadrants[bottom][right]
    return colour


class EndToEnd(unittest.TestCase):
    def setUp(self):
        self.work = os.path.join(WORK, self._testMethodName)
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)

        self.window = None

    def tearDown(self):
        if self.window:
            subprocess.run([WINE, os.path.join(HOST_DIR, "qh_close_window.exe"), "QuorvaneTestWindow", "5"],
                           env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
            self.window.wait(timeout=30)

    def test_a_client_streams_a_window_and_drives_it(self):
        ports = [free_port() for _ in range(4)]
        host = Host(ports, self.work)
        self.assertTrue(wait_for(lambda: "entering main loop" in host.log()), host.log())
        window_log = os.path.join(self.work, "window.log")
        self.window = subprocess.Popen([WINE, os.path.join(BUILD, "host", "tests", "e2e", "qh_test_window.exe"),
                                        "Z:" + window_log.replace("/", "\\"), TITLE, "640", "480"], env=ENV,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertTrue(wait_for(lambda: "ready" in text(window_log), 30))
        origin = [int(v) for v in text(window_log).split("ready")[1].split()[3:5]]

        found = client(None, "discover")["discovery"]
        self.assertEqual(found["signalingPort"], ports[0])

        out = os.path.join(self.work, "stream")
        run = client(ports, "stream", "--window", TITLE, "--seconds", "8", "--tone", "--out", out,
                     "--do", "click:32768,32768", "--do", "move:16384,16384", "--do", "click:49152,16384,1",
                     "--do", "wheel:0.5,0.5,-120", "--do", "key:0x41", "--do", "char:é", "--do", "keyframe",
                     "--do", "feedback:5,200", "--do", "wait:1.2", "--do", "feedback:5,200")
        self.assertEqual(run["welcome"]["hostName"], "Quorvane Host")
        listed = [w for w in run["windows"] if w["title"] == TITLE]
        self.assertTrue(listed and listed[0]["hasIcon"] and listed[0]["iconIsPng"], run["windows"])
        stream_id = run["stream"]["reply"]["streamId"]
        config = run["streamConfigs"][0]
        self.assertEqual((config["streamId"], config["codec"]), (stream_id, "video/avc"))
        self.assertEqual((config["width"], config["height"]), (listed[0]["width"], listed[0]["height"]))
        video = run["video"]
        self.assertGreater(video["frames"], 20)
        self.assertEqual(video["decodedFrames"], video["frames"])
        self.assertEqual(video["keyframeIndices"][0], 0)
        keyframe_at = [a["atFrame"] for a in run["actions"] if a["action"] == "keyframe"][0]
        self.assertTrue(any(i > keyframe_at for i in video["keyframeIndices"]), video)
        self.assertEqual(run["problems"]["count"], 0, run["problems"])
        self.assertEqual(run["audio"]["streamIds"], [stream_id])
        self.assertAlmostEqual(run["audio"]["toneHz"], 1000, delta=10)
        self.assertGreaterEqual(luma_psnr(out + ".png", test_window_picture(640, 480), origin + [640, 480]), 30)
        self.assertIn("reducing bitrate", host.log())

        # Where the input landed: positions run across the whole captured window, frame included.
        def at(vx, vy):
            return "%d %d" % (vx * listed[0]["width"] // 65535 - origin[0], vy * listed[0]["height"] // 65535 - origin[1])
        seen = text(window_log)
        for line in ["down left " + at(32768, 32768), "up left " + at(32768, 32768), "move " + at(16384, 16384),
                     "down right " + at(49152, 16384), "wheel -120 " + at(32768, 32768), "keydown 0x41",
                     "keyup 0x41", "char 0x00e9"]:
            self.assertIn(line, seen)

        resized = client(ports, "stream", "--window", TITLE, "--seconds", "2", "--do", "resize:800x600")
        self.assertTrue(resized["resizes"][0]["success"])
        self.assertIn("size 800 600", text(window_log))
        last = resized["streamConfigs"][-1]
        self.assertEqual((last["width"] - config["width"], last["height"] - config["height"]), (160, 120))
        self.assertIn("Stopped capture for stream %d" % resized["stream"]["reply"]["streamId"], host.log())

        self.assertEqual(host.close(), 0)
        log = host.log()
        order = ["Shutting down application...", "Application shutdown complete", "Quorvane Host exiting",
                 "Shutting down logging"]
        positions = [log.find(line) for line in order]
        self.assertTrue(all(p >= 0 for p in positions) and positions == sorted(positions), log[-3000:])

    def test_a_taken_port_ends_the_host_with_exit_code_1(self):
        with socket.socket() as taken:
            taken.bind(("", 0))
            taken.listen()
            ports = [taken.getsockname()[1]] + [free_port() for _ in range(3)]
            host = Host(ports, self.work)
            code = host.process.wait(timeout=120)
        log = host.log()
        self.assertEqual(code, 1, log)
        self.assertIn("Failed to start signaling server", log)
        # What started before the failing step stops while logging still works.
        after = log[log.index("Failed to initialize application"):]
        for line in ["Audio capture stopped", "Shutting down CaptureOrchestrator", "Shutting down logging"]:
            self.assertIn(line, after)
        self.assertNotIn("Unhandled", log)


if __name__ == "__main__":
    unittest.main(verbosity=2)
