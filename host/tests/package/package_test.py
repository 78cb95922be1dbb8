#!/usr/bin/python3
"""The Windows package: made by CPack from the build, its contents checked, and the packaged
program started under Wine from the package's folder, as a person starts it.

Usage: package_test.py BUILD_DIR WORK_DIR CPACK OBJDUMP. Needs the ctest fixtures "wine" and "pulse".
"""
import glob
import json
import os
import shutil
import socket
import subprocess
import sys
import time
import unittest
import zipfile

BUILD, WORK, CPACK, OBJDUMP = [sys.argv.pop(1) for _ in range(4)]
WINE = "/usr/lib/wine/wine64"
ENV = dict(os.environ, WINEDEBUG="-all")
with open(os.path.join(os.environ["QH_WINE_STATE"], "display")) as f:
    ENV["DISPLAY"] = f.read().strip()

LICENSES = ["boost", "dear-imgui", "fmt", "gcc-runtime", "GPL-3", "mingw-w64-runtime", "nlohmann-json",
            "nv-codec-headers", "opus", "spdlog", "speexdsp", "stb"]
EXPECTED = {"QuorvaneHost.exe", "assets/logo.png"} | {"licenses/%s.txt" % name for name in LICENSES}
# DLLs that every Windows 10 installation has in its system folder; API sets
# (api-ms-win-*) are the system's too.
SYSTEM_DLLS = {"advapi32.dll", "avrt.dll", "bcrypt.dll", "crypt32.dll", "d3d11.dll", "d3dcompiler_47.dll",
               "dwmapi.dll", "dxgi.dll", "gdi32.dll", "imm32.dll", "iphlpapi.dll", "kernel32.dll", "msvcrt.dll",
               "mswsock.dll", "ntdll.dll", "ole32.dll", "oleaut32.dll", "shell32.dll", "shlwapi.dll",
               "user32.dll", "version.dll", "winmm.dll", "ws2_32.dll"}
package = ""  # the unpacked package's top folder


def setUpModule():
    global package
    shutil.rmtree(WORK, ignore_errors=True)
    made = subprocess.run([CPACK, "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", WORK],
                          capture_output=True, text=True)
    zips = glob.glob(os.path.join(WORK, "*.zip"))
    if made.returncode != 0 or len(zips) != 1:
        raise AssertionError("cpack: %s%s" % (made.stdout, made.stderr))
    with zipfile.ZipFile(zips[0]) as z:
        z.extractall(os.path.join(WORK, "unpacked"))
    [package] = glob.glob(os.path.join(WORK, "unpacked", "*"))


def free_port():
    with socket.socket() as s:
        s.bind(("", 0))
        return s.getsockname()[1]


def text(path, start=0):
    if not os.path.exists(path):
        return ""
    with open(path, errors="replace") as f:
        f.seek(start if os.path.getsize(path) >= start else 0)
        return f.read()


class Contents(unittest.TestCase):
    def test_the_package_holds_the_program_its_logo_and_the_licences_only(self):
        found = {os.path.relpath(os.path.join(d, name), package).replace(os.sep, "/")
                 for d, _, names in os.walk(package) for name in names}
        self.assertEqual(found, EXPECTED)
        for name in LICENSES:
            self.assertIn("Copyright", text(os.path.join(package, "licenses", name + ".txt")), name)
        self.assertIn("Boost Software License - Version 1.0", text(os.path.join(package, "licenses", "boost.txt")))

    def test_the_program_is_stripped_and_needs_only_the_systems_dlls(self):
        exe = os.path.join(package, "QuorvaneHost.exe")
        self.assertLess(os.path.getsize(exe), 20 * 1024 * 1024)
        sections = subprocess.run([OBJDUMP, "-h", exe], capture_output=True, text=True, check=True).stdout
        self.assertNotIn(".debug", sections)
        headers = subprocess.run([OBJDUMP, "-p", exe], capture_output=True, text=True, check=True).stdout
        dlls = [line.split(":", 1)[1].strip().lower() for line in headers.splitlines() if "DLL Name:" in line]
        self.assertIn("kernel32.dll", dlls)
        self.assertEqual([d for d in dlls if d not in SYSTEM_DLLS and not d.startswith("api-ms-win-")], [])


class PackagedProgram(unittest.TestCase):
    """Runs with the prefix's settings file in place of the user's, restored afterwards."""

    def setUp(self):
        local = glob.glob(os.path.join(os.environ["WINEPREFIX"], "drive_c/users/*/AppData/Local"))[0]
        self.settings = os.path.join(local, "Quorvane", "settings.json")
        self.saved = text(self.settings) if os.path.exists(self.settings) else None
        self.log_file = os.path.join(local, "Quorvane", "logs", "QuorvaneHost.log")
        self.log_start = os.path.getsize(self.log_file) if os.path.exists(self.log_file) else 0
        self.console = os.path.join(WORK, self._testMethodName + ".log")
        self.host = None

    def tearDown(self):
        if self.host and self.host.poll() is None:
            self.host.kill()
            self.host.wait()
        if self.saved is None:
            os.remove(self.settings)
        else:
            with open(self.settings, "w") as f:
                f.write(self.saved)

    def start(self, ports):
        os.makedirs(os.path.dirname(self.settings), exist_ok=True)
        with open(self.settings, "w") as f:
            json.dump(dict(zip(["signalingPort", "videoPort", "audioPort", "inputPort"], ports)), f)
        with open(self.console, "w") as out:
            self.host = subprocess.Popen([WINE, "QuorvaneHost.exe"], cwd=package, env=ENV,
                                         stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        return self.host

    def test_a_taken_signaling_port_ends_it_with_exit_code_1_and_says_why(self):
        with socket.socket() as taken:
            taken.bind(("", 0))
            taken.listen()
            host = self.start([taken.getsockname()[1]] + [free_port() for _ in range(3)])
            code = host.wait(timeout=120)
        self.assertEqual(code, 1, text(self.console))
        # The console's lines and the log file's (which also name the thread) end alike.
        for output in [text(self.console), text(self.log_file, self.log_start)]:
            for line in ["Failed to start signaling server", "Failed to initialize application"]:
                self.assertRegex(output, r"(?m)^\[.*\] \[error\] \[QuorvaneHost\] (\[\d+\] )?%s$" % line)

    def test_it_shows_its_logo_and_closes_with_exit_code_0_when_asked(self):
        host = self.start([free_port() for _ in range(4)])
        deadline = time.time() + 120
        while "entering main loop" not in text(self.console) and host.poll() is None and time.time() < deadline:
            time.sleep(0.1)
        closer = subprocess.run([WINE, os.path.join(BUILD, "standin-host", "qh_close_window.exe"),
                                 "QuorvaneHostClass", "10"], env=ENV, capture_output=True, timeout=60)
        self.assertEqual((closer.returncode, host.wait(timeout=60)), (0, 0), text(self.console))
        self.assertIn("Loaded logo texture: ", text(self.console))
        self.assertIn("Quorvane Host exiting", text(self.console))


if __name__ == "__main__":
    unittest.main(verbosity=2)
