#!/usr/bin/python3
"""The client's help against its parser: every action that --help shows is one that --do takes;
the tone it measures in the sound it heard.

Usage: client_test.py SOURCE_DIR
"""
import array
import importlib.util
import math
import os
import re
import subprocess
import sys
import unittest

SOURCE = sys.argv.pop(1)
sys.dont_write_bytecode = True  # no __pycache__ beside the sources
CLIENT = os.path.join(SOURCE, "scripts", "quorvane_client.py")
spec = importlib.util.spec_from_file_location("quorvane_client", CLIENT)
client = importlib.util.module_from_spec(spec)
spec.loader.exec_module(client)

# A value for each placeholder that the help's action lines use.
EXAMPLES = {"X": "0.25", "Y": "0.75", "BUTTON": "right", "DELTA": "-120", "VK": "enter", "MODS": "2", "C": "é",
            "TEXT": "hello", "W": "800", "H": "600", "DECODE_MS": "5", "RTT_MS": "60", "SECONDS": "0.5", "N": "3"}


def shown_actions(help_text):
    """The syntax column of the help's action lines, e.g. "down|up|click:X,Y[,BUTTON]"."""
    section = help_text.split("actions of stream --do ACTION", 1)[1].split("\nX and Y", 1)[0]
    return [m.group(1) for m in re.finditer(r"^  (\S+)", section, re.M)]


def examples(syntax):
    """Every --do text that one help line stands for: each kind, with and without the optional part."""
    kinds, _, arguments = syntax.rstrip(",").partition(":")
    filled = re.sub(r"[A-Z_]+", lambda m: EXAMPLES[m.group(0)], arguments)
    forms = {re.sub(r"\[[^]]*\]", "", filled), filled.replace("[", "").replace("]", "")}
    return [kind + (":" + form if form else "") for kind in kinds.split("|") for form in forms]


class Help(unittest.TestCase):
    def test_the_help_lists_every_command_and_action_and_each_parses(self):
        shown = subprocess.run(["/usr/bin/python3", CLIENT, "--help"], capture_output=True, text=True, check=True)
        for command in ("discover", "windows", "stream"):
            self.assertRegex(shown.stdout, r"\n  %s " % command)
        syntaxes = shown_actions(shown.stdout)
        kinds = set()
        for syntax in syntaxes:
            for text in examples(syntax):
                with self.subTest(action=text):
                    action = client.parse_action(text)
                    self.assertEqual(action.text, text)
                    kinds.add(action.kind)
        self.assertEqual(kinds, {"move", "down", "up", "click", "wheel", "key", "keydown", "keyup", "char", "text",
                                 "keyframe", "resize", "feedback", "ping", "wait", "frames", "past-keyframe"})
        for text in ("move:0.5,0.5@video", "keyframe@video"):  # the channel suffix that the help names
            self.assertEqual(client.parse_action(text).channel, "video")


def sound(*parts):
    """48 kHz stereo PCM bytes: each part a (frequency, seconds, phase) sine, or (None, seconds) silence."""
    pcm = array.array("h")
    for hz, seconds, *phase in parts:
        for i in range(int(seconds * 48000)):
            value = 0 if hz is None else int(8000 * math.sin((phase or [0])[0] + 2 * math.pi * hz * i / 48000))
            pcm.extend((value, value))
    return pcm.tobytes()


class Tone(unittest.TestCase):
    def test_gaps_in_the_sound_do_not_move_the_tone_and_one_that_is_really_off_shows(self):
        # Silence where the player fell behind, a stretch the capture lost (a jump of phase).
        heard = sound((None, 0.05), (1000, 0.2), (None, 0.005), (1000, 0.15, 1.3), (1000, 0.15, 4.0), (None, 0.02))
        self.assertAlmostEqual(client.tone_frequency(heard, 2, 48000), 1000, delta=0.5)
        # The microphone's 440 Hz, a 1 kHz tone at 44.1 kHz taken for 48 kHz, one off by 1 %.
        for hz in (440, 1000 * 48000 / 44100, 1010):
            with self.subTest(hz=hz):
                heard = sound((hz, 0.3), (None, 0.02), (hz, 0.1, 2.0))
                self.assertAlmostEqual(client.tone_frequency(heard, 2, 48000), hz, delta=0.5)
        self.assertIsNone(client.tone_frequency(sound((None, 0.1)), 2, 48000))

if __name__ == "__main__":
    unittest.main()
