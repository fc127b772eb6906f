"""A folder made and filled before its watch is in place is still reported whole."""

import os
import subprocess

from harness import OrvaneTestCase, line


class RaceTest(OrvaneTestCase):
    def test_mkdir_p_and_touch_back_to_back_each_line_once(self):
        rounds = 100
        script = "; ".join("mkdir -p r%d/b/c && touch r%d/b/c/f" % (i, i) for i in range(rounds))
        subprocess.run(["sh", "-c", script], cwd=self.root, check=True)
        expected = []
        for i in range(rounds):
            top = self.path("r%d" % i)
            expected += [line("SHCNE_MKDIR", top), line("SHCNE_MKDIR", top + "/b"),
                         line("SHCNE_MKDIR", top + "/b/c"), line("SHCNE_CREATE", top + "/b/c/f")]
        self.tool.wait_for(lambda lines: all(e in lines for e in expected))
        self.tool.settle()
        wrong = {e: self.tool.lines.count(e) for e in expected if self.tool.lines.count(e) != 1}
        self.assertEqual(wrong, {}, "lines not shown exactly once\n" + self.tool.dump())
        self.assertEqual(len(self.tool.new_lines()), len(expected), self.tool.dump())

    def test_a_folder_filled_with_many_entries_at_once_each_line_once(self):
        script = ("mkdir -p n/a && cd n/a && seq 1 300 | xargs touch && "
                  "mkdir s && seq 1 50 | sed s,^,s/, | xargs touch")
        subprocess.run(["sh", "-c", script], cwd=self.root, check=True)
        expected = [line("SHCNE_MKDIR", self.path(d)) for d in ("n", "n/a", "n/a/s")]
        expected += [line("SHCNE_CREATE", self.path("n/a/%d" % i)) for i in range(1, 301)]
        expected += [line("SHCNE_CREATE", self.path("n/a/s/%d" % i)) for i in range(1, 51)]
        self.expect_only(*expected)

    def test_changes_one_at_a_time_each_line_comes_before_the_next_change(self):
        """No line waits for a later event: each change's line is awaited
        before the next change is made. Files, folders (whose arrival is
        walked), moves into them and writes alternate. A move goes into the
        folder of the round before, whose walk has ended once a later
        event's line has come (a folder still being listed may tell the
        moved file as created instead)."""
        def write(path):
            with open(path, "w") as out:
                out.write("x")

        for i in range(400):
            f, d = self.path("f%d" % i), self.path("d%d" % i)
            g = self.path("d%d" % max(i - 1, 0), "g%d" % i)
            steps = [(lambda: os.mknod(f), line("SHCNE_CREATE", f)),
                     (lambda: os.mkdir(d), line("SHCNE_MKDIR", d)),
                     (lambda: os.rename(f, g), line("SHCNE_RENAMEITEM", f, g)),
                     (lambda: write(g), line("SHCNE_UPDATEITEM", g))]
            for change, expected in steps[:2] if i == 0 else steps:
                change()
                if not self.tool.wait_line(expected, timeout=2.0):
                    self.fail("no line %s within 2 s\n%s" % (expected, self.tool.dump()))
