"""The watched item may be a single file: its own changes, its rename and its end."""

import os
import tempfile
import time
import unittest

from harness import DEADLINE, Orvane, line


class FileRootTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory(prefix="orvane-file-")
        self.addCleanup(tmp.cleanup)
        self.dir = os.path.realpath(tmp.name)
        self.file = os.path.join(self.dir, "watched")
        with open(self.file, "w") as f:
            f.write("old\n")
        self.tool = Orvane(self.file)
        self.addCleanup(self.tool.stop)
        # Armed once a change of the file itself shows.
        end = time.monotonic() + DEADLINE
        mode = 0o600
        while time.monotonic() < end and self.tool.proc.poll() is None:
            os.chmod(self.file, mode)
            mode ^= 0o044
            if self.tool.wait_line(line("SHCNE_ATTRIBUTES", self.file), 0.2):
                self.tool.settle()
                self.tool.new_lines()
                return
        self.fail("orvane never armed\n" + self.tool.dump())

    def expect_exactly(self, lines):
        """Each of lines shows, and once the output settles nothing else has come."""
        if not self.tool.wait_for(lambda seen: all(l in seen for l in lines)):
            self.fail("missing %s\n%s" % (lines, self.tool.dump()))
        self.tool.settle()
        self.assertEqual(self.tool.new_lines(), lines, self.tool.dump())

    def append(self, path):
        with open(path, "a") as f:
            f.write("more\n")

    def test_changes_rename_and_deletion_of_the_file(self):
        moved = os.path.join(self.dir, "moved")
        steps = [
            ("appended", lambda: self.append(self.file), [line("SHCNE_UPDATEITEM", self.file)]),
            ("mode changed", lambda: os.chmod(self.file, 0o640),
             [line("SHCNE_ATTRIBUTES", self.file)]),
            ("renamed", lambda: os.rename(self.file, moved),
             [line("SHCNE_RENAMEITEM", self.file, moved)]),
            ("appended after the rename", lambda: self.append(moved),
             [line("SHCNE_UPDATEITEM", moved)]),
            ("deleted", lambda: os.unlink(moved), [line("SHCNE_DELETE", moved)]),
        ]
        for name, act, lines in steps:
            with self.subTest(name):
                act()
                self.expect_exactly(lines)

    def test_unlinked_while_another_link_keeps_it(self):
        other = os.path.join(self.dir, "other")
        os.link(self.file, other)
        self.expect_exactly([line("SHCNE_ATTRIBUTES", self.file)])
        os.unlink(self.file)
        self.expect_exactly([line("SHCNE_DELETE", self.file)])
        self.append(other)  # the same file, but no longer the watched path
        with open(self.file, "w"):
            pass
        self.tool.settle()
        self.assertEqual(self.tool.new_lines(), [], self.tool.dump())


if __name__ == "__main__":
    unittest.main()
