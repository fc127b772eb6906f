"""Runs the real orvane binary and waits on its output with deadlines."""

import ctypes
import functools
import os
import re
import select
import signal
import subprocess
import tempfile
import time
import unittest

ORVANE = os.environ.get("ORVANE", os.path.join(os.path.dirname(__file__), "../../build/linux/orvane"))
PROMPT = "Press Ctrl+C to quit"
# Set by the test registration that runs the suite against the build whose
# every watch is a fanotify filesystem mark; the program itself reads nothing.
SOURCE = os.environ.get("ORVANE_SOURCE", "inotify")
DEADLINE = 10.0


def line(event, path1, path2=""):
    return "%s('%s', '%s')" % (event, path1, path2)


LINE = re.compile(r"^(SHCNE_[A-Z]+)\('(.*)', '(.*)'\)$")


def parse_line(text):
    """(event, path1, path2) of an event line, else None."""
    match = LINE.match(text)
    return match.groups() if match else None


@functools.lru_cache(maxsize=None)
def why_fanotify_is_refused():
    """None where this process may place a fanotify filesystem mark that
    reports renames on "/", else why not."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.fanotify_mark.argtypes = [ctypes.c_int, ctypes.c_uint, ctypes.c_uint64, ctypes.c_int,
                                   ctypes.c_char_p]
    # FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_REPORT_DFID_NAME | FAN_REPORT_FID | FAN_REPORT_TARGET_FID
    fd = libc.fanotify_init(0x1 | 0x1e00, os.O_RDONLY)
    if fd < 0:
        return "fanotify_init: %s" % os.strerror(ctypes.get_errno())
    try:
        # FAN_MARK_ADD | FAN_MARK_FILESYSTEM; FAN_CREATE | FAN_RENAME
        if libc.fanotify_mark(fd, 0x1 | 0x100, 0x100 | 0x10000000, -100, b"/") != 0:
            return "a filesystem mark on /: %s" % os.strerror(ctypes.get_errno())
    finally:
        os.close(fd)
    return None


def only_with_inotify(reason):
    """Skips a case that concerns the inotify walk alone when the other source runs."""
    return unittest.skipIf(SOURCE == "fanotify", "the fanotify source runs: " + reason)


class Orvane:
    """One running orvane, its output read as lines as they arrive."""

    def __init__(self, *args, cwd=None, user=None, prefix=(), **popen):
        if SOURCE == "fanotify" and why_fanotify_is_refused():
            raise unittest.SkipTest("fanotify is not permitted here: " + why_fanotify_is_refused())
        if SOURCE == "fanotify" and user:
            raise unittest.SkipTest("the fanotify source runs, and %s may not place its marks" % user)
        prefix = list(prefix)
        if user:
            prefix = ["setpriv", "--reuid=" + user, "--regid=" + user if user != "nobody" else
                      "--regid=nogroup", "--clear-groups"]
        self.proc = subprocess.Popen(
            prefix + [ORVANE, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, cwd=cwd, **popen)
        self.lines = []
        self.err = b""
        self._partial = b""
        self._seen = 0

    def _read(self, timeout):
        if not self.proc.stdout:
            return False
        ready, _, _ = select.select([self.proc.stdout, self.proc.stderr], [], [], timeout)
        for stream in ready:
            chunk = os.read(stream.fileno(), 1 << 20)
            if stream is self.proc.stderr:
                self.err += chunk
                continue
            if not chunk:
                return False
            self._partial += chunk
            *complete, self._partial = self._partial.split(b"\n")
            self.lines += [c.decode("utf-8", "surrogateescape") for c in complete]
        return True

    def wait_for(self, predicate, timeout=DEADLINE):
        """Reads until predicate(lines) holds; returns its value or None at the deadline."""
        end = time.monotonic() + timeout
        while True:
            found = predicate(self.lines)
            if found:
                return found
            left = end - time.monotonic()
            if left <= 0 or (not self._read(min(left, 0.2)) and self.proc.poll() is not None):
                return predicate(self.lines)

    def wait_line(self, text, timeout=DEADLINE):
        return self.wait_for(lambda lines: text in lines, timeout)

    def settle(self, quiet=0.3, timeout=DEADLINE):
        """Reads until no line has come for `quiet` seconds (used only to see that nothing more comes)."""
        end = time.monotonic() + timeout
        count = len(self.lines)
        last = time.monotonic()
        while time.monotonic() < end:
            self._read(0.05)
            if len(self.lines) != count:
                count, last = len(self.lines), time.monotonic()
            elif time.monotonic() - last >= quiet:
                break

    def forget(self):
        """Drops the lines read so far, so later counts see only what follows."""
        self.lines = []
        self._seen = 0

    def new_lines(self):
        """Lines since the previous call."""
        fresh = self.lines[self._seen:]
        self._seen = len(self.lines)
        return fresh

    def arm(self, directory, timeout=DEADLINE):
        """Creates probe files until one's line shows, so the watch is known to be in place."""
        end = time.monotonic() + timeout
        attempt = 0
        while time.monotonic() < end and self.proc.poll() is None:
            attempt += 1
            probe = os.path.join(directory, ".orvane-probe-%d" % attempt)
            with open(probe, "w"):
                pass
            seen = self.wait_for(lambda lines: line("SHCNE_CREATE", probe) in lines, 0.2)
            os.unlink(probe)
            if seen:
                self.wait_line(line("SHCNE_DELETE", probe))
                self.settle()
                self.new_lines()
                return True
        return False

    def stop(self, sig=signal.SIGINT, timeout=DEADLINE):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        while self.proc.stdout and self._read(0):
            pass
        for stream in (self.proc.stdout, self.proc.stderr):
            if stream:
                stream.close()
        self.proc.stdout = self.proc.stderr = None
        return self.proc.returncode

    def handles_control_events(self, timeout=DEADLINE):
        """Waits until the tool takes SIGINT itself (it is blocked for the handler thread)."""
        end = time.monotonic() + timeout
        while time.monotonic() < end and self.proc.poll() is None:
            with open("/proc/%d/status" % self.proc.pid) as status:
                for entry in status:
                    if entry.startswith("SigBlk:") and int(entry.split()[1], 16) & (1 << (signal.SIGINT - 1)):
                        return True
            time.sleep(0.01)
        return False

    def trouble(self):
        """Why the tool is not fit to go on (it ended, or a sanitizer spoke), or None."""
        self._read(0)
        if self.proc.poll() is not None:
            return "orvane ended on its own with status %s" % self.proc.returncode
        if b"Sanitizer" in self.err or b"runtime error:" in self.err:
            return "a sanitizer reported an error"
        return None

    def dump(self):
        return "orvane output:\n%s\n%s\norvane stderr:\n%s" % (
            "\n".join(self.lines), self._partial.decode("utf-8", "replace"),
            self.err.decode("utf-8", "replace"))


def check_fit(test, tool):
    """A cleanup to run before the tool is stopped, so that a crash late in a
    test, after its last expectation was met, still fails it."""
    trouble = tool.trouble()
    if trouble:
        test.fail("%s\n%s" % (trouble, tool.dump()))


class OrvaneTestCase(unittest.TestCase):
    """Each test gets a fresh directory and a started, armed orvane watching it."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="orvane-e2e-")
        self.root = os.path.realpath(self.tmp.name)
        self.tool = Orvane(self.root)
        self.addCleanup(self.tmp.cleanup)
        self.addCleanup(self.tool.stop)
        self.addCleanup(check_fit, self, self.tool)
        if not self.tool.arm(self.root):
            self.fail("orvane never armed\n" + self.tool.dump())

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def expect_line(self, event, path1, path2="", timeout=DEADLINE):
        text = line(event, path1, path2)
        if not self.tool.wait_line(text, timeout):
            self.fail("missing line %s\n%s" % (text, self.tool.dump()))

    def expect_only(self, *lines, quiet=0.3):
        """Each of lines shows, and once the output has been quiet for `quiet`
        seconds they are exactly the lines that came since the last look."""
        if not self.tool.wait_for(lambda seen: all(l in seen for l in lines)):
            fresh = self.tool.new_lines()  # so the next case of a table starts afresh
            missing = [l for l in lines if l not in fresh]
            self.fail("missing %s\n%s" % (missing, self.tool.dump()))
        self.tool.settle(quiet)
        fresh = self.tool.new_lines()
        if sorted(fresh) != sorted(lines):
            self.fail("expected only %s, got %s\n%s" % (list(lines), fresh, self.tool.dump()))

    def expect_once(self, event, path1, path2=""):
        """The line shows, and after the output settles it shows exactly once."""
        self.expect_line(event, path1, path2)
        self.tool.settle()
        text = line(event, path1, path2)
        count = self.tool.lines.count(text)
        if count != 1:
            self.fail("%s shown %d times\n%s" % (text, count, self.tool.dump()))
