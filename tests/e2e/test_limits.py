"""Odd trees and kernel limits: nothing is lost silently, nothing crashes."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from harness import ORVANE, PROMPT, SOURCE, Orvane, check_fit, line

IS_ROOT = os.geteuid() == 0
WELL_FORMED = re.compile(r"^SHCNE_[A-Z]+\('.*', '.*'\)$")


def set_sysctl(test, name, value):
    """Sets /proc/sys/fs/inotify/<name> for the whole machine, and returns the
    function that puts the old value back. It also runs at the test's cleanup,
    whatever happens, so call it as early as the test allows: other programs
    on the machine share the limit."""
    path = "/proc/sys/fs/inotify/" + name
    with open(path) as f:
        old = f.read().strip()

    def restore():
        with open(path, "w") as f:
            f.write(old)

    test.addCleanup(restore)
    with open(path, "w") as f:
        f.write(str(value))
    return restore


def malformed(lines):
    return [l for l in lines if l != PROMPT and not WELL_FORMED.match(l)]


class TempTreeTest(unittest.TestCase):
    """A fresh directory, and tools started on it by the test itself."""

    def setUp(self):
        tmp = tempfile.TemporaryDirectory(prefix="orvane-limits-")
        self.addCleanup(tmp.cleanup)
        self.root = os.path.realpath(tmp.name)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def start(self, user=None):
        tool = Orvane(self.root, user=user)
        self.addCleanup(tool.stop)
        self.addCleanup(check_fit, self, tool)
        if not tool.arm(self.root):
            self.fail("orvane never armed\n" + tool.dump())
        return tool

    def expect(self, tool, event, path1, path2=""):
        if not tool.wait_line(line(event, path1, path2)):
            self.fail("missing %s\n%s" % (line(event, path1, path2), tool.dump()))


@unittest.skipUnless(IS_ROOT, "needs root to change kernel limits")
class OverflowTest(TempTreeTest):
    def test_overflow_reports_the_root_and_watches_folders_made_meanwhile(self):
        os.makedirs(self.path("renamed", "below"))
        os.makedirs(self.path("removed", "below"))
        if SOURCE == "fanotify":
            # Its queue holds 16384 events, a length the kernel fixes.
            count = 20000
            tool = self.start()
        else:
            # The queue's length is fixed when the tool opens its inotify instance.
            count = 300
            restore = set_sysctl(self, "max_queued_events", 64)
            tool = self.start()
            restore()
        tool.proc.send_signal(signal.SIGSTOP)
        try:
            for i in range(count):
                open(self.path("f%d" % i), "w").close()
            for folder in ("made/meanwhile", "also", "and/this/one"):
                os.makedirs(self.path(folder))
            os.rename(self.path("renamed"), self.path("moved"))
            subprocess.run(["rm", "-r", self.path("removed")], check=True)
        finally:
            tool.proc.send_signal(signal.SIGCONT)
        self.expect(tool, "SHCNE_UPDATEDIR", self.root)
        late = [self.path("made", "meanwhile", "late"), self.path("also", "late"),
                self.path("and", "this", "one", "late"), self.path("moved", "below", "late")]
        for path in late:
            open(path, "w").close()
        for path in late:
            self.expect(tool, "SHCNE_CREATE", path)
        tool.settle()
        self.assertEqual(tool.lines.count(line("SHCNE_UPDATEDIR", self.root)), 1, tool.dump())
        self.assertEqual(malformed(tool.lines), [], tool.dump())


    def test_files_made_while_the_overflow_waits_to_be_read_are_told_without_a_hole(self):
        # The kernel queues one overflow event for a full queue, and drops
        # what comes while that event still waits without a sign. The queue
        # is filled past its end while the tool is stopped; then files are
        # made one after another while the tool, stopped now and then, reads
        # its way towards that event. Between two overflow lines, the files
        # told must be one run in the order they were made.
        wide = "w" * 190  # large events, so the queue takes many reads
        if os.path.isdir("/dev/shm"):
            # A file system on which files are made faster than read.
            shm = tempfile.TemporaryDirectory(prefix="orvane-limits-", dir="/dev/shm")
            self.addCleanup(shm.cleanup)
            self.root = os.path.realpath(shm.name)
        if SOURCE == "fanotify":
            before, during = 16600, 30000  # its queue holds 16384 events
            tool = self.start()
        else:
            before, during = 20200, 30000
            restore = set_sysctl(self, "max_queued_events", 20000)
            tool = self.start()
            restore()
        make = ("import os, sys\n"
                "for i in range(int(sys.argv[2]), int(sys.argv[3])):\n"
                "    os.mknod(sys.argv[1] % i)\n")
        pattern = self.path(wide + "%06d")
        tool.proc.send_signal(signal.SIGSTOP)
        try:
            subprocess.run([sys.executable, "-c", make, pattern, "0", str(before)], check=True)
            # A process of its own, so that it makes files at full speed.
            writer = subprocess.Popen([sys.executable, "-c", make, pattern, str(before),
                                       str(before + during)])
            while writer.poll() is None:
                tool.proc.send_signal(signal.SIGCONT)
                time.sleep(0.0003)
                tool.proc.send_signal(signal.SIGSTOP)
                tool.wait_for(lambda lines: False, 0.01)
        finally:
            tool.proc.send_signal(signal.SIGCONT)
        self.assertEqual(writer.wait(), 0)
        self.expect(tool, "SHCNE_UPDATEDIR", self.root)
        tool.settle()
        runs, told = [], []
        for text in tool.lines:
            if text == line("SHCNE_UPDATEDIR", self.root):
                runs.append(told)
                told = []
            elif wide in text:
                told.append(int(re.search(wide + r"(\d+)", text).group(1)))
        runs.append(told)
        for run in runs:
            holes = [(a, b) for a, b in zip(run, run[1:]) if b != a + 1]
            self.assertEqual(holes[:5], [], "%d runs, lengths %s\n%s" % (
                len(runs), [len(r) for r in runs], "\n".join(tool.lines[-30:])))
        self.assertEqual(malformed(tool.lines), [], tool.dump())


def nobody_can_run_the_tool():
    check = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "test", "-x"]
    return IS_ROOT and subprocess.run(check + [ORVANE]).returncode == 0


@unittest.skipUnless(nobody_can_run_the_tool(), "needs root, and a binary that user nobody can run")
class UnprivilegedTest(TempTreeTest):
    def setUp(self):
        super().setUp()
        os.chmod(self.root, 0o777)

    def test_the_watch_limit_is_told_once_and_the_rest_keeps_working(self):
        for i in range(40):
            os.makedirs(self.path("d%d" % i, "e"))
        # Watches are counted per user: the tool runs as one that has none,
        # and the limit is back once the tool has walked the tree.
        restore = set_sysctl(self, "max_user_watches", 10)
        tool = self.start(user="nobody")
        restore()
        told = [l for l in tool.err.decode().splitlines() if "fs.inotify.max_user_watches" in l]
        self.assertEqual(len(told), 1, tool.dump())
        open(self.path("top"), "w").close()
        self.expect(tool, "SHCNE_CREATE", self.path("top"))

    def test_unreadable_folders_are_skipped_with_a_message(self):
        os.mkdir(self.path("closed"), 0o000)
        os.mkdir(self.path("open"), 0o777)
        tool = self.start(user="nobody")
        told = [l for l in tool.err.decode().splitlines() if self.path("closed") in l]
        self.assertEqual(len(told), 1, tool.dump())
        inside = self.path("open", "f")
        open(inside, "w").close()
        self.expect(tool, "SHCNE_CREATE", inside)
        # Opened up later: watched from then on, and told as to be listed.
        os.chmod(self.path("closed"), 0o755)
        self.expect(tool, "SHCNE_UPDATEDIR", self.path("closed"))
        inside = self.path("closed", "g")
        open(inside, "w").close()
        self.expect(tool, "SHCNE_CREATE", inside)


class SymbolicLinksTest(TempTreeTest):
    def test_symbolic_links_are_never_followed(self):
        outside = tempfile.TemporaryDirectory(prefix="orvane-linked-")
        self.addCleanup(outside.cleanup)
        os.symlink("..", self.path("loop"))
        os.symlink("/", self.path("slash"))
        os.symlink(outside.name, self.path("away"))
        tool = self.start()
        os.symlink(outside.name, self.path("later"))
        self.expect(tool, "SHCNE_CREATE", self.path("later"))
        # Made through the links; the file is outside the tree either way.
        open(self.path("away", "not-ours"), "w").close()
        open(os.path.join(self.path("slash"), outside.name.lstrip("/"), "via-root"), "w").close()
        open(self.path("later", "via-later"), "w").close()
        open(self.path("ours"), "w").close()
        self.expect(tool, "SHCNE_CREATE", self.path("ours"))
        tool.settle()
        self.assertEqual(tool.new_lines(), [line("SHCNE_CREATE", self.path("later")),
                                            line("SHCNE_CREATE", self.path("ours"))], tool.dump())


@unittest.skipUnless(IS_ROOT, "mounting needs root")
class MountsTest(TempTreeTest):
    def mount_tmpfs(self, *parts):
        where = self.path(*parts)
        os.makedirs(where, exist_ok=True)
        if subprocess.run(["mount", "-t", "tmpfs", "none", where]).returncode != 0:
            self.skipTest("cannot mount a tmpfs here")
        self.addCleanup(subprocess.run, ["umount", "-l", where], stderr=subprocess.DEVNULL)

    def test_a_file_system_mounted_below_the_root_is_watched(self):
        self.mount_tmpfs("m")
        os.mkdir(self.path("m", "d"))
        tool = self.start()
        for path in (self.path("m", "inside"), self.path("m", "d", "deeper")):
            open(path, "w").close()
            self.expect(tool, "SHCNE_CREATE", path)


@unittest.skipUnless(IS_ROOT and shutil.which("unshare") and shutil.which("nsenter"),
                     "needs root, unshare and nsenter")
class PrivateNamespaceTest(TempTreeTest):
    """The tool runs in a mount namespace of its own, so the mounts made in
    it touch no one else and go with it."""

    def start_in_namespace(self):
        tool = Orvane(self.root, prefix=["unshare", "-m", "--propagation", "private"])
        self.addCleanup(tool.stop)
        self.addCleanup(check_fit, self, tool)
        if not tool.arm(self.root):
            self.fail("orvane never armed\n" + tool.dump())
        tool.forget()
        self.enter = ["nsenter", "-t", str(tool.proc.pid), "-m"]
        return tool

    def mount(self, *args):
        subprocess.run(self.enter + ["mount", *args], check=True)

    def umount(self, where):
        subprocess.run(self.enter + ["umount", where], check=True)

    def make_file(self, path):
        subprocess.run(self.enter + ["touch", path], check=True)

    def test_a_tmpfs_mounted_and_unmounted_gives_two_drive_lines(self):
        point = self.path("drive")
        os.mkdir(point)
        tool = self.start_in_namespace()
        self.mount("-t", "tmpfs", "none", point)
        self.expect(tool, "SHCNE_DRIVEADD", point)
        self.make_file(os.path.join(point, "inside"))
        self.expect(tool, "SHCNE_CREATE", os.path.join(point, "inside"))
        self.umount(point)
        self.expect(tool, "SHCNE_DRIVEREMOVED", point)
        tool.settle()
        self.assertEqual(tool.lines, [line("SHCNE_DRIVEADD", point),
                                      line("SHCNE_CREATE", os.path.join(point, "inside")),
                                      line("SHCNE_DRIVEREMOVED", point)], tool.dump())

    def test_a_file_system_that_takes_no_fanotify_mark_is_watched_all_the_same(self):
        point = self.path("ram")
        os.mkdir(point)
        tool = self.start_in_namespace()
        self.mount("-t", "ramfs", "none", point)
        self.expect(tool, "SHCNE_DRIVEADD", point)
        self.make_file(os.path.join(point, "inside"))
        self.expect(tool, "SHCNE_CREATE", os.path.join(point, "inside"))
        self.umount(point)
        self.expect(tool, "SHCNE_DRIVEREMOVED", point)
        tool.settle()
        self.assertEqual(tool.lines.count(line("SHCNE_DRIVEREMOVED", point)), 1, tool.dump())
        if SOURCE == "fanotify":
            self.assertIn(point, tool.err.decode(), tool.dump())

    def test_each_kind_of_mount_gives_the_drive_lines_that_describe_it(self):
        m, moved, src, bound = self.path("m"), self.path("to", "moved"), self.path("src"), self.path("b")
        for folder in (m, moved, src, bound):
            os.makedirs(folder)
        tool = self.start_in_namespace()
        # Each step shows other contents at a folder, which inotify does not
        # tell: the drive lines come once what is there is watched, so a file
        # made right after them is told.
        rows = [
            ("mounted", lambda: self.mount("-t", "tmpfs", "none", m), [("SHCNE_DRIVEADD", m)], m),
            ("mounted on that mount", lambda: self.mount("-t", "tmpfs", "none", m),
             [("SHCNE_DRIVEADD", m)], m),
            ("top one unmounted", lambda: self.umount(m), [("SHCNE_DRIVEREMOVED", m)], m),
            ("moved", lambda: self.mount("--move", m, moved),
             [("SHCNE_DRIVEREMOVED", m), ("SHCNE_DRIVEADD", moved)], moved),
            ("bound", lambda: self.mount("--bind", src, bound), [("SHCNE_DRIVEADD", bound)], bound),
            ("unbound", lambda: self.umount(bound), [("SHCNE_DRIVEREMOVED", bound)], bound),
            ("mounted on the root", lambda: self.mount("-t", "tmpfs", "none", self.root),
             [("SHCNE_DRIVEADD", self.root)], self.root),
            ("root unmounted", lambda: self.umount(self.root),
             [("SHCNE_DRIVEREMOVED", self.root)], self.root),
        ]
        for number, (name, step, expected, folder) in enumerate(rows):
            with self.subTest(name):
                tool.settle()
                tool.new_lines()
                step()
                wanted = [line(event, path) for event, path in expected]
                if not tool.wait_for(lambda lines: all(w in lines[tool._seen:] for w in wanted)):
                    self.fail("missing %s\n%s" % (wanted, tool.dump()))
                probe = os.path.join(folder, "probe-%d" % number)
                self.make_file(probe)
                self.expect(tool, "SHCNE_CREATE", probe)
                tool.settle()
                fresh = [l for l in tool.new_lines() if "probe-" not in l]
                self.assertEqual(sorted(fresh), sorted(wanted), tool.dump())


class LongPathsTest(TempTreeTest):
    def deep_tree(self):
        """Folders 200 bytes a name, more than PATH_MAX deep; the deepest open."""
        name = "d" * 200
        fd = os.open(self.root, os.O_RDONLY)
        self.addCleanup(subprocess.run, ["rm", "-rf", self.path(name)])
        depth = 0
        while depth * 201 < 5000:
            os.mkdir(name, dir_fd=fd)
            child = os.open(name, os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = child
            depth += 1
        self.addCleanup(os.close, fd)
        return fd

    def check(self, tool):
        open(self.path("top"), "w").close()
        self.expect(tool, "SHCNE_CREATE", self.path("top"))
        tool.settle()
        self.assertIsNone(tool.proc.poll(), tool.dump())
        self.assertEqual(malformed(tool.lines), [], tool.dump())
        os.unlink(self.path("top"))

    def test_paths_made_longer_than_path_max_while_watching(self):
        tool = self.start()
        deepest = self.deep_tree()
        os.close(os.open("deep-file", os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=deepest))
        self.check(tool)

    def test_a_tree_deeper_than_path_max_when_the_tool_starts(self):
        deepest = self.deep_tree()
        tool = self.start()
        os.mkdir("new-folder", dir_fd=deepest)
        os.close(os.open("new-file", os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=deepest))
        os.rename("new-file", "renamed", src_dir_fd=deepest, dst_dir_fd=deepest)
        self.check(tool)


PSEUDO_FILE_SYSTEMS = {"proc", "sysfs", "cgroup", "cgroup2", "devpts", "debugfs", "tracefs"}


def watched_file_system_types(pid):
    """The types of the file systems that process pid holds inotify watches on."""
    types = {}
    with open("/proc/self/mountinfo") as mounts:
        for entry in mounts:
            fields = entry.split()
            types[fields[2]] = fields[fields.index("-") + 1]
    found = set()
    fdinfo = "/proc/%d/fdinfo" % pid
    for fd in os.listdir(fdinfo):
        try:
            with open(os.path.join(fdinfo, fd)) as f:
                text = f.read()
        except OSError:
            continue
        for watch in re.findall(r"^inotify wd:.* sdev:([0-9a-f]+)", text, re.M):
            # The kernel's own device number: 12 bits of major, 20 of minor.
            device = int(watch, 16)
            found.add(types.get("%d:%d" % (device >> 20, device & 0xFFFFF), "?"))
    return found


class WholeSystemTest(unittest.TestCase):
    def test_no_argument_watches_everything(self):
        tmp = tempfile.TemporaryDirectory(prefix="orvane-everything-")
        self.addCleanup(tmp.cleanup)
        here = os.path.realpath(tmp.name)
        os.chmod(here, 0o755)
        # Watches are counted per user, and other watchers that run as root
        # on this machine may hold most of root's: run as a user that holds
        # none where that is possible.
        # The fanotify source needs root's privilege, and takes no watches.
        unprivileged = nobody_can_run_the_tool() and SOURCE != "fanotify"
        tool = Orvane(user="nobody" if unprivileged else None)
        self.addCleanup(tool.stop)
        self.addCleanup(check_fit, self, tool)
        end = time.monotonic() + 120
        while not tool.arm(here, timeout=5):
            if tool.proc.poll() is not None:
                self.fail("orvane ended\n" + tool.dump())
            if time.monotonic() > end or b"max_user_watches" in tool.err:
                self.skipTest("%s was not watched within 120 s or within the watch limit\n%s" %
                              (here, tool.dump()))
        path = os.path.join(here, "anywhere")
        open(path, "w").close()
        self.assertTrue(tool.wait_line(line("SHCNE_CREATE", path)), tool.dump())
        watched = watched_file_system_types(tool.proc.pid)
        self.assertEqual(watched & PSEUDO_FILE_SYSTEMS, set(), "watched: %s" % sorted(watched))
