#!/usr/bin/python3
"""A headset-side client for Quorvane Host, for people and for the end-to-end tests.

It finds the host by a discovery datagram sent to one address (127.0.0.1 unless --host
names another; it never broadcasts), says hello on the signaling WebSocket, lists the
capturable windows and streams one of them: it opens the video, audio and input channels,
starts the stream, checks and records every packet, performs the requested actions (input
events on either channel, keyframe, resize and feedback requests, pings), stops the stream
and writes what it received: the raw H.264, an MP4, a PNG of the last frame and, on
request, the sound as WAV. It prints frame rate, bitrate, keyframes, stream
configurations and audio packets; --json prints a summary for the tests instead.

  quorvane_client.py discover
  quorvane_client.py windows
  quorvane_client.py stream --window "Test Window" --seconds 5 --out /tmp/run \\
      --do click:0.5,0.5 --do key:A --do char:é --do keyframe --do resize:800x600

Needs Debian's python3 with python3-websockets, ffmpeg (files, frame count, pixels) and
libopus (--wav, --tone).
"""

import argparse
import array
import asyncio
import base64
import ctypes
import ctypes.util
import json
import socket
import struct
import subprocess
import sys
import time
import wave
from dataclasses import dataclass, field

import websockets

DISCOVERY_PORT = 9877
DISCOVERY_REQUEST = b"QUORVANE_DISCOVER"
DISCOVERY_REPLY = b"QUORVANE_HOST"

PACKET_HEADER = struct.Struct("<BBBBHH")  # version, type, streamId, flags, sequence, payloadLength
VIDEO_FRAME_HEADER = struct.Struct("<IBBBB")  # 90 kHz timestamp, frameType, 0, 1, 0
AUDIO_PACKET_HEADER = struct.Struct("<I")  # millisecond timestamp
INPUT_EVENT = struct.Struct("<BBBHHBBhB")  # byte-packed: streamId type action x y code mods wheel spare
CLIENT_INPUT = struct.Struct("<BBBBHHBBh")  # aligned: streamId type action spare x y code mods wheel
CLIENT_FEEDBACK = struct.Struct("<8sHH")  # carried bytes, decodeTimeMs, rttMs
LENGTH = struct.Struct("<I")

MSG_CLIENT_INPUT, MSG_CLIENT_FEEDBACK, MSG_KEYFRAME_REQUEST = 3, 4, 16
MOUSE, KEYBOARD = 1, 2
BUTTONS = {"left": 0, "right": 1, "middle": 2, "x1": 3, "x2": 4}
KEY_NAMES = {"backspace": 0x08, "tab": 0x09, "enter": 0x0D, "shift": 0x10, "ctrl": 0x11, "alt": 0x12,
             "esc": 0x1B, "space": 0x20, "left": 0x25, "up": 0x26, "right": 0x27, "down": 0x28,
             "delete": 0x2E}
MAX_PROBLEMS = 20
FEEDBACK_INTERVAL = 0.1  # seconds between the records of a repeated feedback action


class ClientError(Exception):
    """A failure that ends the run with a message."""


# ---------------------------------------------------------------------------------------
# Discovery

def discover(address, port, name, timeout):
    """Sends the discovery request to one address and returns the parsed reply."""
    request = DISCOVERY_REQUEST + b":" + name.encode() + b"\0"
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            sock.sendto(request, (address, port))
            sock.settimeout(min(1.0, max(0.05, deadline - time.monotonic())))
            try:
                data, sender = sock.recvfrom(2048)
            except (socket.timeout, ConnectionRefusedError):
                continue
            return parse_discovery_reply(data, sender[0])
    raise ClientError(f"no discovery reply from {address}:{port} within {timeout} s")


def parse_discovery_reply(data, sender):
    parts = data.split(b"\0")
    if len(parts) != 4 or parts[0] != DISCOVERY_REPLY or parts[3] != b"" or not parts[2].isdigit():
        raise ClientError(f"malformed discovery reply {data!r}")
    return {"address": sender, "hostName": parts[1].decode(errors="replace"),
            "signalingPort": int(parts[2]), "replyBytes": len(data)}


# ---------------------------------------------------------------------------------------
# Signaling

class Signaling:
    """The signaling WebSocket: requests with their replies, and the stream_config log."""

    def __init__(self, ws):
        self.ws = ws
        self.inbox = []
        self.arrived = asyncio.Condition()
        self.stream_configs = []
        self.unparsed = []  # texts that were not JSON objects
        self.reader = asyncio.create_task(self._read())

    async def _read(self):
        try:
            async for text in self.ws:
                try:
                    message = json.loads(text)
                    kind = message.get("type")
                except (ValueError, AttributeError):
                    self.unparsed.append(str(text)[:200])
                    continue
                if kind == "stream_config":
                    self.stream_configs.append(message)
                    continue
                async with self.arrived:
                    self.inbox.append(message)
                    self.arrived.notify_all()
        except websockets.ConnectionClosed:
            pass
        finally:
            async with self.arrived:
                self.arrived.notify_all()

    async def send(self, message):
        await self.ws.send(json.dumps(message, separators=(",", ":")))

    async def wait_for(self, types, timeout):
        """The first message not yet taken whose type is one of `types`."""
        async def find():
            async with self.arrived:
                while True:
                    for i, message in enumerate(self.inbox):
                        if message.get("type") in types:
                            return self.inbox.pop(i)
                    if self.reader.done():
                        raise ClientError("signaling connection closed")
                    await self.arrived.wait()
        try:
            return await asyncio.wait_for(find(), timeout)
        except asyncio.TimeoutError:
            raise ClientError(f"no {'/'.join(types)} within {timeout} s") from None

    async def request(self, message, reply_types, timeout):
        await self.send(message)
        return await self.wait_for(reply_types, timeout)

    async def close(self):
        await self.ws.close()
        await self.reader


# ---------------------------------------------------------------------------------------
# Video, audio and input channels

@dataclass
class Frame:
    sequence: int
    keyframe: bool
    timestamp: int
    arrival: float
    size: int


@dataclass
class Problems:
    """Protocol violations seen on the wire, the first few in words."""
    count: int = 0
    samples: list = field(default_factory=list)

    def add(self, text):
        self.count += 1
        if len(self.samples) < MAX_PROBLEMS:
            self.samples.append(text)


async def read_packet(reader):
    """One length-prefixed packet body, or None at the end of the connection."""
    try:
        (length,) = LENGTH.unpack(await reader.readexactly(4))
        return await reader.readexactly(length)
    except (asyncio.IncompleteReadError, ConnectionError):
        return None


class VideoChannel:
    """Receives the video packets of one stream into an H.264 file and sends client records."""

    def __init__(self, reader, writer, h264_path, problems):
        self.reader, self.writer = reader, writer
        self.problems = problems
        self.stream_id = None
        self.frames = []
        self.last_sequence = None  # the counter runs across all streams
        self.other_streams = {}
        self.early = []  # packets that came before the stream id was known
        self.h264 = open(h264_path, "wb")
        self.h264_bytes = 0
        self.first_frame = asyncio.Event()
        self.frame_arrived = asyncio.Event()
        self.auto_keyframe = False
        self.auto_keyframe_sent = False
        self.task = asyncio.create_task(self._read())

    def follow(self, stream_id, auto_keyframe):
        self.stream_id = stream_id
        self.auto_keyframe = auto_keyframe
        for body, arrival in self.early:
            self._take(body, arrival)
        self.early = []

    async def _read(self):
        while (body := await read_packet(self.reader)) is not None:
            if self.stream_id is None:
                self.early.append((body, time.monotonic()))
            else:
                self._take(body, time.monotonic())

    def _take(self, body, arrival):
        if len(body) < PACKET_HEADER.size + VIDEO_FRAME_HEADER.size:
            self.problems.add(f"video packet of {len(body)} bytes")
            return
        version, kind, stream_id, flags, sequence, payload_length = PACKET_HEADER.unpack_from(body)
        timestamp, frame_type, *constant = VIDEO_FRAME_HEADER.unpack_from(body, PACKET_HEADER.size)
        unit = body[PACKET_HEADER.size + VIDEO_FRAME_HEADER.size:]
        where = f"video packet seq {sequence}"
        if (version, kind, flags) != (1, 1, 1):
            self.problems.add(f"{where}: version/type/flags {version}/{kind}/{flags}, want 1/1/1")
        if payload_length != min(len(unit) + 8, 65535):
            self.problems.add(f"{where}: payloadLength {payload_length} for {len(unit)} bytes")
        if constant != [0, 1, 0] or frame_type not in (1, 3):
            self.problems.add(f"{where}: frame header {frame_type} {constant}")
        if self.last_sequence is not None and sequence != (self.last_sequence + 1) & 0xFFFF:
            self.problems.add(f"{where} follows {self.last_sequence}")
        self.last_sequence = sequence
        if stream_id != self.stream_id:
            self.other_streams[stream_id] = self.other_streams.get(stream_id, 0) + 1
            return
        keyframe = frame_type == 1
        if not self.frames and not keyframe and self.auto_keyframe:
            self.auto_keyframe_sent = True
            self.request_keyframe()
        self.frames.append(Frame(sequence, keyframe, timestamp, arrival, len(unit)))
        if keyframe or self.h264_bytes:  # a decoder needs a keyframe first
            self.h264.write(unit)
            self.h264_bytes += len(unit)
        self.first_frame.set()
        self.frame_arrived.set()

    async def wait_frames(self, count, timeout, after_keyframe=False):
        """Waits for `count` more frames of the stream, or for the next keyframe and `count` frames after it."""
        start = len(self.frames)

        def reached():
            if not after_keyframe:
                return len(self.frames) - start >= count
            keyframes = [i for i in range(start, len(self.frames)) if self.frames[i].keyframe]
            return keyframes and len(self.frames) - 1 - keyframes[0] >= count

        async def wait():
            while not reached():
                self.frame_arrived.clear()
                await self.frame_arrived.wait()
        try:
            await asyncio.wait_for(wait(), timeout)
        except asyncio.TimeoutError:
            what = "a keyframe followed by " if after_keyframe else ""
            raise ClientError(f"no {what}{count} frames within {timeout} s") from None

    def _send(self, body):
        self.writer.write(LENGTH.pack(len(body)) + body)

    def request_keyframe(self):
        self._send(bytes([MSG_KEYFRAME_REQUEST, self.stream_id]))

    def send_input(self, record):
        self._send(bytes([MSG_CLIENT_INPUT]) + record)

    def send_feedback(self, decode_ms, rtt_ms):
        self._send(bytes([MSG_CLIENT_FEEDBACK]) + CLIENT_FEEDBACK.pack(bytes(8), decode_ms, rtt_ms))

    async def close(self):
        await close_writer(self.writer)
        await self.task
        self.h264.close()


class OpusDecoder:
    """libopus through ctypes: Opus packets to 48 kHz interleaved 16-bit PCM."""

    MAX_FRAME = 5760  # 120 ms at 48 kHz

    def __init__(self, channels=2):
        lib = ctypes.CDLL(ctypes.util.find_library("opus") or "libopus.so.0")
        lib.opus_decoder_create.restype = ctypes.c_void_p
        lib.opus_decoder_create.argtypes = [ctypes.c_int32, ctypes.c_int, ctypes.POINTER(ctypes.c_int)]
        lib.opus_decode.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int32,
                                    ctypes.POINTER(ctypes.c_int16), ctypes.c_int, ctypes.c_int]
        lib.opus_decoder_destroy.argtypes = [ctypes.c_void_p]
        error = ctypes.c_int()
        self.lib, self.channels = lib, channels
        self.state = lib.opus_decoder_create(48000, channels, ctypes.byref(error))
        if error.value != 0 or not self.state:
            raise ClientError(f"opus_decoder_create failed: {error.value}")
        self.pcm = (ctypes.c_int16 * (self.MAX_FRAME * channels))()

    def decode(self, packet):
        samples = self.lib.opus_decode(self.state, packet, len(packet), self.pcm, self.MAX_FRAME, 0)
        if samples < 0:
            return None
        return bytes(memoryview(self.pcm).cast("B")[: samples * self.channels * 2])

    def close(self):
        self.lib.opus_decoder_destroy(self.state)


class AudioChannel:
    """Receives the Opus packets; decodes them when the sound is wanted."""

    def __init__(self, reader, writer, decoder, problems):
        self.reader, self.writer = reader, writer
        self.decoder = decoder
        self.problems = problems
        self.packets = 0
        self.bytes = 0
        self.stream_ids = set()
        self.undecodable = 0
        self.pcm = bytearray()
        self.arrivals = []
        self.last_sequence = None
        self.task = asyncio.create_task(self._read())

    async def _read(self):
        while (body := await read_packet(self.reader)) is not None:
            self._take(body, time.monotonic())

    def _take(self, body, arrival):
        header_size = PACKET_HEADER.size + AUDIO_PACKET_HEADER.size
        if len(body) < header_size:
            self.problems.add(f"audio packet of {len(body)} bytes")
            return
        version, kind, stream_id, flags, sequence, payload_length = PACKET_HEADER.unpack_from(body)
        packet = body[header_size:]
        if (version, kind, flags) != (1, 2, 0):
            self.problems.add(f"audio packet seq {sequence}: version/type/flags {version}/{kind}/{flags}")
        if payload_length != (len(packet) + 4) & 0xFFFF:
            self.problems.add(f"audio packet seq {sequence}: payloadLength {payload_length}")
        if self.last_sequence is not None and sequence != (self.last_sequence + 1) & 0xFFFF:
            self.problems.add(f"audio packet seq {sequence} follows {self.last_sequence}")
        self.last_sequence = sequence
        self.packets += 1
        self.arrivals.append(arrival)
        self.bytes += len(packet)
        self.stream_ids.add(stream_id)
        if self.decoder:
            pcm = self.decoder.decode(packet)
            if pcm is None:
                self.undecodable += 1
            else:
                self.pcm += pcm

    async def close(self):
        await close_writer(self.writer)
        await self.task
        if self.decoder:
            self.decoder.close()


class InputChannel:
    """Sends InputEvent records, each with its length prefix."""

    def __init__(self, writer):
        self.writer = writer

    def send(self, record):
        self.writer.write(LENGTH.pack(len(record)) + record)

    async def close(self):
        await close_writer(self.writer)


async def close_writer(writer):
    try:
        await writer.drain()
        writer.close()
        await writer.wait_closed()
    except ConnectionError:
        pass


# ---------------------------------------------------------------------------------------
# Actions

@dataclass
class Action:
    text: str
    kind: str
    args: tuple
    channel: str  # input events: "input" or "video"; keyframe requests: "signaling" or "video"


def parse_coordinate(text):
    """0..65535 across the window, or a fraction of it when written with a point."""
    value = round(float(text) * 65535) if "." in text else int(text, 0)
    if not 0 <= value <= 65535:
        raise ValueError(f"coordinate {text} out of range")
    return value


def parse_key(text):
    if text.lower() in KEY_NAMES:
        return KEY_NAMES[text.lower()]
    if len(text) == 1 and text.isalnum():
        return ord(text.upper())
    return int(text, 0)


def parse_action(text):
    """One --do argument: KIND[:ARGS][@CHANNEL]."""
    body, _, channel = text.partition("@")
    kind, _, rest = body.partition(":")
    fields = rest.split(",") if rest else []
    if kind in ("move", "down", "up", "click", "wheel"):
        x, y = parse_coordinate(fields[0]), parse_coordinate(fields[1])
        if kind == "wheel":
            args = (x, y, int(fields[2]))
        else:
            button = fields[2] if len(fields) > 2 else "left"
            args = (x, y, BUTTONS[button] if button in BUTTONS else int(button))
    elif kind in ("key", "keydown", "keyup"):
        args = (parse_key(fields[0]), int(fields[1], 0) if len(fields) > 1 else 0)
    elif kind in ("char", "text"):
        args = (rest,)
    elif kind == "resize":
        width, height = rest.lower().split("x")
        args = (int(width), int(height))
    elif kind == "feedback":
        args = (int(fields[0]), int(fields[1]), float(fields[2]) if len(fields) > 2 else 0.0)
    elif kind in ("frames", "past-keyframe"):
        args = (int(rest),)
    elif kind == "wait":
        args = (float(rest),)
    elif kind in ("keyframe", "ping"):
        args = ()
    else:
        raise ValueError(f"unknown action {kind}")
    default = "signaling" if kind == "keyframe" else "input"
    if channel not in ("", "input", "video", "signaling"):
        raise ValueError(f"unknown channel {channel}")
    action = Action(text, kind, args, channel or default)
    if action.channel == "video" and kind in ("char", "text") and any(ord(c) > 0xFF for c in rest):
        raise ValueError("the video channel carries characters up to U+00FF only")
    return action


def input_events(action):
    """The (type, action, x, y, code, modifiers, wheel) events that an input action sends."""
    kind, args = action.kind, action.args
    if kind == "move":
        return [(MOUSE, 1, args[0], args[1], 0, 0, 0)]
    if kind in ("down", "up", "click"):
        down = (MOUSE, 2, args[0], args[1], args[2], 0, 0)
        up = (MOUSE, 3, args[0], args[1], args[2], 0, 0)
        return {"down": [down], "up": [up], "click": [down, up]}[kind]
    if kind == "wheel":
        return [(MOUSE, 4, args[0], args[1], 0, 0, args[2])]
    if kind in ("key", "keydown", "keyup"):
        down = (KEYBOARD, 1, 0, 0, args[0], args[1], 0)
        up = (KEYBOARD, 2, 0, 0, args[0], args[1], 0)
        return {"keydown": [down], "keyup": [up], "key": [down, up]}[kind]
    units = args[0].encode("utf-16-le")
    return [(KEYBOARD, 3, int.from_bytes(units[i:i + 2], "little"), 0, 0, 0, 0)
            for i in range(0, len(units), 2)]


def encode_input_event(stream_id, event):
    kind, act, x, y, code, modifiers, wheel = event
    if kind == KEYBOARD and act == 3:  # the character travels in x
        return INPUT_EVENT.pack(stream_id, kind, act, x, 0, 0, 0, 0, 0)
    return INPUT_EVENT.pack(stream_id, kind, act, x, y, code, modifiers, wheel, 0)


def encode_client_input(stream_id, event):
    kind, act, x, y, code, modifiers, wheel = event
    if kind == KEYBOARD and act == 3:  # the character travels in code
        return CLIENT_INPUT.pack(stream_id, kind, act, 0, 0, 0, x, 0, 0)
    return CLIENT_INPUT.pack(stream_id, kind, act, 0, x, y, code, modifiers, wheel)


@dataclass
class Session:
    """Everything one stream run talks to and what it collected."""
    signaling: Signaling
    video: VideoChannel
    audio: AudioChannel
    input: InputChannel
    stream_id: int
    window_id: int
    started: float
    performed: list = field(default_factory=list)
    resizes: list = field(default_factory=list)
    pongs: list = field(default_factory=list)
    sent: dict = field(default_factory=lambda: {"inputEvents": 0, "clientInputs": 0, "feedback": 0,
                                                 "keyframeRequests": 0})


async def perform(session, action, timeout):
    record = {"action": action.text, "atFrame": len(session.video.frames),
              "atSecond": round(time.monotonic() - session.started, 3)}
    session.performed.append(record)
    kind, sid = action.kind, session.stream_id
    if kind == "wait":
        await asyncio.sleep(action.args[0])
    elif kind == "keyframe":
        session.sent["keyframeRequests"] += 1
        if action.channel == "video":
            session.video.request_keyframe()
        else:
            await session.signaling.send({"type": "request_keyframe", "streamId": sid})
    elif kind == "resize":
        width, height = action.args
        reply = await session.signaling.request(
            {"type": "window_resize", "streamId": sid, "windowId": session.window_id,
             "width": width, "height": height}, ("window_resized",), timeout)
        session.resizes.append(reply)
    elif kind in ("frames", "past-keyframe"):
        await session.video.wait_frames(action.args[0], timeout, kind == "past-keyframe")
    elif kind == "feedback":
        decode_ms, rtt_ms, seconds = action.args
        until = time.monotonic() + seconds
        while True:  # one record, or one every FEEDBACK_INTERVAL for the time asked
            session.video.send_feedback(decode_ms, rtt_ms)
            session.sent["feedback"] += 1
            await session.video.writer.drain()
            if time.monotonic() + FEEDBACK_INTERVAL > until:
                break
            await asyncio.sleep(FEEDBACK_INTERVAL)
    elif kind == "ping":
        stamp = int(time.monotonic() * 1000) & 0x7FFFFFFF
        sent = time.monotonic()
        reply = await session.signaling.request({"type": "ping", "timestamp": stamp}, ("pong",), timeout)
        session.pongs.append({"echoed": reply.get("timestamp") == stamp,
                              "ms": round((time.monotonic() - sent) * 1000, 1)})
    else:
        for event in input_events(action):
            if action.channel == "video":
                session.video.send_input(encode_client_input(sid, event))
                session.sent["clientInputs"] += 1
            else:
                session.input.send(encode_input_event(sid, event))
                session.sent["inputEvents"] += 1
    await session.video.writer.drain()
    await session.input.writer.drain()
    record.update(doneAtFrame=len(session.video.frames), doneAtSecond=round(time.monotonic() - session.started, 3))


# ---------------------------------------------------------------------------------------
# Windows and the stream run

def window_summary(window):
    icon = base64.b64decode(window.get("iconBase64") or "")
    return {"id": window.get("id"), "title": window.get("title"), "processName": window.get("processName"),
            "className": window.get("className"), "width": window.get("width"), "height": window.get("height"),
            "hasIcon": bool(icon), "iconIsPng": icon.startswith(b"\x89PNG\r\n\x1a\n")}


def choose_window(windows, wanted):
    """A window by its id (decimal or 0x hexadecimal) or by a substring of its title."""
    try:
        number = int(wanted, 0)
        matches = [w for w in windows if w.get("id") == number]
    except ValueError:
        matches = []
    if not matches:
        matches = [w for w in windows if wanted.lower() in (w.get("title") or "").lower()]
    return matches[0] if matches else None


async def connect_signaling(args, out):
    if args.signaling_port:
        found = {"address": args.host, "hostName": None, "signalingPort": args.signaling_port}
    else:
        found = await asyncio.get_running_loop().run_in_executor(
            None, discover, args.host, args.discovery_port, args.name, args.timeout)
        out(f'discovered "{found["hostName"]}" at {found["address"]}, signaling port {found["signalingPort"]}')
    uri = f"ws://{args.host}:{found['signalingPort']}/"
    try:
        ws = await websockets.connect(uri, open_timeout=args.timeout, max_size=None, compression=None,
                                      ping_interval=None)
    except (OSError, asyncio.TimeoutError, websockets.WebSocketException) as error:
        raise ClientError(f"cannot open {uri}: {error}") from None
    signaling = Signaling(ws)
    welcome = await signaling.request({"type": "hello"}, ("welcome",), args.timeout)
    out(f"welcome: {welcome.get('hostName')} {welcome.get('hostVersion')}, video {welcome.get('videoPort')}, "
        f"audio {welcome.get('audioPort')}, input {welcome.get('inputPort')}, "
        f"codecs {','.join(welcome.get('supportedCodecs', []))}")
    return signaling, found, welcome


async def list_windows(signaling, args, out, wanted=None, patience=0.0):
    """The window list; with `wanted`, asks again until that window is listed or `patience` runs out."""
    deadline = time.monotonic() + patience
    while True:
        reply = await signaling.request({"type": "window_list_request"}, ("window_list",), args.timeout)
        windows = reply.get("windows", [])
        chosen = choose_window(windows, wanted) if wanted else None
        if not wanted or chosen or time.monotonic() >= deadline:
            break
        await asyncio.sleep(0.5)
    out(f"{len(windows)} windows:")
    for w in map(window_summary, windows):
        icon = "icon" if w["hasIcon"] else "    "
        out(f"  {w['id']:#010x}  {icon}  {w['processName'] or '':24.24}  {w['title']}")
    return windows, chosen


async def open_channel(host, port, timeout, what):
    try:
        return await asyncio.wait_for(asyncio.open_connection(host, port), timeout)
    except (OSError, asyncio.TimeoutError) as error:
        raise ClientError(f"cannot connect to the {what} channel at {host}:{port}: {error}") from None


async def open_channels(args, welcome, problems):
    """Video, audio and input connections, opened before the stream starts so that its first frames
    find a client."""
    ports = {name: getattr(args, f"{name}_port") or welcome.get(f"{name}Port")
             for name in ("video", "audio", "input")}
    video = VideoChannel(*await open_channel(args.host, ports["video"], args.timeout, "video"),
                         f"{args.out}.h264", problems)
    decoder = OpusDecoder() if args.wav or args.tone else None
    audio = AudioChannel(*await open_channel(args.host, ports["audio"], args.timeout, "audio"), decoder, problems)
    _, input_writer = await open_channel(args.host, ports["input"], args.timeout, "input")
    return video, audio, InputChannel(input_writer)


async def start_stream(signaling, window, args, out):
    reply = await signaling.request({"type": "stream_start", "windowId": window["id"]},
                                    ("stream_started", "error"), args.timeout)
    if reply.get("type") != "stream_started":
        raise ClientError(f"stream start refused: {reply}")
    out(f'stream {reply["streamId"]} started for window {window["id"]:#x} "{window.get("title")}"')
    return reply


async def play(session, actions, args, out):
    """Waits for the first frame, performs the actions and streams on until the time is up."""
    try:
        await asyncio.wait_for(session.video.first_frame.wait(), args.timeout)
    except asyncio.TimeoutError:
        out(f"no video within {args.timeout} s")
    for action in actions:
        await perform(session, action, args.timeout)
        await asyncio.sleep(args.action_gap)
    remaining = args.seconds - (time.monotonic() - session.started)
    await asyncio.sleep(max(remaining, args.action_gap if actions else 0))


async def run_stream(args, out, summary):
    actions = [parse_action(text) for text in args.do]
    signaling, found, welcome = await connect_signaling(args, out)
    summary.update(discovery=found, welcome=welcome)
    stream_id = None
    try:
        windows, chosen = await list_windows(signaling, args, out, args.window, args.window_timeout)
        summary["windows"] = [window_summary(w) for w in windows]
        if not chosen:
            raise ClientError(f"no window matches {args.window!r}")
        problems = Problems()
        video, audio, input_channel = await open_channels(args, welcome, problems)
        summary["stream"] = {"window": window_summary(chosen)}
        reply = await start_stream(signaling, chosen, args, out)
        summary["stream"]["reply"] = reply
        stream_id = reply["streamId"]
        video.follow(stream_id, not args.no_auto_keyframe)
        session = Session(signaling, video, audio, input_channel, stream_id, chosen["id"], time.monotonic())
        await play(session, actions, args, out)

        summary["stream"]["stopped"] = await signaling.request(
            {"type": "stream_stop", "streamId": stream_id}, ("stream_stopped",), args.timeout)
        stream_id = None
        await asyncio.sleep(0.3)  # frames already on their way
        for channel in (video, audio, input_channel):
            await channel.close()
        for text in signaling.unparsed:
            problems.add(f"signaling text that is no JSON object: {text}")
        summary.update(streamConfigs=signaling.stream_configs, actions=session.performed, sent=session.sent,
                       resizes=session.resizes, pongs=session.pongs,
                       problems={"count": problems.count, "samples": problems.samples})
        summary["startedAt"] = session.started  # the system's monotonic clock, in seconds
        summary["video"] = video_summary(video, args, session.started)
        summary["audio"] = audio_summary(audio, args, session.started)
        report(summary, out)
        return 0 if video.frames else 1
    finally:
        if stream_id is not None:  # leave no stream running behind a failure
            await signaling.send({"type": "stream_stop", "streamId": stream_id})
        await signaling.close()


# ---------------------------------------------------------------------------------------
# What was received

def video_summary(video, args, started):
    frames = video.frames
    result = {"streamId": video.stream_id, "frames": len(frames),
              "keyframes": sum(f.keyframe for f in frames),
              "keyframeIndices": [i for i, f in enumerate(frames) if f.keyframe],
              "bytes": sum(f.size for f in frames), "otherStreams": video.other_streams,
              "frameBytes": [f.size for f in frames],
              "frameSeconds": [round(f.arrival - started, 4) for f in frames],
              "autoKeyframeRequest": video.auto_keyframe_sent, "fps": 0.0, "kbps": 0.0}
    if len(frames) > 1:
        seconds = frames[-1].arrival - frames[0].arrival
        if seconds > 0:
            result["fps"] = round((len(frames) - 1) / seconds, 2)
            result["kbps"] = round(result["bytes"] * 8 / seconds / 1000, 1)
    result["seconds"] = round(frames[-1].arrival - frames[0].arrival, 3) if frames else 0.0
    result.update(write_video_files(args.out, video.h264_bytes, result["fps"] or 30, args.pixel))
    return result


def ffmpeg(*arguments, capture=False):
    return subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", *arguments],
                          check=True, stdout=subprocess.PIPE if capture else subprocess.DEVNULL).stdout


def write_video_files(prefix, h264_bytes, fps, pixels):
    """The MP4 and the last frame's PNG, the decoded frame count and the requested pixels."""
    files = {"h264": f"{prefix}.h264"}
    if not h264_bytes:
        return {"files": files, "decodedFrames": 0}
    ffmpeg("-f", "h264", "-framerate", f"{fps:.3f}", "-i", files["h264"], "-c", "copy", f"{prefix}.mp4")
    ffmpeg("-f", "h264", "-i", files["h264"], "-update", "1", f"{prefix}.png")
    files.update(mp4=f"{prefix}.mp4", png=f"{prefix}.png")
    probe = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                            "stream=nb_read_frames,width,height", "-of", "json", "-f", "h264", files["h264"]],
                           check=True, capture_output=True, text=True)
    stream = json.loads(probe.stdout)["streams"][0]
    result = {"files": files, "decodedFrames": int(stream.get("nb_read_frames", 0)),
              "decodedWidth": stream.get("width"), "decodedHeight": stream.get("height")}
    if pixels:
        result["pixels"] = sample_pixels(files["png"], pixels)
    return result


def sample_pixels(png_path, points):
    """RGB of the last frame at each X,Y (pixels, or fractions of the frame when written with a point)."""
    with open(png_path, "rb") as png:
        width, height = struct.unpack(">II", png.read(24)[16:24])
    rgb = ffmpeg("-i", png_path, "-f", "rawvideo", "-pix_fmt", "rgb24", "-", capture=True)
    values = {}
    for point in points:
        fx, fy = point.split(",")
        x = min(int(float(fx) * width), width - 1) if "." in fx else int(fx)
        y = min(int(float(fy) * height), height - 1) if "." in fy else int(fy)
        offset = (y * width + x) * 3
        values[point] = list(rgb[offset:offset + 3])
    return values


def audio_summary(audio, args, started):
    result = {"packets": audio.packets, "bytes": audio.bytes, "streamIds": sorted(audio.stream_ids),
              "undecodable": audio.undecodable,
              "packetSeconds": [round(arrival - started, 4) for arrival in audio.arrivals]}
    if audio.decoder:
        result["decodedSeconds"] = round(len(audio.pcm) / 4 / 48000, 3)
    if args.wav:
        with wave.open(f"{args.out}.wav", "wb") as out:
            out.setnchannels(2)
            out.setsampwidth(2)
            out.setframerate(48000)
            out.writeframes(audio.pcm)
        result["wav"] = f"{args.out}.wav"
    if args.tone:
        result["toneHz"] = tone_frequency(audio.pcm, 2, 48000)
    return result


def tone_frequency(pcm, channels, rate):
    """Frequency of a steady tone in the first channel, or None. Sound heard on a busy machine has
    gaps (silence where the player fell behind, samples that were lost), so it is taken over the
    longest run of periods between rising zero crossings that each lie within a quarter of their
    median: a gap falls outside it, while a tone that is really off is off in every period."""
    samples = array.array("h")
    samples.frombytes(bytes(pcm))
    left = samples[0::channels]
    loudest = max(map(abs, left), default=0)
    if loudest < 200:
        return None
    hysteresis = loudest / 8
    crossings, armed = [], False
    for i in range(1, len(left)):
        if left[i] < -hysteresis:
            armed = True
        elif armed and left[i - 1] < 0 <= left[i]:
            crossings.append(i - 1 + -left[i - 1] / (left[i] - left[i - 1]))
            armed = False
    periods = [b - a for a, b in zip(crossings, crossings[1:])]
    if len(periods) < 2:
        return None
    median = sorted(periods)[len(periods) // 2]
    best, start = (0, 0), 0
    for i, period in enumerate(periods + [None]):
        if period is None or abs(period - median) > median / 4:
            best = max(best, (i - start, start))
            start = i + 1
    count, first = best
    if count < 2:
        return None
    return round(count * rate / (crossings[first + count] - crossings[first]), 1)


def report(summary, out):
    for config in summary["streamConfigs"]:
        sps, pps = (len(base64.b64decode(config.get(key, ""))) for key in ("sps", "pps"))
        out(f"stream_config: stream {config.get('streamId')}, {config.get('width')}x{config.get('height')}, "
            f"{config.get('codec')}, {config.get('targetBitrate')} kbps, {config.get('targetFps')} fps, "
            f"sps {sps} B, pps {pps} B")
    video, audio = summary["video"], summary["audio"]
    out(f"video: {video['frames']} frames in {video['seconds']} s ({video['fps']} fps), {video['kbps']} kbit/s, "
        f"{video['keyframes']} keyframes at {video['keyframeIndices']}, {video['decodedFrames']} decoded")
    tone = f", tone {audio['toneHz']} Hz" if "toneHz" in audio else ""
    out(f"audio: {audio['packets']} packets, {audio['bytes']} bytes, streams {audio['streamIds']}{tone}")
    for reply in summary["resizes"]:
        out(f"resize: {reply}")
    for pong in summary["pongs"]:
        out(f"pong: {pong['ms']} ms{'' if pong['echoed'] else ' (timestamp not echoed)'}")
    problems = summary["problems"]
    out(f"protocol problems: {problems['count']}" + "".join(f"\n  {p}" for p in problems["samples"]))
    out("files: " + ", ".join(video["files"].values()) + (f", {audio['wav']}" if "wav" in audio else ""))


# ---------------------------------------------------------------------------------------
# Command line

ACTIONS_HELP = """\
commands:
  discover        find the host: its name and signaling port
  windows         list the capturable windows
  stream          stream one window (its options: stream --help)

actions of stream --do ACTION, performed in order after the first frame:
  move:X,Y                      move the mouse
  down|up|click:X,Y[,BUTTON]    press, release or click a button (left, right,
                                middle, x1, x2 or a number; default left)
  wheel:X,Y,DELTA               turn the wheel
  key|keydown|keyup:VK[,MODS]   press and release, press or release a key (a
                                letter, digit, name such as enter or esc, or
                                a number), with modifier bits
  char:C                        type a character
  text:TEXT                     type text
  keyframe                      ask for a keyframe
  resize:WxH                    ask for the window to be resized
  feedback:DECODE_MS,RTT_MS[,SECONDS]
                                one feedback record, or one every 0.1 s for
                                SECONDS
  ping                          a ping, with its round trip
  wait:SECONDS                  pause
  frames:N                      wait for N frames
  past-keyframe:N               wait for the next keyframe and N frames after
                                it
X and Y run 0..65535 across the window, or 0.0..1.0 with a point. Input
events go on the input channel, or on the video channel with @video appended
(move:0.5,0.5@video); keyframe@video asks on the video channel instead of
signaling.
"""


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0], epilog=ACTIONS_HELP,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", default="127.0.0.1", help="the host's address (default 127.0.0.1)")
    parser.add_argument("--discovery-port", type=int, default=DISCOVERY_PORT)
    parser.add_argument("--signaling-port", type=int, help="skip discovery and use this port")
    parser.add_argument("--video-port", type=int, help="instead of the port in the welcome message")
    parser.add_argument("--audio-port", type=int, help="instead of the port in the welcome message")
    parser.add_argument("--input-port", type=int, help="instead of the port in the welcome message")
    parser.add_argument("--name", default="quorvane-client", help="client name in the discovery request")
    parser.add_argument("--timeout", type=float, default=5.0, help="seconds to wait for any one reply")
    parser.add_argument("--json", action="store_true", help="print a JSON summary (other output to stderr)")
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("discover", help="find the host")
    commands.add_parser("windows", help="list the capturable windows")
    stream = commands.add_parser("stream", help="stream one window")
    stream.add_argument("--window", required=True, help="window id, or a part of its title")
    stream.add_argument("--window-timeout", type=float, default=0.0,
                        help="ask for the list again until the window is there, up to this many seconds")
    stream.add_argument("--seconds", type=float, default=5.0, help="how long to stream")
    stream.add_argument("--out", default="quorvane-stream", help="prefix of the files written")
    stream.add_argument("--wav", action="store_true", help="decode the sound into PREFIX.wav")
    stream.add_argument("--tone", action="store_true", help="measure the frequency of a tone in the sound")
    stream.add_argument("--pixel", action="append", default=[], metavar="X,Y",
                        help="report the last frame's colour here (pixels, or fractions with a point)")
    stream.add_argument("--do", action="append", default=[], metavar="ACTION",
                        help="after the first frame, in order: move:X,Y down|up|click:X,Y[,BUTTON] "
                             "wheel:X,Y,DELTA key|keydown|keyup:VK[,MODIFIERS] char:C text:TEXT (input "
                             "events; append @video to send them on the video channel), keyframe[@video], "
                             "resize:WxH, feedback:DECODE_MS,RTT_MS[,SECONDS] (one record, or one every "
                             "0.1 s for SECONDS), ping, wait:SECONDS, frames:N (wait for N frames), "
                             "past-keyframe:N (wait for the next keyframe and N frames after it). X and Y "
                             "run 0..65535 across the window, or 0.0..1.0")
    stream.add_argument("--action-gap", type=float, default=0.2, help="seconds between actions")
    stream.add_argument("--no-auto-keyframe", action="store_true",
                        help="do not ask for a keyframe when the stream begins with another frame")
    args = parser.parse_args(argv)
    if args.command == "stream":
        for text in args.do:
            try:
                parse_action(text)
            except (ValueError, IndexError, KeyError) as error:
                parser.error(f"--do {text}: {error}")
    return args


async def run(args, out, summary):
    if args.command == "discover":
        found = discover(args.host, args.discovery_port, args.name, args.timeout)
        summary["discovery"] = found
        out(f'"{found["hostName"]}" at {found["address"]}, signaling port {found["signalingPort"]}')
        return 0
    if args.command == "windows":
        signaling, found, welcome = await connect_signaling(args, out)
        try:
            windows, _ = await list_windows(signaling, args, out)
        finally:
            await signaling.close()
        summary.update(discovery=found, welcome=welcome, windows=[window_summary(w) for w in windows])
        return 0
    return await run_stream(args, out, summary)


def main(argv=None):
    args = parse_arguments(argv)
    stream = sys.stderr if args.json else sys.stdout

    def out(line):
        print(line, file=stream, flush=True)

    summary = {}
    try:
        code = asyncio.run(run(args, out, summary))
    except (ClientError, subprocess.CalledProcessError) as error:
        out(f"error: {error}")
        summary["error"] = str(error)
        code = 1
    except KeyboardInterrupt:
        summary["error"] = "interrupted"
        code = 130
    if args.json:
        print(json.dumps(summary, indent=2))
    return code


if __name__ == "__main__":
    sys.exit(main())
