#!/usr/bin/python3
"""The benchmark scripts' host helper (host/bench/main/standin_host.py) with a stand-in for the
host's process: its memory figures are those of the process it started, even while a newer
process of the same name runs beside it.

Usage: standin_host_test.py SOURCE_DIR WORK_DIR
"""
import os
import shutil
import subprocess
import sys
import unittest

SOURCE, WORK = sys.argv.pop(1), sys.argv.pop(1)
sys.dont_write_bytecode = True  # no __pycache__ beside the sources
sys.path.insert(0, os.path.join(SOURCE, "host", "bench", "main"))
import standin_host  # noqa: E402

HEAP_MIB = 64
# A process named like the host: holds HEAP_MIB MiB of touched heap (argument 1: 1, or 0 for
# none), then prints the host's line at the end of its start-up and waits to be ended.
FAKE_HOST = """
import sys, time
heap = bytearray(int(sys.argv[1]) * %d << 20)
for i in range(0, len(heap), 4096):
    heap[i] = 1
print(sys.argv[2], flush=True)
time.sleep(600)
""" % HEAP_MIB


def fake_host(heap):
    return [sys.executable, "-c", FAKE_HOST, str(heap), standin_host.READY_LINE, standin_host.EXE]


class Memory(unittest.TestCase):
    def setUp(self):
        shutil.rmtree(WORK, ignore_errors=True)
        os.makedirs(WORK)
        self.others = []

    def tearDown(self):
        for process in self.others:
            process.kill()
            process.wait()
            if process.stdout:
                process.stdout.close()

    def test_figures_are_those_of_the_started_host_not_of_a_newer_one_of_its_name(self):
        host = standin_host.StandinHost(os.path.join(WORK, "host")).launch(fake_host(1), WORK)
        self.others.append(host.process)
        newer = subprocess.Popen(fake_host(0), stdout=subprocess.PIPE, text=True)
        self.others.append(newer)
        self.assertEqual(newer.stdout.readline().strip(), standin_host.READY_LINE)

        rss, anon = host.memory()
        self.assertGreaterEqual(anon, HEAP_MIB * 1024)  # the heap counts as anonymous memory
        self.assertGreaterEqual(rss, anon)
        self.assertLess(standin_host.memory_kib(newer.pid)[1], HEAP_MIB * 1024)

    def test_a_started_process_that_is_not_the_host_is_refused(self):
        host = standin_host.StandinHost(os.path.join(WORK, "other"))
        command = [sys.executable, "-c", "import sys, time; print(sys.argv[1], flush=True); time.sleep(600)",
                   standin_host.READY_LINE]
        with self.assertRaisesRegex(RuntimeError, "is not the host"):
            host.launch(command, WORK)
        self.others.append(host.process)


if __name__ == "__main__":
    unittest.main()
