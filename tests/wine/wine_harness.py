"""Runs the real orvane.exe under wine64 and drives it with inject.exe.

Every wait has a deadline; a failing test shows what the tool wrote.
"""

import os
import select
import subprocess
import time
import unittest

ORVANE = os.environ["ORVANE_EXE"]
INJECT = os.environ["ORVANE_INJECT"]
WINE = [os.environ["ORVANE_WINE_RUN"], os.environ["ORVANE_WINE_PREFIX"]]
DRIVE_C = os.path.join(os.environ["ORVANE_WINE_PREFIX"], "drive_c")

DEADLINE = 20.0
PROMPT = b"Press Ctrl+C to quit\r"  # a line as split at LF: CR LF leaves a CR
FOLDER = "orvane-e2e"
WATCHED = "C:\\" + FOLDER

SHCNE_RENAMEITEM, SHCNE_CREATE = 0x1, 0x2
IDCANCEL = 2


def windows_path(name):
    return WATCHED + "\\" + name


def inject(*args):
    """Runs inject.exe; returns (exit status, its standard output)."""
    done = subprocess.run(WINE + [INJECT, *map(str, args)], stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=DEADLINE)
    return done.returncode, done.stdout.decode(errors="replace") + done.stderr.decode(
        errors="replace")


class Tool:
    """One orvane.exe under wine; its output kept as raw lines split at LF."""

    def __init__(self, *args):
        self.proc = subprocess.Popen(WINE + [ORVANE, *args], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.lines = []
        self.partial = b""
        self.err = b""

    def _read(self, timeout):
        """Reads what has come within timeout; False once standard output is closed."""
        streams = [s for s in (self.proc.stdout, self.proc.stderr) if not s.closed]
        ready, _, _ = select.select(streams, [], [], timeout)
        for stream in ready:
            chunk = os.read(stream.fileno(), 1 << 16)
            if stream is self.proc.stderr:
                self.err += chunk
                if not chunk:
                    stream.close()
            elif chunk:
                *complete, self.partial = (self.partial + chunk).split(b"\n")
                self.lines += complete
            else:
                stream.close()
        return not self.proc.stdout.closed

    def wait_for_lines(self, count, timeout=DEADLINE):
        end = time.monotonic() + timeout
        while len(self.lines) < count and time.monotonic() < end:
            if not self._read(min(0.2, end - time.monotonic())):
                break
        return len(self.lines) >= count

    def wait_exit(self, timeout=DEADLINE):
        """Reads to the end of the output and returns the exit status, or None at the deadline."""
        end = time.monotonic() + timeout
        while time.monotonic() < end and self._read(min(0.2, end - time.monotonic())):
            pass
        try:
            return self.proc.wait(max(0.0, end - time.monotonic()))
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()

    def dump(self):
        return "orvane.exe standard output:\n%r\n%r\nstandard error:\n%s" % (
            self.lines, self.partial, self.err.decode(errors="replace"))




class WineTestCase(unittest.TestCase):
    """Starts tools that are stopped at the end of the test, and finds their dialogs."""

    @classmethod
    def setUpClass(cls):
        folder = os.path.join(DRIVE_C, FOLDER)
        os.makedirs(folder, exist_ok=True)
        for name in ("a.txt", "b.txt"):
            open(os.path.join(folder, name), "w").close()

    def start(self, *args):
        tool = Tool(*args)
        self.addCleanup(tool.stop)
        self.tool = tool
        return tool

    def find_dialog(self):
        """Waits for the tool's dialog; returns its handle, its thread and its process id as text."""
        end = time.monotonic() + DEADLINE
        while time.monotonic() < end:
            status, out = inject("find")
            if status == 0:
                dialog, thread, process = out.split()
                return dialog, thread, process
            if self.tool.proc.poll() is not None:
                break
        self.fail("the dialog never showed\n" + self.tool.dump())

    def check(self, condition, message):
        if not condition:
            self.fail(message + "\n" + self.tool.dump())
