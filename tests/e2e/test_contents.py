"""One SHCNE_UPDATEITEM per completed change of contents, never one per write."""

import os
import subprocess
import tempfile
import time

from harness import OrvaneTestCase, line

# A second report of one change would come from a timer, about a second
# later; "exactly one" is judged after the output has been quiet that long.
QUIET = 1.5


class ContentsTest(OrvaneTestCase):
    def existing(self, *names):
        """Files with contents, whose own lines are over and forgotten."""
        paths = [self.path(name) for name in names]
        for path in paths:
            with open(path, "wb") as f:
                f.write(b"old\n")
        for path in paths:
            self.expect_line("SHCNE_UPDATEITEM", path)
        self.tool.settle(QUIET)
        self.tool.forget()
        return paths

    def updates(self, path):
        return self.tool.lines.count(line("SHCNE_UPDATEITEM", path))

    def test_completed_changes_are_one_update_each(self):
        source = self.path("big.src")
        with open(source, "wb") as f:
            f.write(os.urandom(1 << 20) * 50)
        rows = [
            ("append", lambda p: subprocess.run(["sh", "-c", "echo x >> '%s'" % p], check=True)),
            ("50 MB copy", lambda p: subprocess.run(["cp", source, p], check=True)),
            ("50 MB in place", lambda p: subprocess.run(
                ["dd", "if=" + source, "of=" + p, "bs=64k", "conv=notrunc", "status=none"], check=True)),
            ("truncated", lambda p: os.truncate(p, 0)),
        ]
        paths = self.existing(*[name.replace(" ", "-") for name, _ in rows])
        for (name, act), path in zip(rows, paths):
            with self.subTest(name):
                act(path)
                self.expect_only(line("SHCNE_UPDATEITEM", path), quiet=QUIET)

    def test_touch_is_an_attribute_change_only(self):
        [path] = self.existing("touched")
        subprocess.run(["touch", path], check=True)
        self.expect_only(line("SHCNE_ATTRIBUTES", path), quiet=QUIET)

    def test_a_file_kept_open_is_reported_while_open_but_not_per_write(self):
        [path] = self.existing("log")
        start = time.monotonic()
        with open(path, "a") as f:
            for tick in range(1, 8):
                f.write("tick\n")
                f.flush()
                # The writer's own pace, a write every half second; the
                # output is read meanwhile.
                self.tool.wait_for(lambda lines: False, start + 0.5 * tick - time.monotonic())
            seen_open = self.tool.wait_for(lambda lines: line("SHCNE_UPDATEITEM", path) in lines)
        self.assertTrue(seen_open, "no update while the file was open\n" + self.tool.dump())
        self.tool.settle(QUIET)
        elapsed = time.monotonic() - start
        self.assertLessEqual(self.updates(path), elapsed + 1, self.tool.dump())
        self.assertEqual(set(self.tool.new_lines()), {line("SHCNE_UPDATEITEM", path)},
                         self.tool.dump())

    def test_a_change_made_before_its_folder_moved_is_told_where_the_file_is_now(self):
        out = tempfile.TemporaryDirectory(prefix="orvane-outside-", dir=os.path.dirname(self.root))
        self.addCleanup(out.cleanup)
        os.makedirs(self.path("a", "sub"))
        os.makedirs(self.path("b", "sub"))
        for folder in (self.path("a", "sub"), self.path("b", "sub")):
            self.assertTrue(self.tool.arm(folder), self.tool.dump())
        self.existing(os.path.join("a", "sub", "f"), os.path.join("b", "sub", "f"))
        rows = [
            ("folder renamed", self.path("a"), self.path("z"),
             [line("SHCNE_RENAMEFOLDER", self.path("a"), self.path("z")),
              line("SHCNE_UPDATEITEM", self.path("z", "sub", "f"))]),
            ("folder moved out", self.path("b"), os.path.join(out.name, "b"),
             [line("SHCNE_RMDIR", self.path("b"))]),
        ]
        for name, old, new, lines in rows:
            with self.subTest(name):
                # Written while open; the folder moves before the file is closed.
                with open(os.path.join(old, "sub", "f"), "a") as f:
                    f.write("more\n")
                    f.flush()
                    os.rename(old, new)
                self.expect_only(*lines, quiet=QUIET)
                self.assertEqual(self.tool.lines[-len(lines)], lines[0], self.tool.dump())
