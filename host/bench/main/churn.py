#!/usr/bin/python3
"""Stream churn: streams started and stopped over and over on the stand-in host under Wine.

One client (signaling, video, audio and input connections held throughout) starts a stream
of a 640x480 test window, waits for its first frames and stops it, ROUNDS times; then, twice
(or BATCHES times), starts STREAMS streams of that window so that they all run at once, waits
for frames of every one and stops them all. After every round it reads the resident memory
of the host process that it started (RSS, and RssAnon: the heaps, without mapped files), so
that the figures show whether memory comes back to a plateau once streams end: a second
batch that ends where the first did reuses what the first left. Every sample goes to
build/windows/churn/memory.csv (round, streams running, RSS KiB, RssAnon KiB).
Usage: churn.py [ROUNDS [STREAMS [BATCHES]]]   (default 50, 20 and 2; build the targets
QuorvaneHostStandin, qh_close_window and qh_test_window of the windows preset first)
"""
import asyncio
import importlib.util
import os
import sys
import time
import types

sys.dont_write_bytecode = True  # no __pycache__ beside the sources
from standin_host import CLIENT, StandinHost  # noqa: E402

ROUNDS = int(sys.argv[1]) if len(sys.argv) > 1 else 50
STREAMS = int(sys.argv[2]) if len(sys.argv) > 2 else 20
BATCHES = int(sys.argv[3]) if len(sys.argv) > 3 else 2
if min(ROUNDS, STREAMS, BATCHES) < 1 or ROUNDS + STREAMS * BATCHES > 255:
    sys.exit("usage: churn.py [ROUNDS [STREAMS [BATCHES]]]: each at least 1, at most 255 streams in all (stream "
             "ids are not used twice)")
TITLE = "Quorvane Churn Window"
WIDTH, HEIGHT = 640, 480
FRAMES = 10  # frames of each stream (a keyframe among them) before it is stopped
TIMEOUT = 120  # seconds any one reply or batch of frames may take on a loaded machine
SETTLE = 1.0  # seconds between the last stop reply and the memory sample: the capture threads wind down

spec = importlib.util.spec_from_file_location("quorvane_client", CLIENT)
qc = importlib.util.module_from_spec(spec)
spec.loader.exec_module(qc)


class Frames:
    """Counts the video frames of every stream id on the video connection."""

    def __init__(self, reader):
        self.counts = {}
        self.keyframes = {}
        self.arrived = asyncio.Event()
        self.task = asyncio.create_task(self._read(reader))

    async def _read(self, reader):
        while (body := await qc.read_packet(reader)) is not None:
            if len(body) < qc.PACKET_HEADER.size + qc.VIDEO_FRAME_HEADER.size:
                continue
            stream_id = body[2]
            frame_type = body[qc.PACKET_HEADER.size + 4]
            self.counts[stream_id] = self.counts.get(stream_id, 0) + 1
            self.keyframes[stream_id] = self.keyframes.get(stream_id, 0) + (frame_type == 1)
            self.arrived.set()
        self.arrived.set()  # the end of the connection wakes a waiter too

    async def wait(self, stream_ids, count):
        """Until each of these streams has sent `count` frames, a keyframe among them."""
        def reached():
            return all(self.counts.get(s, 0) >= count and self.keyframes.get(s, 0) > 0 for s in stream_ids)

        async def loop():
            while not reached():
                if self.task.done():
                    raise qc.ClientError("video connection closed")
                self.arrived.clear()
                await self.arrived.wait()
        try:
            await asyncio.wait_for(loop(), TIMEOUT)
        except asyncio.TimeoutError:
            late = sorted(s for s in stream_ids if self.counts.get(s, 0) < count)
            raise qc.ClientError("no %d frames of streams %s within %d s" % (count, late, TIMEOUT)) from None


async def drain(reader):
    while await qc.read_packet(reader) is not None:
        pass


async def churn(host):
    args = types.SimpleNamespace(host="127.0.0.1", signaling_port=host.ports[0], timeout=TIMEOUT)
    signaling, _, _ = await qc.connect_signaling(args, lambda line: None)
    video_reader, video_writer = await qc.open_channel("127.0.0.1", host.ports[1], TIMEOUT, "video")
    audio_reader, audio_writer = await qc.open_channel("127.0.0.1", host.ports[2], TIMEOUT, "audio")
    _, input_writer = await qc.open_channel("127.0.0.1", host.ports[3], TIMEOUT, "input")
    frames = Frames(video_reader)
    audio = asyncio.create_task(drain(audio_reader))
    _, window = await qc.list_windows(signaling, args, lambda line: None, TITLE, TIMEOUT)
    if window is None:
        raise qc.ClientError("the host does not list the window %r" % TITLE)

    async def start():
        reply = await signaling.request({"type": "stream_start", "windowId": window["id"]},
                                        ("stream_started", "error"), TIMEOUT)
        if reply.get("type") != "stream_started":
            raise qc.ClientError("stream start refused: %s" % reply)
        return reply["streamId"]

    async def stop(stream_ids):
        for stream_id in stream_ids:
            await signaling.request({"type": "stream_stop", "streamId": stream_id}, ("stream_stopped",), TIMEOUT)
        await asyncio.sleep(SETTLE)

    samples = [(0, 0) + host.memory()]
    for round_number in range(1, ROUNDS + 1):
        stream_id = await start()
        await frames.wait([stream_id], FRAMES)
        await stop([stream_id])
        samples.append((round_number, 0) + host.memory())

    for batch in range(1, BATCHES + 1):
        stream_ids = [await start() for _ in range(STREAMS)]
        await frames.wait(stream_ids, FRAMES)
        samples.append((ROUNDS + batch, STREAMS) + host.memory())
        await stop(stream_ids)
        samples.append((ROUNDS + batch, 0) + host.memory())

    await signaling.close()
    for writer in (video_writer, audio_writer, input_writer):
        await qc.close_writer(writer)
    await frames.task
    await audio
    return samples


host = StandinHost("churn")
try:
    host.start()
    host.open_window(TITLE, WIDTH, HEIGHT)
    started = time.monotonic()
    samples = asyncio.run(churn(host))
    seconds = time.monotonic() - started
finally:
    exit_code = host.close()

with open(os.path.join(host.work, "memory.csv"), "w") as f:
    f.writelines("%d,%d,%d,%d\n" % sample for sample in samples)
print("%d rounds of one stream, then %d times %d streams at once, in %.0f s; host exit code %s" %
      (ROUNDS, BATCHES, STREAMS, seconds, exit_code))
print("RssAnon KiB after each round of one stream: %s" % " ".join(str(s[3]) for s in samples[1:ROUNDS + 1]))
errors = host.error_lines()
print("host error lines: %d%s" % (len(errors), "".join("\n  " + e for e in errors[:10])))

picked = [0, 1] + list(range(10, ROUNDS + 1, 10)) + ([ROUNDS] if ROUNDS % 10 else [])
for index in sorted(set(i for i in picked if i <= ROUNDS)):
    _, _, rss, anon = samples[index]
    what = "before any stream" if index == 0 else "after round %d: one stream started and stopped" % index
    print("BENCH churn.single.%d.rss %d KiB %s" % (index, rss, what))
    print("BENCH churn.single.%d.rss_anon %d KiB" % (index, anon))
if ROUNDS >= 20:  # over the rounds' second half: growth that would not level off
    base, last = samples[ROUNDS // 2], samples[ROUNDS]
    print("BENCH churn.single.growth_per_round.rss_anon %.1f KiB mean over rounds %d to %d" %
          ((last[3] - base[3]) / (ROUNDS - ROUNDS // 2), ROUNDS // 2, ROUNDS))
before = samples[ROUNDS]
for batch in range(1, BATCHES + 1):
    running, stopped = samples[ROUNDS + 2 * batch - 1], samples[ROUNDS + 2 * batch]
    print("BENCH churn.batch.%d.running.rss %d KiB %d streams running" % (batch, running[2], STREAMS))
    print("BENCH churn.batch.%d.running.rss_anon %d KiB" % (batch, running[3]))
    print("BENCH churn.batch.%d.stopped.rss %d KiB after all %d stopped" % (batch, stopped[2], STREAMS))
    print("BENCH churn.batch.%d.stopped.rss_anon %d KiB" % (batch, stopped[3]))
    print("BENCH churn.batch.%d.left_over.rss_anon %d KiB against before this batch" %
          (batch, stopped[3] - before[3]))
    before = stopped
sys.exit(0 if exit_code == 0 else 1)
