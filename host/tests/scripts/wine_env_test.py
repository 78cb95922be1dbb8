#!/usr/bin/python3
"""The Wine environment's set-up (scripts/wine-env.sh) against stand-ins for wine and wineserver:
a set-up over one left running (an interrupted run, a benchmark) ends up with a desktop keeper
that lives on.

Usage: wine_env_test.py SOURCE_DIR WORK_DIR
"""
import os
import shutil
import signal
import subprocess
import sys
import time
import unittest

SOURCE, WORK = sys.argv.pop(1), sys.argv.pop(1)
SCRIPT = os.path.join(SOURCE, "scripts", "wine-env.sh")

# A server told to end by "wineserver -k" ends, and takes its programs with it, only a while
# later, or once "wineserver -w" waits for it. Keepers ("wine cmd /c pause") note their PIDs.
WINESERVER = r"""#!/bin/bash
fake="$FAKE_WINE"
end() { while read -r pid; do kill "$pid" 2>/dev/null; done <"$fake/programs"; : >"$fake/programs"; rm -f "$fake/ending"; }
case "$1" in
  -k) [ -f "$fake/server" ] || exit 1
      rm "$fake/server"; touch "$fake/ending"
      setsid bash -c "sleep 20; [ -f '$fake/ending' ] && kill \$(cat '$fake/programs') 2>/dev/null" </dev/null >/dev/null 2>&1 &
      echo $! >>"$fake/helpers" ;;
  -w) [ -f "$fake/ending" ] && end ;;
  -p) touch "$fake/server" ;;
esac
exit 0
"""
WINE = r"""#!/bin/bash
if [ "$*" = "cmd /c pause" ]; then echo $$ >>"$FAKE_WINE/programs"; exec sleep 1000; fi
exit 0
"""


def alive(pid):
    """Whether the process runs (a zombie that nobody reaped yet does not)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def wait_for(condition, seconds=60):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


class Setup(unittest.TestCase):
    def setUp(self):
        shutil.rmtree(WORK, ignore_errors=True)
        self.fake = os.path.join(WORK, "fake")
        prefix = os.path.join(WORK, "prefix")
        self.state = os.path.join(WORK, "state")
        for folder in (self.fake, prefix, self.state):
            os.makedirs(folder)
        open(os.path.join(prefix, ".qh-ready-win10"), "w").close()
        for name, text in (("wineserver", WINESERVER), ("wine", WINE)):
            path = os.path.join(self.fake, name)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, 0o755)
        for name in ("programs", "helpers"):
            open(os.path.join(self.fake, name), "w").close()
        self.env = dict(os.environ, PATH=self.fake + ":" + os.environ["PATH"], FAKE_WINE=self.fake,
                        WINEPREFIX=prefix, QH_WINE_STATE=self.state, DISPLAY=":99", QH_NETNS="qh-test",
                        QH_NETNS_ENTERED="qh-test")

    def tearDown(self):
        for name in ("programs", "helpers"):
            with open(os.path.join(self.fake, name)) as f:
                for pid in f.read().split():
                    try:
                        os.kill(int(pid), signal.SIGKILL)
                    except ProcessLookupError:
                        pass

    def keeper(self):
        with open(os.path.join(self.state, "keeper.pid")) as f:
            return int(f.read())

    def test_a_setup_over_a_running_one_leaves_a_keeper_that_lives_on(self):
        subprocess.run([SCRIPT, "setup"], env=self.env, check=True, timeout=120)
        old = self.keeper()
        self.assertTrue(wait_for(lambda: str(old) in open(os.path.join(self.fake, "programs")).read()))
        subprocess.run([SCRIPT, "setup"], env=self.env, check=True, timeout=120)
        self.assertTrue(wait_for(lambda: not alive(old)), "the old server's keeper ends with it")
        self.assertTrue(alive(self.keeper()), "a keeper of the new server")


if __name__ == "__main__":
    unittest.main()
