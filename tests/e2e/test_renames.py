"""Renames are one line with both paths; later lines carry the new path."""

import os
import shutil
import signal
import subprocess
import tempfile

from harness import OrvaneTestCase, line


class RenamesTest(OrvaneTestCase):
    def outside(self):
        tmp = tempfile.TemporaryDirectory(prefix="orvane-outside-", dir=os.path.dirname(self.root))
        self.addCleanup(tmp.cleanup)
        return tmp.name

    def sh(self, script):
        subprocess.run(["sh", "-c", script], cwd=self.root, check=True)

    def test_renames_within_the_tree(self):
        os.makedirs(self.path("d", "inner"))
        open(self.path("f"), "w").close()
        self.expect_line("SHCNE_CREATE", self.path("f"))
        # A folder's line comes before its watch is in place.
        self.assertTrue(self.tool.arm(self.path("d")), self.tool.dump())
        rows = [
            ("file", self.path("f"), self.path("g"), "SHCNE_RENAMEITEM"),
            ("file into a folder", self.path("g"), self.path("d", "g"), "SHCNE_RENAMEITEM"),
            ("file out of a folder", self.path("d", "g"), self.path("h"), "SHCNE_RENAMEITEM"),
            ("folder", self.path("d"), self.path("e"), "SHCNE_RENAMEFOLDER"),
            ("folder into a folder", self.path("e", "inner"), self.path("inner"),
             "SHCNE_RENAMEFOLDER"),
        ]
        for name, old, new, event in rows:
            with self.subTest(name):
                os.rename(old, new)
                self.expect_only(line(event, old, new))

    def test_renames_in_a_burst_are_paired_across_reads(self):
        # Names of many lengths, so that pairs fall across the ends of the
        # tool's reads; it is stopped meanwhile, so it reads a full queue.
        os.mkdir(self.path("sub"))
        count = 3000
        names = ["f%d%s" % (i, "x" * (i % 37)) for i in range(count)]
        for name in names:
            open(self.path(name), "w").close()
        self.tool.wait_line(line("SHCNE_CREATE", self.path(names[-1])))
        self.tool.settle()
        self.tool.new_lines()
        moves = [(self.path(n), self.path("sub" if i % 3 == 0 else "", "g" + n))
                 for i, n in enumerate(names)]
        self.tool.proc.send_signal(signal.SIGSTOP)
        try:
            for old, new in moves:
                os.rename(old, new)
        finally:
            self.tool.proc.send_signal(signal.SIGCONT)
        self.expect_only(*[line("SHCNE_RENAMEITEM", old, new) for old, new in moves])

    def test_later_lines_below_a_renamed_folder_carry_the_new_path(self):
        os.makedirs(self.path("a", "b", "c"))
        self.assertTrue(self.tool.arm(self.path("a", "b", "c")), self.tool.dump())
        # Back to back, so the create may come in the same read as the rename.
        self.sh("mv a z && touch z/b/c/deep")
        self.expect_only(line("SHCNE_RENAMEFOLDER", self.path("a"), self.path("z")),
                         line("SHCNE_CREATE", self.path("z", "b", "c", "deep")))
        open(self.path("z", "b", "c", "later"), "w").close()
        self.expect_only(line("SHCNE_CREATE", self.path("z", "b", "c", "later")))

    def test_moved_out_of_the_tree(self):
        out = self.outside()
        os.mkdir(self.path("d"))
        open(self.path("f"), "w").close()
        self.expect_line("SHCNE_CREATE", self.path("f"))
        self.tool.settle()
        self.tool.new_lines()
        os.rename(self.path("f"), os.path.join(out, "f"))
        self.expect_only(line("SHCNE_DELETE", self.path("f")))
        os.rename(self.path("d"), os.path.join(out, "d"))
        self.expect_only(line("SHCNE_RMDIR", self.path("d")))
        open(os.path.join(out, "d", "after"), "w").close()
        open(self.path("marker"), "w").close()
        self.expect_only(line("SHCNE_CREATE", self.path("marker")))

    def test_a_folder_moved_out_is_no_longer_reported_even_at_once(self):
        out = self.outside()
        os.mkdir(self.path("d"))
        self.expect_line("SHCNE_MKDIR", self.path("d"))
        self.tool.settle()
        self.tool.new_lines()
        self.sh("mv d '%s/d' && touch '%s/d/after'" % (out, out))
        self.expect_only(line("SHCNE_RMDIR", self.path("d")))

    def test_a_folder_that_takes_the_place_of_one_moved_out_is_watched(self):
        out = self.outside()
        os.mkdir(os.path.join(out, "spare"))
        rows = [
            ("made anew", "made", "mv made '%s/' && mkdir made" % out, "made"),
            ("moved in", "moved", "mv moved '%s/' && mv '%s/spare' moved" % (out, out), "moved"),
            ("the same folder back under another name", "back",
             "mv back '%s/' && mv '%s/back' back2" % (out, out), "back2"),
        ]
        for name, old, script, new in rows:
            with self.subTest(name):
                os.mkdir(self.path(old))
                self.expect_line("SHCNE_MKDIR", self.path(old))
                self.tool.settle()
                self.tool.new_lines()
                self.sh(script)
                self.expect_only(line("SHCNE_RMDIR", self.path(old)),
                                 line("SHCNE_MKDIR", self.path(new)))
                open(self.path(new, "inside"), "w").close()
                self.expect_only(line("SHCNE_CREATE", self.path(new, "inside")))

    def test_moved_out_and_made_anew_reads_deleted_then_created(self):
        out = self.outside()
        open(self.path("f"), "w").close()
        self.expect_line("SHCNE_CREATE", self.path("f"))
        start = len(self.tool.lines)
        subprocess.run(["sh", "-c", "mv f '%s/f' && : > f" % out], cwd=self.root, check=True)
        wanted = [line("SHCNE_DELETE", self.path("f")), line("SHCNE_CREATE", self.path("f"))]
        if not self.tool.wait_for(lambda lines: all(w in lines[start:] for w in wanted)):
            self.fail("missing %s\n%s" % (wanted, self.tool.dump()))
        fresh = self.tool.lines[start:]
        self.assertLess(fresh.index(wanted[0]), fresh.index(wanted[1]), self.tool.dump())

    def test_moved_into_the_tree_with_its_subtree_watched(self):
        out = self.outside()
        os.makedirs(os.path.join(out, "d", "sub", "deeper"))
        open(os.path.join(out, "f"), "w").close()
        os.rename(os.path.join(out, "f"), self.path("f"))
        self.expect_only(line("SHCNE_CREATE", self.path("f")))
        os.rename(os.path.join(out, "d"), self.path("d"))
        # What it brings is listed and told as created, as a reader of the
        # lines has never seen it.
        self.expect_only(line("SHCNE_MKDIR", self.path("d")), line("SHCNE_MKDIR", self.path("d", "sub")),
                         line("SHCNE_MKDIR", self.path("d", "sub", "deeper")))
        open(self.path("d", "sub", "deeper", "new"), "w").close()
        self.expect_only(line("SHCNE_CREATE", self.path("d", "sub", "deeper", "new")))

    def test_the_watched_folder_itself_deleted(self):
        self.addCleanup(os.makedirs, self.root, exist_ok=True)  # for the directory's own cleanup
        os.makedirs(self.path("d"))
        open(self.path("d", "f"), "w").close()
        self.expect_line("SHCNE_CREATE", self.path("d", "f"))
        self.tool.settle()
        self.tool.new_lines()
        shutil.rmtree(self.root)
        self.expect_only(line("SHCNE_DELETE", self.path("d", "f")), line("SHCNE_RMDIR", self.path("d")),
                         line("SHCNE_RMDIR", self.root))
        self.assertEqual(self.tool.lines[-1], line("SHCNE_RMDIR", self.root), self.tool.dump())

    def test_the_watched_folder_itself_moved(self):
        moved = self.root + "-moved"
        # Moved back for the directory's own cleanup.
        self.addCleanup(lambda: os.path.isdir(moved) and os.rename(moved, self.root))
        # Back to back: the create may come in the same read as the move.
        os.rename(self.root, moved)
        open(os.path.join(moved, "after"), "w").close()
        self.expect_only(line("SHCNE_RENAMEFOLDER", self.root, moved),
                         line("SHCNE_CREATE", os.path.join(moved, "after")))
        self.assertEqual(self.tool.lines[-1], line("SHCNE_CREATE", os.path.join(moved, "after")),
                         "the move is told first\n" + self.tool.dump())
        open(os.path.join(moved, "later"), "w").close()
        self.expect_only(line("SHCNE_CREATE", os.path.join(moved, "later")))
