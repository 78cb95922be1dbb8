#!/usr/bin/python3
"""The client's help against its parser: every action that --help shows is one that --do takes.

Usage: client_test.py SOURCE_DIR
"""
import importlib.util
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


if __name__ == "__main__":
    unittest.main()
