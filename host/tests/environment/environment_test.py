#!/usr/bin/python3
"""The Windows tests' environment: one network of the run's own where one can be made, shared by
every program of the run (a Windows program's sockets belong to its wineserver), and one desktop
for the whole run.

Needs the ctest fixture "wine"; run through scripts/test-netns.sh as every test of the run is.
"""
import os
import subprocess
import unittest

PREFIX = os.path.realpath(os.environ["WINEPREFIX"])
STATE = os.environ["QH_WINE_STATE"]


def network(pid="self"):
    return os.readlink("/proc/%s/ns/net" % pid)


def can_make_a_network():
    """Whether this process may make a network namespace, as the run's own network is made (only
    for root): where it may not, as in a container without the right, the run shares the machine's
    network. Asked of the system itself, not of test-netns.sh, so that a run that should have had
    its own network and did not still fails."""
    try:
        return subprocess.run(["unshare", "--net", "true"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0
    except OSError:
        return False


def start_time(pid):
    """When the process started, in clock ticks since boot, as text."""
    with open("/proc/%s/stat" % pid) as f:
        return f.read().rsplit(")", 1)[1].split()[19]


def wine_processes(name):
    """Processes of this prefix whose command line holds name."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                env = f.read().split(b"\0")
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                command = f.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if ("WINEPREFIX=" + PREFIX).encode() in env and name in command:
            found.append(pid)
    return found


class Environment(unittest.TestCase):
    def test_the_run_has_a_network_of_its_own_that_its_wineserver_and_display_share(self):
        if os.geteuid() != 0:
            self.skipTest("a network of its own needs root")
        if not can_make_a_network():
            self.skipTest("no network namespace can be made here (unshare --net fails): "
                          "the run shares the machine's network")
        self.assertNotEqual(network(), network(os.getppid()))  # ctest's, the machine's
        with open(os.path.join(STATE, "xvfb.pid")) as f:
            self.assertEqual(network(f.read().strip()), network())
        servers = wine_processes("wineserver")
        self.assertTrue(servers)
        self.assertEqual({network(pid) for pid in servers}, {network()})

    def test_one_desktop_is_kept_for_the_whole_run(self):
        # Made at set-up, before any program of the run has a window, and kept by a program that
        # never ends on its own: the desktop process that set-up saw is still there. (Another one
        # may come and go beside it, as when a service's window station is given a desktop.)
        with open(os.path.join(STATE, "desktop.pids")) as f:
            made = {tuple(line.split()) for line in f if line.strip()}
        self.assertTrue(made, "set-up saw no desktop")
        now = {(pid, start_time(pid)) for pid in wine_processes("explorer.exe /desktop")}
        self.assertTrue(made & now, "the desktop of set-up %s is gone; desktops now %s" % (made, now))
        self.assertTrue(wine_processes("cmd.exe /c pause"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
