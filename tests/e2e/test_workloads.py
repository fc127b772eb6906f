"""Real programs write into the watched folder, and the lines must replay to
the tree they leave: on ext4 and on tmpfs, each also with the tool stopped
(SIGSTOP) for part of the run and let go again (SIGCONT).

The set of workloads is shared: another change source runs them against its
own binary, given by the ORVANE environment variable."""

import ctypes
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from harness import Orvane, check_fit
from replay import Oracle

RESULTS = []  # (file system, workload, stopped, lines, seconds, differences, contradictions)

GIT_ENV = dict(os.environ, GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@t", GIT_COMMITTER_NAME="t",
               GIT_COMMITTER_EMAIL="t@t", GIT_CONFIG_NOSYSTEM="1", HOME="/nonexistent")


def sh(script, cwd):
    subprocess.run(["sh", "-ec", script], cwd=cwd, check=True, env=GIT_ENV,
                   stdout=subprocess.DEVNULL)


def fill(top, folders, files, size=0):
    """Makes folders d0..dN below top, with files f0..fM in each."""
    data = b"x" * size
    for i in range(folders):
        folder = os.path.join(top, "d%d" % i)
        os.makedirs(folder, exist_ok=True)
        for j in range(files):
            with open(os.path.join(folder, "f%d" % j), "wb") as out:
                out.write(data)


def exchange(a, b):
    """renameat2(RENAME_EXCHANGE): a and b trade places in one step."""
    libc = ctypes.CDLL(None, use_errno=True)
    at_fdcwd, rename_exchange = -100, 2
    if libc.renameat2(at_fdcwd, os.fsencode(a), at_fdcwd, os.fsencode(b), rename_exchange) != 0:
        raise OSError(ctypes.get_errno(), "renameat2", a)


def fs_type(path):
    return subprocess.run(["stat", "-f", "-c", "%T", path], capture_output=True,
                          text=True).stdout.strip()


def can_mount():
    return os.geteuid() == 0 and shutil.which("mount") is not None


# Each workload: prepare(root, outside) before the watch is armed, then its
# steps, each step(root, outside). With the tool stopped, it is stopped
# before the first step and let go after the step `resume` names (by
# default the middle one).

def git_prepare(root, out):
    src = os.path.join(out, "src")
    os.mkdir(src)
    sh("git init -q -b main .", src)
    for commit in range(5):
        fill(os.path.join(src, "c%d" % commit), 6, 10, 20)
        if commit:
            shutil.rmtree(os.path.join(src, "c%d" % (commit - 1), "d0"))
            os.rename(os.path.join(src, "c0", "d%d" % commit), os.path.join(src, "c0", "m%d" % commit))
        sh("git add -A && git commit -q -m c%d" % commit, src)


GIT = (git_prepare, [
    lambda root, out: sh("git clone -q '%s/src' clone" % out, root),
    lambda root, out: sh("git checkout -q HEAD~3", os.path.join(root, "clone")),
    lambda root, out: sh("git checkout -q main", os.path.join(root, "clone")),
    lambda root, out: sh("git gc -q", os.path.join(root, "clone")),
])


def deb_prepare(root, out):
    pkg = os.path.join(out, "pkg")
    os.makedirs(os.path.join(pkg, "DEBIAN"))
    with open(os.path.join(pkg, "DEBIAN", "control"), "w") as control:
        control.write("Package: orvane-workload\nVersion: 1.0\nArchitecture: all\n"
                      "Maintainer: t <t@t>\nDescription: test\n")
    fill(os.path.join(pkg, "usr", "share", "orvane-workload"), 30, 20, 10)
    os.symlink("share/orvane-workload/d0/f0", os.path.join(pkg, "usr", "link"))
    subprocess.run(["dpkg-deb", "--root-owner-group", "-Zgzip", "-b", pkg, os.path.join(out, "p.deb")],
                   check=True, stdout=subprocess.DEVNULL)


DEB = (deb_prepare, [lambda root, out: subprocess.run(
    ["dpkg-deb", "-x", os.path.join(out, "p.deb"), os.path.join(root, "x")], check=True)])


def tar_prepare(root, out):
    tree = os.path.join(out, "tree")
    for top in range(10):
        fill(os.path.join(tree, "t%d" % top, "a", "b"), 20, 20)
    sh("tar cf ../t.tar .", tree)


TAR = (tar_prepare, [lambda root, out: sh("tar xf '%s/t.tar'" % out, root)])


def rsync_prepare(root, out):
    fill(os.path.join(out, "src"), 20, 30, 100)


def rsync_change(root, out):
    src = os.path.join(out, "src")
    shutil.rmtree(os.path.join(src, "d3"))
    os.rename(os.path.join(src, "d4"), os.path.join(src, "d4moved"))
    fill(os.path.join(src, "new"), 5, 10, 5)
    for j in range(10):
        with open(os.path.join(src, "d5", "f%d" % j), "ab") as f:
            f.write(b"more")


RSYNC = (rsync_prepare, [
    lambda root, out: sh("rsync -a '%s/src/' dst/" % out, root),
    rsync_change,
    lambda root, out: sh("rsync -a --delete '%s/src/' dst/" % out, root),
])


def mv_prepare(root, out):
    fill(root, 4, 25)


MV_OVER = (mv_prepare, [lambda root, out: sh(
    "for d in d0 d1 d2 d3; do for i in $(seq 0 24); do echo new > $d/.f$i.tmp; "
    "mv $d/.f$i.tmp $d/f$i; done; done", root)])


def dpkg_pattern_make(root, out):
    top = os.path.join(root, "usr")
    for i in range(300):
        os.mkdir(os.path.join(top, "p%d.new" % i))
    for i in range(300):
        os.rename(os.path.join(top, "p%d.new" % i), os.path.join(top, "p%d" % i))


def dpkg_pattern_fill(root, out):
    for i in range(300):
        folder = os.path.join(root, "usr", "p%d" % i)
        os.mkdir(os.path.join(folder, "sub"))
        for j in range(10):
            open(os.path.join(folder, "f%d" % j), "w").close()
        open(os.path.join(folder, "sub", "g"), "w").close()


DPKG_PATTERN = (lambda root, out: os.mkdir(os.path.join(root, "usr")), [
    dpkg_pattern_make, dpkg_pattern_fill,
    lambda root, out: sh("for i in $(seq 0 299); do touch usr/p$i/later; done", root),
])


def racing_prepare(root, out):
    for i in range(200):
        open(os.path.join(root, "m%d" % i), "w").close()


def spin(microseconds):
    end = time.perf_counter() + microseconds / 1e6
    while time.perf_counter() < end:
        pass


def racing_loops(root, out):
    """Changes in a new folder while the tool lists it. The steps follow one
    another in one process, with pauses of many lengths, so that the
    listing falls at every point of each round now and then."""
    p = lambda *parts: os.path.join(root, *parts)
    # Folders filled fast enough that the listing meets renames and
    # deletions of entries made both before and after the folder's watch.
    for k in range(6):
        os.mkdir(p("big%d" % k))
        for j in range(400):
            open(p("big%d" % k, "e%d.tmp" % j), "w").close()
        for j in range(400):
            os.rename(p("big%d" % k, "e%d.tmp" % j), p("big%d" % k, "e%d" % j))
        for j in range(0, 400, 3):
            os.unlink(p("big%d" % k, "e%d" % j))
    for i in range(200):
        pause = (i % 25) * 8
        os.mkdir(p("r%d" % i))
        spin(pause)
        with open(p("r%d" % i, "f.tmp"), "w") as f:
            f.write("x")
        os.rename(p("r%d" % i, "f.tmp"), p("r%d" % i, "f"))
        os.mkdir(p("s%d" % i))
        spin(pause)
        os.mkdir(p("s%d" % i, "t.tmp"))
        os.rename(p("s%d" % i, "t.tmp"), p("s%d" % i, "t"))
        os.mkdir(p("u%d" % i))
        spin(pause)
        open(p("u%d" % i, "x"), "w").close()
        os.unlink(p("u%d" % i, "x"))
        os.mkdir(p("n%d" % i))
        spin(pause)
        os.rename(p("m%d" % i), p("n%d" % i, "m"))


RACING = (racing_prepare, [racing_loops, lambda root, out: sh(
    "for i in $(seq 0 99); do mkdir v$i; touch v$i/a; mv v$i/a v$i/b; rm v$i/b; done", root)])


def renames_while_listed(root, out, tool):
    """A folder of many entries, made while the tool is stopped, is listed
    when it goes on; its entries are renamed meanwhile, so the listing meets
    some under their old names and some under their new ones."""
    big = os.path.join(root, "big")
    tool.proc.send_signal(signal.SIGSTOP)
    try:
        os.mkdir(big)
        for j in range(20000):
            open(os.path.join(big, "f%d" % j), "w").close()
    finally:
        tool.proc.send_signal(signal.SIGCONT)
    for j in range(20000):
        os.rename(os.path.join(big, "f%d" % j), os.path.join(big, "g%d" % j))
    for j in range(0, 20000, 2):
        os.unlink(os.path.join(big, "g%d" % j))


LISTED = (lambda root, out: None, [renames_while_listed])


def rm_prepare(root, out):
    fill(os.path.join(root, "big"), 100, 500)


RM_RF = (rm_prepare, [lambda root, out: sh("rm -rf big", root)])


def exchange_prepare(root, out):
    for name in ("a", "b", "c", "e"):
        fill(os.path.join(root, name), 2, 3)
    for name in ("fa", "fb"):
        open(os.path.join(root, name), "w").close()


def exchange_steps(root, out):
    p = lambda *parts: os.path.join(root, *parts)
    exchange(p("a"), p("b"))
    exchange(p("fa"), p("fb"))
    exchange(p("a", "d0"), p("b", "d1"))
    # Out of the tree and straight back, then another folder moved into it.
    os.rename(p("c"), os.path.join(out, "c"))
    os.rename(os.path.join(out, "c"), p("c"))
    os.rename(p("e"), p("c", "e"))


def exchange_after(root, out):
    for folder in ("a", "b", "a/d1", "b/d0", "c", "c/e", "c/e/d0"):
        open(os.path.join(root, folder, "in_" + folder.replace("/", "_")), "w").close()


def bind_prepare(root, out):
    fill(os.path.join(root, "a"), 2, 2)
    os.mkdir(os.path.join(root, "b"))


def bind_steps(root, out):
    p = lambda *parts: os.path.join(root, *parts)
    subprocess.run(["mount", "--bind", p("a"), p("b")], check=True)
    try:
        open(p("a", "x"), "w").close()
        os.mkdir(p("a", "y"))
        time.sleep(0.2)  # the mount table is read on its own change; give the unmount its own
    finally:
        subprocess.run(["umount", p("b")], check=True)


def bind_after(root, out):
    open(os.path.join(root, "a", "after"), "w").close()
    open(os.path.join(root, "a", "y", "after"), "w").close()


EXCHANGE = (exchange_prepare, [exchange_steps, exchange_after])
BIND = (bind_prepare, [bind_steps, bind_after])


class Workloads:
    """The workloads; a subclass says on which file system (self.base) they run."""

    base = None

    def run_workload(self, name, workload, resume=None, stops=(False, True)):
        prepare, steps = workload
        for stopped in stops:
            with self.subTest(stopped=stopped):
                self.run_once(name, prepare, steps, stopped,
                              (len(steps) - 1) // 2 if resume is None else resume)

    def run_once(self, name, prepare, steps, stopped, resume):
        top = tempfile.mkdtemp(prefix="orvane-load-", dir=self.base)
        self.addCleanup(shutil.rmtree, top, True)
        root, out = os.path.join(top, "root"), os.path.join(top, "out")
        os.mkdir(root)
        os.mkdir(out)
        prepare(root, out)
        tool = Orvane(root)
        self.addCleanup(tool.stop)
        if not tool.arm(root, timeout=30):
            self.fail("orvane never armed\n" + tool.dump())
        oracle = Oracle(tool, root)
        start = time.monotonic()
        failure = []

        def act():
            try:
                for index, step in enumerate(steps):
                    if stopped and index == 0:
                        tool.proc.send_signal(signal.SIGSTOP)
                    try:
                        if step.__code__.co_argcount == 3:
                            step(root, out, tool)
                        else:
                            step(root, out)
                    finally:
                        if stopped and index == resume:
                            tool.proc.send_signal(signal.SIGCONT)
            except Exception as error:  # reported on the test's own thread
                failure.append(error)
                tool.proc.send_signal(signal.SIGCONT)

        worker = threading.Thread(target=act)
        worker.start()
        while worker.is_alive():
            oracle.pump(0.1)
        worker.join()
        if failure:
            raise failure[0]
        diffs, contradictions = oracle.settle()
        seconds = time.monotonic() - start
        RESULTS.append((self.fs, name, stopped, oracle.replay.count, seconds, len(diffs),
                        len(contradictions)))
        check_fit(self, tool)
        report = "differences:\n  %s\ncontradictions:\n  %s\n%s" % (
            "\n  ".join(diffs), "\n  ".join(contradictions[:20]), tail(tool))
        self.assertEqual((diffs, contradictions[:20]), ([], []), report)
        tool.stop()

    def test_git_clone_checkout_gc(self):
        self.run_workload("git clone, checkout, gc", GIT)

    def test_dpkg_deb_extract(self):
        self.run_workload("dpkg-deb -x", DEB)

    def test_tar_extract(self):
        self.run_workload("tar x", TAR)

    def test_rsync_and_rsync_delete(self):
        self.run_workload("rsync -a, --delete", RSYNC)

    def test_mv_of_a_temporary_file_over_an_existing_one(self):
        self.run_workload("mv tmp over file", MV_OVER)

    def test_folders_made_as_new_renamed_then_filled(self):
        self.run_workload("dpkg folder pattern", DPKG_PATTERN, resume=1)

    def test_racing_loops_in_new_folders(self):
        self.run_workload("racing loops", RACING)

    def test_renames_in_a_folder_while_it_is_listed(self):
        self.run_workload("renames while listed", LISTED, stops=(True,))

    def test_rm_rf_of_50000_files(self):
        self.run_workload("rm -rf 50,000", RM_RF)

    def test_exchanges_and_a_folder_moved_out_and_back(self):
        self.run_workload("exchange, out and back", EXCHANGE)

    def test_bind_mount_and_unmount(self):
        if not can_mount():
            self.skipTest("mounting needs root")
        self.run_workload("bind mount", BIND)


def tail(tool, count=60):
    return "orvane output (last %d lines):\n%s\norvane stderr:\n%s" % (
        count, "\n".join(tool.lines[-count:]), tool.err.decode("utf-8", "replace")[-2000:])


def disk_base():
    """A folder on ext4 (stat calls it ext2/ext3), or None."""
    for candidate in (tempfile.gettempdir(), "/var/tmp", os.path.dirname(os.path.abspath(__file__))):
        if os.path.isdir(candidate) and fs_type(candidate) == "ext2/ext3":
            return candidate
    return None


class Ext4Workloads(Workloads, unittest.TestCase):
    fs = "ext4"

    @classmethod
    def setUpClass(cls):
        cls.base = disk_base()
        if not cls.base:
            raise unittest.SkipTest("no ext4 folder to write in")


class TmpfsWorkloads(Workloads, unittest.TestCase):
    fs = "tmpfs"

    @classmethod
    def setUpClass(cls):
        if not can_mount():
            raise unittest.SkipTest("mounting a tmpfs needs root")
        cls.base = tempfile.mkdtemp(prefix="orvane-tmpfs-")
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512m", "orvane-e2e", cls.base],
                              capture_output=True, text=True)
        if done.returncode != 0:
            os.rmdir(cls.base)
            raise unittest.SkipTest("cannot mount a tmpfs: " + done.stderr.strip())

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["umount", "-l", cls.base], check=False)
        os.rmdir(cls.base)


def tearDownModule():
    if not RESULTS:
        return
    out = ["", "%-6s %-26s %-8s %8s %8s %6s %6s" % ("fs", "workload", "stopped", "lines", "seconds",
                                                    "diffs", "contra")]
    for fs, name, stopped, lines, seconds, diffs, contra in RESULTS:
        out.append("%-6s %-26s %-8s %8d %8.1f %6d %6d" % (fs, name, "yes" if stopped else "no", lines,
                                                         seconds, diffs, contra))
    sys.stderr.write("\n".join(out) + "\n")


if __name__ == "__main__":
    unittest.main()
