#!/usr/bin/python3
"""End to end under Wine: the stand-in build of the host, the test window and the client.

Usage: e2e_test.py BUILD_DIR SOURCE_DIR. Needs the ctest fixtures "wine" (prefix and
display) and "pulse" (a sound server whose null sink plays a 1 kHz tone).
"""
import datetime
import glob
import json
import math
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import time
import unittest
import wave

BUILD, SOURCE = sys.argv.pop(1), sys.argv.pop(1)
sys.path.insert(0, os.path.join(SOURCE, "scripts"))
from quorvane_client import tone_frequency  # noqa: E402
WINE = "/usr/lib/wine/wine64"
HOST_DIR = os.path.join(BUILD, "standin-host")
WORK = os.path.join(BUILD, "host", "tests", "e2e", "work")
TITLE = "Quorvane E2E Window"
# The host's encoders put an IDR picture every 60 frames, and the stand-in runtime follows that.
IDR_PERIOD = 60
# Frames between a keyframe request and the keyframe that answers it, at most: the frames
# already encoded or on their way when the request arrives.
KEYFRAME_LATENCY = 10
# Frames over which the test measures the stream's bitrate.
RATE_FRAMES = 30
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


def start_client(ports, *arguments):
    """The client, running in the background; finish() gives its summary."""
    command = ["/usr/bin/python3", os.path.join(SOURCE, "scripts", "quorvane_client.py"), "--json", "--timeout",
               "30"]
    if ports:
        command += ["--signaling-port", str(ports[0]), "--video-port", str(ports[1]), "--audio-port",
                    str(ports[2]), "--input-port", str(ports[3])]
    return subprocess.Popen(command + list(arguments), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finish(process):
    stdout, stderr = process.communicate(timeout=180)
    if process.returncode != 0:
        raise AssertionError("client failed: %s" % stderr[-3000:])
    return json.loads(stdout)


def client(ports, *arguments):
    return finish(start_client(ports, *arguments))


class SoundServer:
    """The sound server of the "pulse" fixture, whose default sink goes away and comes back as a new
    sink, as when headphones are unplugged and the speakers take over. The fixture's player plays the
    tone again into whatever sink is the default; the microphone (440 Hz) is a source and never
    becomes the default sink."""

    SINK = "qh_null"

    def __init__(self):
        folder = os.path.dirname(os.environ["PULSE_SERVER"][len("unix:"):])
        with open(os.path.join(folder, "player.pid")) as f:
            self.player = int(f.read().strip())

    @staticmethod
    def pactl(*arguments):
        return subprocess.run(["pactl"] + list(arguments), env=ENV, capture_output=True, text=True,
                              check=True).stdout

    def sink_module(self):
        for line in self.pactl("list", "short", "modules").splitlines():
            if "sink_name=%s " % self.SINK in line + " ":
                return line.split()[0]
        return None

    def remove_default_sink(self):
        self.pactl("unload-module", self.sink_module())

    def add_default_sink(self):
        self.pactl("load-module", "module-null-sink", "sink_name=" + self.SINK, "rate=48000", "channels=2",
                   "sink_properties=device.description=QuorvaneNull")
        self.pactl("set-default-sink", self.SINK)

    def playing(self):
        """Whether something plays into the default sink."""
        sinks = [line.split() for line in self.pactl("list", "short", "sinks").splitlines()]
        index = [fields[0] for fields in sinks if fields[1] == self.SINK]
        inputs = [line.split() for line in self.pactl("list", "short", "sink-inputs").splitlines()]
        return bool(index) and any(fields[1] == index[0] for fields in inputs)

    def silence(self, quiet):
        """Stops the player (nothing plays into the sink), or lets it go on."""
        os.killpg(self.player, signal.SIGSTOP if quiet else signal.SIGCONT)

    def restore(self):
        """The fixture as it was, for the tests that follow."""
        if self.sink_module() is None:
            self.add_default_sink()
        self.silence(False)


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


def payload(video, first, end):
    """The video payload of frames first..end-1: the upper quartile of their sizes in bytes, and bytes per
    second."""
    sizes, seconds = video["frameBytes"][first:end], video["frameSeconds"][first:end]
    return statistics.quantiles(sizes, n=4)[2], sum(sizes[1:]) / (seconds[-1] - seconds[0])


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
        self.host = None

    def start_host(self, ports):
        """A host that is closed after the test when the test did not close it."""
        self.host = Host(ports, self.work)
        return self.host

    def open_window(self, *extra):
        """The test window at 640x480, once it is shown; the path of its log."""
        window_log = os.path.join(self.work, "window.log")
        self.window = subprocess.Popen([WINE, os.path.join(BUILD, "host", "tests", "e2e", "qh_test_window.exe"),
                                        "Z:" + window_log.replace("/", "\\"), TITLE, "640", "480"] + list(extra),
                                       env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertTrue(wait_for(lambda: "ready" in text(window_log), 30))
        return window_log

    def tearDown(self):
        if self.host and self.host.process.poll() is None:
            self.host.close()
        if self.window:
            subprocess.run([WINE, os.path.join(HOST_DIR, "qh_close_window.exe"), "QuorvaneTestWindow", "5"],
                           env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
            self.window.wait(timeout=30)

    def test_a_client_streams_a_window_and_drives_it(self):
        ports = [free_port() for _ in range(4)]
        host = self.start_host(ports)
        self.assertTrue(wait_for(lambda: "entering main loop" in host.log()), host.log())
        window_log = self.open_window()
        origin = [int(v) for v in text(window_log).split("ready")[1].split()[3:5]]

        found = client(None, "discover")["discovery"]
        self.assertEqual(found["signalingPort"], ports[0])

        out = os.path.join(self.work, "stream")
        run = client(ports, "stream", "--window", TITLE, "--seconds", "8", "--tone", "--out", out,
                     "--do", "click:32768,32768", "--do", "move:16384,16384", "--do", "click:49152,16384,1",
                     "--do", "wheel:0.5,0.5,-120", "--do", "key:0x41", "--do", "char:é")
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
        self.assertEqual(run["problems"]["count"], 0, run["problems"])
        self.assertEqual(run["audio"]["streamIds"], [stream_id])
        self.assertAlmostEqual(run["audio"]["toneHz"], 1000, delta=10)
        self.assertGreaterEqual(luma_psnr(out + ".png", test_window_picture(640, 480), origin + [640, 480]), 30)

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

    def test_client_records_reach_the_encoder(self):
        ports = [free_port() for _ in range(4)]
        host = self.start_host(ports)
        self.assertTrue(wait_for(lambda: "entering main loop" in host.log()), host.log())
        self.open_window("noise")

        # Each keyframe request is sent a few frames after a keyframe, when the next one of the
        # encoder's own is most of a period away; congested feedback comes last, since every
        # bitrate change brings a keyframe too.
        run = client(ports, "stream", "--window", TITLE, "--seconds", "1", "--out",
                     os.path.join(self.work, "stream"), "--do", "past-keyframe:2", "--do", "keyframe", "--do",
                     "past-keyframe:2", "--do", "keyframe@video", "--do", "wait:2", "--do", "feedback:5,200,3.5",
                     "--do", "frames:%d" % RATE_FRAMES)
        with open(os.path.join(self.work, "client.json"), "w") as f:
            json.dump(run, f)
        video = run["video"]
        self.assertEqual(run["problems"]["count"], 0, run["problems"])
        self.assertEqual(video["decodedFrames"], video["frames"])
        keys = video["keyframeIndices"]
        self.assertEqual(keys[:2], [0, IDR_PERIOD], keys)
        actions = {a["action"]: a for a in run["actions"]}
        feedback = actions["feedback:5,200,3.5"]
        for request in ("keyframe", "keyframe@video"):
            sent = actions[request]["atFrame"]  # the first frame that arrived after the request
            last = max(i for i in keys if i < sent)
            self.assertLess(sent + KEYFRAME_LATENCY, min(last + IDR_PERIOD, feedback["atFrame"]), (request, keys))
            answer = [i for i in keys if sent <= i < sent + KEYFRAME_LATENCY]
            self.assertTrue(answer, "%s sent at frame %d, keyframes %s" % (request, sent, keys))

        # Congestion lowers the bitrate by a fifth once a second: three steps leave about half. Per
        # frame, since the capture rate of a loaded machine wanders while the encoder spends its
        # bitrate over frames at its configured rate; the upper quartile, the size the frames keep
        # to, since the rate control now and then starves up to 20 frames in a row. Before: the
        # second half of the first period, when the first keyframe's starving is over; after: the
        # frames that follow the feedback.
        before = payload(video, IDR_PERIOD - RATE_FRAMES, IDR_PERIOD)
        after_frames = actions["frames:%d" % RATE_FRAMES]["atFrame"]
        after = payload(video, after_frames, after_frames + RATE_FRAMES)
        print("%d frames at %s fps, keyframes %s; frame size quartile and bytes per second before feedback "
              "%d, %d, after %d, %d" % ((video["frames"], video["fps"], keys) + before + after), file=sys.stderr)
        self.assertIn("reducing bitrate", host.log())
        self.assertLess(after[0], 0.8 * before[0], (before, after))
        self.assertEqual(host.close(), 0)

    def test_sound_comes_back_when_the_output_device_goes_away(self):
        # The default sink goes away and, 2 s later, a new one becomes the default: while a client
        # streams and the tone plays, while it streams and nothing plays, and while no client is
        # connected. Each time the host opens the new sink's monitor within a retry period and a
        # client hears the tone within 3 s (a new null sink delivers its first sound 2 s after it
        # is made), and the host logs the loss once.
        sound = SoundServer()
        self.addCleanup(sound.restore)
        ports = [free_port() for _ in range(4)]
        host = self.start_host(ports)
        self.assertTrue(wait_for(lambda: "entering main loop" in host.log()), host.log())
        self.open_window()
        figures = []

        def lose_the_sink(quiet):
            """Removes the default sink and makes a new one the default; when the new one came, by the
            monotonic clock and the wall clock."""
            if quiet:
                sound.silence(True)
                time.sleep(1)
            sound.remove_default_sink()
            time.sleep(2)
            came = time.monotonic(), time.time()
            sound.add_default_sink()
            if quiet:
                sound.silence(False)
            return came

        def reopened_after(wall):
            """Seconds from wall to the host's latest "Audio capture reopened" line."""
            line = [line for line in host.log().splitlines() if "Audio capture reopened" in line][-1]
            stamp = datetime.datetime.strptime(line[1:24], "%Y-%m-%d %H:%M:%S.%f").timestamp()
            return stamp - wall

        for quiet in (False, True):
            what = "quiet" if quiet else "playing"
            out = os.path.join(self.work, what)
            starts = host.log().count("Started capture for window")
            process = start_client(ports, "stream", "--window", TITLE, "--seconds", "12", "--wav", "--out", out)
            self.assertTrue(wait_for(lambda: host.log().count("Started capture for window") > starts, 60))
            time.sleep(2)
            lost = time.monotonic()
            came, came_wall = lose_the_sink(quiet)
            run = finish(process)
            seconds = [t + run["startedAt"] for t in run["audio"]["packetSeconds"]]
            self.assertTrue([t for t in seconds if t < lost], "no sound before the loss")
            self.assertFalse([t for t in seconds if lost + 1.5 < t < came], "sound while there was no sink")
            after = [i for i, t in enumerate(seconds) if t >= came]
            self.assertTrue(after, "no sound after the new sink came")
            figures.append("%s: reopened after %.2f s, sound after %.2f s" %
                           (what, reopened_after(came_wall), seconds[after[0]] - came))
            self.assertLess(reopened_after(came_wall), 2.0)
            self.assertLess(seconds[after[0]] - came, 3.0)
            # The packets since then hold the tone played into the new sink.
            with wave.open(out + ".wav") as recorded:
                pcm = recorded.readframes(recorded.getnframes())
            frames_per_packet = len(pcm) // 4 // len(seconds)
            self.assertAlmostEqual(tone_frequency(pcm[after[0] * frames_per_packet * 4:], 2, 48000) or 0, 1000,
                                   delta=10)

        # No client: the capture comes back on its own, and the next client hears the new sink.
        reopened = host.log().count("Audio capture reopened")
        came, came_wall = lose_the_sink(False)
        self.assertTrue(wait_for(lambda: host.log().count("Audio capture reopened") > reopened, 10), host.log())
        figures.append("no client: reopened after %.2f s" % reopened_after(came_wall))
        self.assertLess(reopened_after(came_wall), 2.0)
        self.assertTrue(wait_for(sound.playing, 10), "the player does not play into the new sink")
        run = client(ports, "stream", "--window", TITLE, "--seconds", "4", "--tone", "--wav", "--out",
                     os.path.join(self.work, "later"))
        self.assertGreater(run["audio"]["packets"], 100)
        self.assertAlmostEqual(run["audio"]["toneHz"] or 0, 1000, delta=10)
        print("after the new default sink: " + "; ".join(figures), file=sys.stderr)

        # Each loss is logged once, with a few lines until the capture is back: one failed opening
        # while there was no sink, then quiet retries.
        log = host.log()
        self.assertEqual(log.count("Audio device lost (0x88890004)"), 3, log[-5000:])
        for block in log.split("Audio device lost")[1:]:
            until = block.index("Audio capture reopened")
            lines = [line for line in block[:until].splitlines()[1:]
                     if ("[warning]" in line or "[error]" in line) and "audio" in line.lower()]
            self.assertLessEqual(len(lines), 2, lines)
        self.assertEqual(host.close(), 0)

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
