"""Renames are one line with both paths; later lines carry the new path."""

import os
import shutil
import subprocess
import tempfile

from harness import OrvaneTestCase, line


class RenamesTest(OrvaneTestCase):
    def outside(self):
        tmp = tempfile.TemporaryDirectory(prefix="orvane-outside-", dir=os.path.dirname(self.root))
        self.addCleanup(tmp.cleanup)
        return tmp.name

    def test_renames_within_the_tree(self):
        os.makedirs(self.path("d", "inner"))
        open(self.path("f"), "w").close()
        self.expect_line("SHCNE_MKDIR", self.path("d", "inner"))
        self.expect_line("SHCNE_CREATE", self.path("f"))
        rows = [
            ("file", self.path("f"), self.path("g"), "SHCNE_RENAMEITEM"),
            ("file into a folder", self.path("g"), self.path("d", "g"), "SHCNE_RENAMEITEM"),
            ("folder", self.path("d"), self.path("e"), "SHCNE_RENAMEFOLDER"),
        ]
        for name, old, new, event in rows:
            with self.subTest(name):
                os.rename(old, new)
                self.expect_once(event, old, new)

    def test_later_lines_below_a_renamed_folder_carry_the_new_path(self):
        os.makedirs(self.path("a", "b", "c"))
        self.expect_line("SHCNE_MKDIR", self.path("a", "b", "c"))
        os.rename(self.path("a"), self.path("z"))
        self.expect_line("SHCNE_RENAMEFOLDER", self.path("a"), self.path("z"))
        self.tool.new_lines()
        open(self.path("z", "b", "c", "deep"), "w").close()
        self.expect_line("SHCNE_CREATE", self.path("z", "b", "c", "deep"))
        self.tool.settle()
        stale = [l for l in self.tool.new_lines() if self.path("a") + "/" in l]
        self.assertEqual(stale, [], self.tool.dump())

    def test_moved_out_of_the_tree(self):
        out = self.outside()
        os.mkdir(self.path("d"))
        open(self.path("f"), "w").close()
        self.expect_line("SHCNE_CREATE", self.path("f"))
        os.rename(self.path("f"), os.path.join(out, "f"))
        self.expect_once("SHCNE_DELETE", self.path("f"))
        os.rename(self.path("d"), os.path.join(out, "d"))
        self.expect_once("SHCNE_RMDIR", self.path("d"))
        open(os.path.join(out, "d", "after"), "w").close()
        open(self.path("marker"), "w").close()
        self.expect_line("SHCNE_CREATE", self.path("marker"))
        self.assertFalse(any("after" in l for l in self.tool.lines), self.tool.dump())

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
        self.expect_once("SHCNE_CREATE", self.path("f"))
        os.rename(os.path.join(out, "d"), self.path("d"))
        self.expect_once("SHCNE_MKDIR", self.path("d"))
        open(self.path("d", "sub", "deeper", "new"), "w").close()
        self.expect_line("SHCNE_CREATE", self.path("d", "sub", "deeper", "new"))

    def test_the_watched_folder_itself_deleted(self):
        shutil.rmtree(self.root)
        os.mkdir(self.root)  # for the cleanup
        self.expect_line("SHCNE_RMDIR", self.root)

    def test_the_watched_folder_itself_moved(self):
        moved = self.root + "-moved"
        self.addCleanup(shutil.rmtree, moved, True)
        os.rename(self.root, moved)
        self.expect_once("SHCNE_RENAMEFOLDER", self.root, moved)
        open(os.path.join(moved, "after"), "w").close()
        self.expect_line("SHCNE_CREATE", os.path.join(moved, "after"))
        self.tool.settle()
        stale = [l for l in self.tool.new_lines() if "'%s/" % self.root in l]
        os.rename(moved, self.root)  # for the cleanup
        self.assertEqual(stale, [], self.tool.dump())
