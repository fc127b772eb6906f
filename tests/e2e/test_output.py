"""The road from the change source to standard output: a reader that stalls
or leaves, console control events meanwhile, escaping, long paths, and the
tool's own output file."""

import fcntl
import os
import re
import select
import signal
import subprocess
import tempfile
import termios
import time
import unittest

from harness import (DEADLINE, ORVANE, PROMPT, Orvane, OrvaneTestCase, check_fit, line,
                     only_with_inotify)

EVENT_LINE = re.compile(r"^(SHCNE_[A-Z]+|\(lEvent:[0-9A-F]{8}\))\('.*', '.*'\)$")
OCTAL = re.compile(rb"\\([0-7]{3})")


def unescape(text):
    """The bytes a printed path stands for: each backslash and three octal
    digits is one byte; nothing else is escaped."""
    raw = text.encode("utf-8", "surrogateescape")
    return OCTAL.sub(lambda m: bytes([int(m.group(1), 8)]), raw)


def malformed(lines):
    return [l for l in lines if l != PROMPT and not EVENT_LINE.match(l)]


def summary(tool):
    """The end of the tool's output: enough to see what went wrong, where the
    whole of it would be tens of thousands of lines."""
    tail = [l if len(l) < 300 else l[:100] + "..." + l[-100:] for l in tool.lines[-8:]]
    return "%d lines, the last:\n%s\npartial: %r\nstderr: %s" % (
        len(tool.lines), "\n".join(tail), tool._partial[-200:],
        tool.err[-600:].decode("utf-8", "replace"))


def sanitized(pid):
    with open("/proc/%d/maps" % pid) as maps:
        return "asan" in maps.read()


def peak_rss_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for entry in status:
            if entry.startswith("VmHWM:"):
                return int(entry.split()[1])
    return 0


def queued_bytes(pipe):
    return int.from_bytes(fcntl.ioctl(pipe.fileno(), termios.FIONREAD, b"\0" * 4), "little")


def blocked_in_write(tool):
    with open("/proc/%d/wchan" % tool.proc.pid) as wchan:
        return "pipe_write" in wchan.read()


def fill_pipe(test, tool, folder, count=40000):
    """Makes changes until the tool's main thread is blocked writing to its
    full standard output, as behind a reader that sleeps."""
    for i in range(count):
        os.mknod(os.path.join(folder, "f%d" % i))
        if i % 1000 == 999 and blocked_in_write(tool):
            return
    end = time.monotonic() + DEADLINE
    while not blocked_in_write(tool):
        if time.monotonic() > end:
            test.fail("standard output never filled (%d bytes)\n%s" %
                      (queued_bytes(tool.proc.stdout), summary(tool)))
        time.sleep(0.01)


def inotify_watches(pid):
    """How many inotify watches the process holds, by its descriptors' fdinfo."""
    count = 0
    for fd in os.listdir("/proc/%d/fdinfo" % pid):
        try:
            with open("/proc/%d/fdinfo/%s" % (pid, fd)) as info:
                count += sum(1 for entry in info if entry.startswith("inotify wd:"))
        except OSError:
            pass  # closed meanwhile
    return count


class ControlEventTest(unittest.TestCase):
    def test_a_control_event_ends_the_tool_within_a_second_and_no_line_is_cut(self):
        rows = [("Ctrl+C", signal.SIGINT), ("Ctrl+Break", signal.SIGQUIT),
                ("console closed", signal.SIGHUP), ("shutdown", signal.SIGTERM)]
        for name, sig in rows:
            with self.subTest(name), tempfile.TemporaryDirectory(prefix="orvane-e2e-") as tmp:
                root = os.path.realpath(tmp)
                tool = Orvane(root)
                self.addCleanup(tool.stop)
                self.assertTrue(tool.arm(root), summary(tool))
                fill_pipe(self, tool, root)
                started = time.monotonic()
                tool.proc.send_signal(sig)
                try:
                    tool.proc.wait(5)
                except subprocess.TimeoutExpired:
                    pass
                took = time.monotonic() - started
                status = tool.stop()
                self.assertLess(took, 1.0, "%s took %.2f s\n%s" % (name, took, summary(tool)))
                self.assertEqual(status, -sig, summary(tool))
                self.assertEqual(tool._partial, b"", "a line was cut\n" + summary(tool))
                self.assertEqual(malformed(tool.lines), [], summary(tool))



class SleepingReaderTest(OrvaneTestCase):
    def test_memory_stays_bounded_behind_a_sleeping_reader_and_the_overflow_is_told(self):
        # A reader that sleeps through 300,000 events: the tool may not keep
        # them all. 150,000 files are made and removed, 100 are kept.
        bound_kib = 24 * 1024
        folder = self.path("d")
        os.mkdir(folder)
        self.expect_line("SHCNE_MKDIR", folder)
        self.tool.settle()
        self.tool.new_lines()
        start_rss = peak_rss_kib(self.tool.proc.pid)
        for i in range(150000):
            name = os.path.join(folder, "t%d" % i)
            os.mknod(name)
            if i % 1500:
                os.unlink(name)
        peak = max(start_rss, peak_rss_kib(self.tool.proc.pid))
        time.sleep(0.5)  # lets the tool take in what it will before it is read
        peak = max(peak, peak_rss_kib(self.tool.proc.pid))
        if not sanitized(self.tool.proc.pid):  # AddressSanitizer keeps freed memory
            self.assertLess(peak, bound_kib, "peak resident memory %d KiB" % peak)

        kept = sorted(os.path.join(folder, n) for n in os.listdir(folder))
        overflow = line("SHCNE_UPDATEDIR", self.root)
        # Changes made while the kernel's queue was full are lost, so the
        # tool is known to have caught up once a change made now shows.
        if not self.tool.arm(self.root, 120):
            self.fail("the tool never caught up\n" + "\n".join(self.tool.lines[-20:]))
        # Replays the lines onto the tree as it was; the overflow line means
        # "list it again", and the tree was as it is now when the tool read
        # it. The probe files of arm() are left out.
        tree = set()
        for text in self.tool.lines[1:]:  # after the prompt
            if text == overflow:
                tree = set(kept) | {folder}
                continue
            kind, path = re.match(r"^(\w+)\('(.*)', ''\)$", text).groups()
            path = unescape(path).decode("utf-8", "surrogateescape")
            if ".orvane-probe-" in path:
                continue
            if kind in ("SHCNE_CREATE", "SHCNE_MKDIR"):
                self.assertNotIn(path, tree, "created twice: " + text)
                tree.add(path)
            elif kind in ("SHCNE_DELETE", "SHCNE_RMDIR"):
                self.assertIn(path, tree, "deleted unknown: " + text)
                tree.remove(path)
        self.assertEqual(sorted(tree - {folder}), kept)
        lines = len(self.tool.lines)
        if lines < 300000:
            self.assertIn(overflow, self.tool.lines, "%d lines and no overflow line" % lines)


class StalledOutputTest(OrvaneTestCase):
    @only_with_inotify("a folder made is watched by a watch of its own")
    def test_a_folder_made_while_the_output_stalls_is_watched_before_the_reader_reads(self):
        # The main thread waits in its write to the full pipe; the kernel's
        # queue must still be read meanwhile, and the new folder watched.
        fill_pipe(self, self.tool, self.root)
        watches = inotify_watches(self.tool.proc.pid)
        folder = self.path("made while stalled")
        os.mkdir(folder)
        end = time.monotonic() + DEADLINE
        while inotify_watches(self.tool.proc.pid) <= watches:
            if time.monotonic() > end:
                self.fail("the folder was not watched while the output stalled\n" +
                          summary(self.tool))
            time.sleep(0.01)
        self.assertTrue(blocked_in_write(self.tool), "the stall ended early\n" + summary(self.tool))
        inside = os.path.join(folder, "inside")
        open(inside, "w").close()
        self.expect_line("SHCNE_MKDIR", folder)
        self.expect_line("SHCNE_CREATE", inside)


class LostReaderTest(unittest.TestCase):
    def run_without_reader(self, inherit_ignored_sigpipe):
        tmp = tempfile.TemporaryDirectory(prefix="orvane-e2e-")
        self.addCleanup(tmp.cleanup)
        root = os.path.realpath(tmp.name)
        # Python ignores SIGPIPE itself; without restore_signals the child
        # inherits that, as under many daemons and language runtimes.
        tool = Orvane(root, restore_signals=not inherit_ignored_sigpipe)
        self.addCleanup(tool.stop)
        self.assertTrue(tool.arm(root), summary(tool))
        tool.proc.stdout.close()
        tool.proc.stdout = None
        for i in range(100):
            if tool.proc.poll() is not None:
                break
            open(os.path.join(root, "f%d" % i), "w").close()
            time.sleep(0.02)
        try:
            tool.proc.wait(DEADLINE)
        except subprocess.TimeoutExpired:
            self.fail("the tool runs on without a reader")
        tool.err += tool.proc.stderr.read()
        return tool.proc.returncode, tool.err.decode("utf-8", "replace")

    def test_a_reader_that_left_ends_the_tool_as_a_filter(self):
        status, err = self.run_without_reader(inherit_ignored_sigpipe=False)
        self.assertEqual(status, -signal.SIGPIPE, err)

    def test_with_sigpipe_ignored_it_ends_with_status_1_and_one_line(self):
        status, err = self.run_without_reader(inherit_ignored_sigpipe=True)
        self.assertEqual(status, 1, err)
        self.assertEqual(err.count("\n"), 1, err)
        self.assertIn("standard output", err)


class WriteErrorTest(unittest.TestCase):
    def test_a_failing_write_is_told_once_and_the_tool_goes_on(self):
        tmp = tempfile.TemporaryDirectory(prefix="orvane-e2e-")
        self.addCleanup(tmp.cleanup)
        root = os.path.realpath(tmp.name)
        with open("/dev/full", "wb") as full:
            proc = subprocess.Popen([ORVANE, root], stdin=subprocess.DEVNULL, stdout=full,
                                    stderr=subprocess.PIPE)
        self.addCleanup(proc.stderr.close)
        self.addCleanup(proc.wait)
        self.addCleanup(proc.send_signal, signal.SIGINT)
        err = b""
        end = time.monotonic() + DEADLINE
        i = 0
        while b"\n" not in err and time.monotonic() < end:
            i += 1
            open(os.path.join(root, "f%d" % i), "w").close()
            if select.select([proc.stderr], [], [], 0.05)[0]:
                err += os.read(proc.stderr.fileno(), 4096)
        for j in range(20):
            open(os.path.join(root, "g%d" % j), "w").close()
        end = time.monotonic() + 1.0
        while time.monotonic() < end:
            if select.select([proc.stderr], [], [], 0.1)[0]:
                err += os.read(proc.stderr.fileno(), 4096)
        text = err.decode("utf-8", "replace")
        self.assertEqual(text.count("\n"), 1, text)
        self.assertIn("No space left on device", text)
        self.assertIsNone(proc.poll(), "the tool ended: %s" % text)


class EscapingTest(OrvaneTestCase):
    def test_every_name_prints_on_one_line_and_reads_back_to_its_bytes(self):
        rows = [
            ("newline", b"a\nb", "a\\012b"),
            ("the four characters of an escape", b"a\\012b", "a\\134012b"),
            ("backslash", b"back\\slash", "back\\134slash"),
            ("C1 CSI, a terminal's escape", b"csi\xc2\x9b31m", "csi\\302\\23331m"),
            ("quotes stay raw", b"it's", "it's"),
            ("not utf-8", b"raw\xff", "raw\udcff"),
            ("utf-8", "\u00e9t\u00e9".encode(), "\u00e9t\u00e9"),
        ]
        root = os.fsencode(self.root)
        for name, raw, shown in rows:
            with self.subTest(name):
                open(os.path.join(root, raw), "w").close()
                self.expect_only(line("SHCNE_CREATE", self.path(shown)))
                self.assertEqual(unescape(self.path(shown)), os.path.join(root, raw))


def make_chain(root, total_length):
    """A chain of folders with 250-byte names whose deepest folder's path is
    total_length bytes long; returns that path. Made by descriptors, since it
    is longer than the kernel takes in one path."""
    path = root
    fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    try:
        while len(path) < total_length:
            # Each step adds a slash and the name; the last step keeps at
            # least one byte for its name.
            room = total_length - len(path)
            name = "c" * (room - 1 if room <= 251 else min(250, room - 3))
            os.mkdir(name, dir_fd=fd)
            nxt = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = nxt
            path = path + "/" + name
        return path, os.dup(fd)
    finally:
        os.close(fd)


class LongPathTest(OrvaneTestCase):
    def expect_path_line(self, event, path):
        """As expect_line, but a failure shows only the ends of long lines."""
        if not self.tool.wait_line(line(event, path)):
            short = [l if len(l) < 200 else l[:80] + "..." + l[-80:] for l in self.tool.lines[-10:]]
            self.fail("missing %s of a path of %d bytes; last lines:\n%s\nstderr: %s" % (
                event, len(path), "\n".join(short), self.tool.err[-300:]))

    def test_paths_up_to_32767_bytes_print_whole(self):
        for length in (5000, 30000):
            with self.subTest(length):
                top = self.path("l%d" % length)
                os.mkdir(top)
                folder, fd = make_chain(top, length - 2)
                os.mknod("f", dir_fd=fd)
                os.close(fd)
                self.expect_path_line("SHCNE_CREATE", folder + "/f")
                self.assertEqual(len(folder + "/f"), length)
        self.assertEqual([l for l in self.tool.lines if "(''," in l], [])
        self.assertEqual(self.tool.err, b"")

    def test_a_longer_path_is_left_out_and_told_once_per_folder(self):
        top = self.path("long")
        os.mkdir(top)
        folder, fd = make_chain(top, 32700)
        self.expect_path_line("SHCNE_MKDIR", folder)
        names = ["x" * 200 + str(i) for i in range(3)]
        for name in names:
            os.mknod(name, dir_fd=fd)
        os.mknod("short", dir_fd=fd)
        os.close(fd)
        self.expect_path_line("SHCNE_CREATE", folder + "/short")
        self.tool.settle()
        for text in self.tool.lines:
            self.assertNotIn("('',", text, "an empty path was printed")
            self.assertNotIn("xxxxxxxxxx", text)
        err = self.tool.err.decode("utf-8", "surrogateescape")
        self.assertEqual(err.count("\n"), 1, err[:300] + "..." + err[-300:])
        self.assertIn("longer than 32767 bytes", err)
        self.assertIn(folder, err)


class OwnOutputTest(unittest.TestCase):
    def test_output_redirected_into_the_watched_folder_stays_quiet(self):
        tmp = tempfile.TemporaryDirectory(prefix="orvane-e2e-")
        self.addCleanup(tmp.cleanup)
        root = os.path.realpath(tmp.name)
        log_path = os.path.join(root, "changes.log")
        with open(log_path, "wb") as log:
            proc = subprocess.Popen([ORVANE, root], stdin=subprocess.DEVNULL, stdout=log,
                                    stderr=subprocess.PIPE)
        self.addCleanup(proc.wait)
        self.addCleanup(proc.send_signal, signal.SIGINT)

        def log_lines():
            with open(log_path, "rb") as log:
                return log.read().decode("utf-8", "surrogateescape").splitlines()

        def wait_for(text, timeout=DEADLINE):
            end = time.monotonic() + timeout
            while time.monotonic() < end:
                if text in log_lines():
                    return True
                time.sleep(0.02)
            return False

        for attempt in range(200):
            probe = os.path.join(root, "probe%d" % attempt)
            open(probe, "w").close()
            if wait_for(line("SHCNE_CREATE", probe), 0.2):
                break
        else:
            self.fail("never armed: %s" % log_lines())
        os.chmod(log_path, 0o640)
        self.assertTrue(wait_for(line("SHCNE_ATTRIBUTES", log_path)),
                        "its attributes still count: %s" % log_lines())
        time.sleep(2.5)
        own = [l for l in log_lines() if "changes.log" in l and "ATTRIBUTES" not in l]
        self.assertEqual(own, [], "the tool reported its own output")
        before = os.path.getsize(log_path)
        time.sleep(1.5)
        self.assertEqual(os.path.getsize(log_path), before, log_lines()[-5:])
        self.assertIsNone(proc.poll())


if __name__ == "__main__":
    unittest.main()
