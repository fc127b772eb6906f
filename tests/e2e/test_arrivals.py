"""Folders that arrive by a move, watches that several folders share, and new
folders listed while changes go on in them: nothing is lost, nothing is told
twice, and every line agrees with the lines before it."""

import os
import signal
import subprocess
import tempfile

from harness import SOURCE, OrvaneTestCase, line
from replay import Replay
from test_workloads import can_mount, exchange


class ArrivalsTest(OrvaneTestCase):
    def sh(self, script):
        subprocess.run(["sh", "-ec", script], cwd=self.root, check=True)

    def outside(self):
        tmp = tempfile.TemporaryDirectory(prefix="orvane-outside-", dir=os.path.dirname(self.root))
        self.addCleanup(tmp.cleanup)
        return tmp.name

    def settled(self):
        self.tool.settle()
        self.tool.new_lines()

    def test_a_folder_renamed_before_its_creation_is_handled_is_watched(self):
        rows = [
            ("renamed", "os.mkdir('a.new'); os.rename('a.new', 'a')", "a.new", "a"),
            ("made, filled and renamed", "os.makedirs('b.new/in'); os.rename('b.new', 'b')",
             "b.new", "b"),
            ("renamed twice", "os.mkdir('c.1'); os.rename('c.1', 'c.2'); os.rename('c.2', 'c')",
             "c.2", "c"),
        ]
        for name, script, last, folder in rows:
            with self.subTest(name):
                subprocess.run(["python3", "-c", "import os; " + script], cwd=self.root,
                               check=True)
                self.expect_line("SHCNE_RENAMEFOLDER", self.path(last), self.path(folder))
                self.settled()
                open(self.path(folder, "later"), "w").close()
                os.mkdir(self.path(folder, "sub"))
                self.expect_only(line("SHCNE_CREATE", self.path(folder, "later")),
                                 line("SHCNE_MKDIR", self.path(folder, "sub")))

    def test_a_folder_moved_in_is_listed_and_what_it_brings_told_as_created(self):
        out = self.outside()
        os.makedirs(os.path.join(out, "d", "sub"))
        open(os.path.join(out, "d", "sub", "f"), "w").close()
        os.rename(os.path.join(out, "d"), self.path("d"))
        self.expect_only(line("SHCNE_MKDIR", self.path("d")),
                         line("SHCNE_MKDIR", self.path("d", "sub")),
                         line("SHCNE_CREATE", self.path("d", "sub", "f")))

    def test_changes_in_a_folder_moved_in_agree_with_its_listing(self):
        # The tool meets the move when the changes made in the folder after
        # it are already queued; its listing sees their outcome too, and each
        # must be told once, in agreement with the lines before it.
        rows = [
            ("created", "touch d0/new; mkdir d0/sub/deeper; touch d0/sub/deeper/g"),
            ("removed", "rm d1/sub/f; rmdir d1/gone"),
            ("renamed", "mv d2/sub/f d2/sub/h; mv d2/gone d2/kept"),
            ("moved on", "mv d3/sub/f d3/f; mv d3/sub d3/other"),
            ("made and removed", "touch d4/t; rm d4/t; mkdir d4/u; rmdir d4/u"),
        ]
        out = self.outside()
        for i in range(len(rows)):
            os.makedirs(os.path.join(out, "d%d" % i, "sub"))
            os.makedirs(os.path.join(out, "d%d" % i, "gone"))
            open(os.path.join(out, "d%d" % i, "sub", "f"), "w").close()
        for i, (name, script) in enumerate(rows):
            with self.subTest(name):
                self.settled()
                replay = Replay(self.root)
                self.stopped("mv '%s/d%d' d%d; %s" % (out, i, i, script))
                self.tool.settle(quiet=0.5)
                replay.feed(self.tool.new_lines())
                self.assertEqual((replay.differences(), replay.contradictions), ([], []),
                                 self.tool.dump())

    def test_exchanged_folders_both_keep_their_watches(self):
        for name in ("a", "b"):
            os.mkdir(self.path(name))
            self.assertTrue(self.tool.arm(self.path(name)), self.tool.dump())
        exchange(self.path("a"), self.path("b"))
        self.tool.settle()
        self.tool.new_lines()
        open(self.path("a", "in_a"), "w").close()
        open(self.path("b", "in_b"), "w").close()
        self.expect_only(line("SHCNE_CREATE", self.path("a", "in_a")),
                         line("SHCNE_CREATE", self.path("b", "in_b")))

    def test_exchanges_replay_to_the_tree(self):
        os.makedirs(self.path("a", "x"))
        os.makedirs(self.path("b", "y"))
        open(self.path("fa"), "w").close()
        with open(self.path("fb"), "wb") as fb:
            fb.write(b"b")
        self.assertTrue(self.tool.arm(self.path("b", "y")), self.tool.dump())
        replay = Replay(self.root)
        exchange(self.path("a"), self.path("b"))
        exchange(self.path("fa"), self.path("fb"))
        exchange(self.path("a", "y"), self.path("b", "x"))
        self.tool.settle()
        replay.feed(self.tool.new_lines())
        self.assertEqual((replay.differences(), replay.contradictions), ([], []), self.tool.dump())

    def stopped(self, script):
        """Runs script with the tool stopped, so that it meets every change at once."""
        self.tool.proc.send_signal(signal.SIGSTOP)
        try:
            self.sh(script)
        finally:
            self.tool.proc.send_signal(signal.SIGCONT)

    def test_a_folder_moved_out_and_straight_back_keeps_its_watch(self):
        out = self.outside()
        os.makedirs(self.path("c"))
        os.makedirs(self.path("e"))
        self.assertTrue(self.tool.arm(self.path("c")), self.tool.dump())
        self.stopped("mv c '%s/c' && mv '%s/c' c && mv e c/e" % (out, out))
        self.tool.settle()
        self.tool.new_lines()
        open(self.path("c", "e", "later"), "w").close()
        open(self.path("c", "later"), "w").close()
        self.expect_only(line("SHCNE_CREATE", self.path("c", "e", "later")),
                         line("SHCNE_CREATE", self.path("c", "later")))

    def test_a_folder_bound_on_another_and_unbound_keeps_its_watch(self):
        if not can_mount():
            self.skipTest("mounting needs root")
        os.mkdir(self.path("a"))
        os.mkdir(self.path("b"))
        self.assertTrue(self.tool.arm(self.path("a")), self.tool.dump())
        subprocess.run(["mount", "--bind", self.path("a"), self.path("b")], check=True)
        try:
            self.expect_line("SHCNE_DRIVEADD", self.path("b"))
            self.settled()
            open(self.path("a", "x"), "w").close()
            self.expect_only(line("SHCNE_CREATE", self.path("a", "x")),
                             line("SHCNE_CREATE", self.path("b", "x")))
        finally:
            subprocess.run(["umount", self.path("b")], check=True)
        self.expect_line("SHCNE_DRIVEREMOVED", self.path("b"))
        self.settled()
        open(self.path("a", "y"), "w").close()
        self.expect_only(line("SHCNE_CREATE", self.path("a", "y")))

    def test_a_new_folder_listed_while_it_changes_tells_each_item_once(self):
        # Each round races the listing of a new folder against changes in it;
        # whichever wins, the lines must agree with one another and the tree.
        for i in range(30):
            open(self.path("m%d" % i), "w").close()
        self.settled()
        replay = Replay(self.root)
        script = "; ".join(
            "mkdir r{0}; echo x > r{0}/f.tmp; mv r{0}/f.tmp r{0}/f; "
            "mkdir u{0}; touch u{0}/x; rm u{0}/x; "
            "mkdir n{0}; mv m{0} n{0}/m; "
            "mkdir s{0}; mkdir s{0}/t.tmp; mv s{0}/t.tmp s{0}/t".format(i) for i in range(30))
        self.sh(script)
        self.tool.settle(quiet=0.5)
        replay.feed(self.tool.new_lines())
        self.assertEqual((replay.differences(), replay.contradictions), ([], []), self.tool.dump())

    def test_an_item_moved_into_a_new_folder_is_told_once(self):
        # The inotify source meets the folder's creation when the move is
        # already done: its listing tells the item, so the move's line only
        # takes the old name away. The fanotify source reads the moves
        # themselves. Either way each item is told once, where it is, and the
        # lines replay to the tree.
        os.makedirs(self.path("k", "deep"))
        open(self.path("m"), "w").close()
        self.assertTrue(self.tool.arm(self.path("k", "deep")), self.tool.dump())
        self.settled()
        replay = Replay(self.root)
        self.stopped("mkdir n && mv m n/m && mkdir o && mv k o/k")
        if SOURCE == "fanotify":
            lines = [line("SHCNE_MKDIR", self.path("n")),
                     line("SHCNE_RENAMEITEM", self.path("m"), self.path("n", "m")),
                     line("SHCNE_MKDIR", self.path("o")),
                     line("SHCNE_RENAMEFOLDER", self.path("k"), self.path("o", "k"))]
        else:
            lines = [line("SHCNE_MKDIR", self.path("n")), line("SHCNE_CREATE", self.path("n", "m")),
                     line("SHCNE_DELETE", self.path("m")), line("SHCNE_MKDIR", self.path("o")),
                     line("SHCNE_MKDIR", self.path("o", "k")),
                     line("SHCNE_MKDIR", self.path("o", "k", "deep")),
                     line("SHCNE_RMDIR", self.path("k"))]
        self.expect_only(*lines)
        replay.feed(self.tool.lines[-len(lines):])
        self.assertEqual((replay.differences(), replay.contradictions), ([], []), self.tool.dump())
        open(self.path("o", "k", "deep", "later"), "w").close()
        self.expect_only(line("SHCNE_CREATE", self.path("o", "k", "deep", "later")))
