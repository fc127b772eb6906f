"""Odd trees and kernel limits: nothing is lost silently, nothing crashes."""

import os
import re
import signal
import subprocess
import tempfile
import unittest

from harness import ORVANE, PROMPT, Orvane, OrvaneTestCase, line

IS_ROOT = os.geteuid() == 0
WELL_FORMED = re.compile(r"^SHCNE_[A-Z]+\('.*', '.*'\)$")


def set_sysctl(test, name, value):
    """Sets /proc/sys/fs/inotify/<name> for the test and restores it afterwards."""
    path = "/proc/sys/fs/inotify/" + name
    with open(path) as f:
        old = f.read().strip()
    with open(path, "w") as f:
        f.write(str(value))
    test.addCleanup(lambda: open(path, "w").write(old))


@unittest.skipUnless(IS_ROOT, "needs root to change kernel limits")
class OverflowTest(unittest.TestCase):
    def test_overflow_reports_the_root_and_watches_folders_made_meanwhile(self):
        tmp = tempfile.TemporaryDirectory(prefix="orvane-overflow-")
        self.addCleanup(tmp.cleanup)
        root = os.path.realpath(tmp.name)
        set_sysctl(self, "max_queued_events", 64)
        tool = Orvane(root)
        self.addCleanup(tool.stop)
        self.assertTrue(tool.arm(root), tool.dump())
        tool.proc.send_signal(signal.SIGSTOP)
        try:
            for i in range(300):
                open(os.path.join(root, "f%d" % i), "w").close()
            os.makedirs(os.path.join(root, "made", "meanwhile"))
        finally:
            tool.proc.send_signal(signal.SIGCONT)
        self.assertTrue(tool.wait_line(line("SHCNE_UPDATEDIR", root)), tool.dump())
        late = os.path.join(root, "made", "meanwhile", "late")
        open(late, "w").close()
        self.assertTrue(tool.wait_line(line("SHCNE_CREATE", late)), tool.dump())


class OddTreesTest(OrvaneTestCase):
    def test_symbolic_links_are_not_followed(self):
        outside = tempfile.TemporaryDirectory(prefix="orvane-linked-")
        self.addCleanup(outside.cleanup)
        os.symlink("..", self.path("loop"))
        os.symlink(outside.name, self.path("away"))
        self.expect_line("SHCNE_CREATE", self.path("away"))
        open(os.path.join(outside.name, "not-ours"), "w").close()
        open(self.path("ours"), "w").close()
        self.expect_line("SHCNE_CREATE", self.path("ours"))
        self.assertFalse(any("not-ours" in l for l in self.tool.lines), self.tool.dump())

    @unittest.skipUnless(IS_ROOT, "mounting needs root")
    def test_a_file_system_mounted_below_the_root_is_watched(self):
        os.mkdir(self.path("m"))
        self.expect_line("SHCNE_MKDIR", self.path("m"))
        if subprocess.run(["mount", "-t", "tmpfs", "none", self.path("m")]).returncode != 0:
            self.skipTest("cannot mount a tmpfs here")
        self.addCleanup(subprocess.run, ["umount", "-l", self.path("m")])
        # The watch of the folder under the mount point sees the old folder;
        # a tool started now sees the mounted one.
        tool = Orvane(self.root)
        self.addCleanup(tool.stop)
        self.assertTrue(tool.arm(self.root), tool.dump())
        open(self.path("m", "inside"), "w").close()
        self.assertTrue(tool.wait_line(line("SHCNE_CREATE", self.path("m", "inside"))), tool.dump())

    def test_paths_longer_than_path_max_neither_crash_nor_break_lines(self):
        name = "d" * 200
        fd = os.open(self.root, os.O_RDONLY)
        depth = 0
        try:
            while depth * 201 < 5000:
                os.mkdir(name, dir_fd=fd)
                child = os.open(name, os.O_RDONLY, dir_fd=fd)
                os.close(fd)
                fd = child
                depth += 1
            os.close(os.open("deep-file", os.O_CREAT | os.O_WRONLY, dir_fd=fd))
        finally:
            os.close(fd)
        open(self.path("top"), "w").close()
        self.expect_line("SHCNE_CREATE", self.path("top"))
        self.tool.settle()
        self.assertIsNone(self.tool.proc.poll(), self.tool.dump())
        bad = [l for l in self.tool.lines if l != PROMPT and not WELL_FORMED.match(l)]
        self.assertEqual(bad, [], self.tool.dump())
        subprocess.run(["rm", "-rf", self.path(name)], check=True)


def nobody_can_run_the_tool():
    check = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "test", "-x"]
    return IS_ROOT and subprocess.run(check + [ORVANE]).returncode == 0


@unittest.skipUnless(nobody_can_run_the_tool(), "needs root, and a binary that user nobody can run")
class LimitsTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="orvane-limits-")
        self.addCleanup(self.tmp.cleanup)
        self.root = os.path.realpath(self.tmp.name)

    def test_the_watch_limit_is_told_once_and_the_rest_keeps_working(self):
        for i in range(40):
            os.makedirs(os.path.join(self.root, "d%d" % i, "e"))
        # Watches are counted per user; run the tool as one that has none.
        os.chmod(self.root, 0o777)
        set_sysctl(self, "max_user_watches", 10)
        tool = Orvane(self.root, user="nobody")
        self.addCleanup(tool.stop)
        self.assertTrue(tool.arm(self.root), tool.dump())
        err = tool.err.decode()
        self.assertIn("fs.inotify.max_user_watches", err)
        self.assertEqual(err.count("max_user_watches ="), 1, err)

    def test_unreadable_folders_are_skipped_with_a_message(self):
        os.chmod(self.root, 0o777)
        os.mkdir(os.path.join(self.root, "closed"), 0o000)
        os.mkdir(os.path.join(self.root, "open"), 0o777)
        tool = Orvane(self.root, user="nobody")
        self.addCleanup(tool.stop)
        self.assertTrue(tool.arm(self.root), tool.dump())
        self.assertIn(os.path.join(self.root, "closed"), tool.err.decode(), tool.dump())
        inside = os.path.join(self.root, "open", "f")
        open(inside, "w").close()
        self.assertTrue(tool.wait_line(line("SHCNE_CREATE", inside)), tool.dump())


class WholeSystemTest(unittest.TestCase):
    def test_no_argument_watches_everything(self):
        tmp = tempfile.TemporaryDirectory(prefix="orvane-everything-")
        self.addCleanup(tmp.cleanup)
        tool = Orvane()
        self.addCleanup(tool.stop)
        if not tool.arm(os.path.realpath(tmp.name), timeout=120):
            self.skipTest("'/' was not armed within 120 s\n" + tool.dump())
        path = os.path.join(os.path.realpath(tmp.name), "anywhere")
        open(path, "w").close()
        self.assertTrue(tool.wait_line(line("SHCNE_CREATE", path)), tool.dump())
