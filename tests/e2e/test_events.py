"""One line per change, in the shell's vocabulary."""

import os
import subprocess

from harness import OrvaneTestCase


class EventsTest(OrvaneTestCase):
    def test_files_and_directories_created_and_removed(self):
        steps = [
            ("file created", lambda: open(self.path("a.txt"), "w").close(),
             "SHCNE_CREATE", self.path("a.txt")),
            ("directory created", lambda: os.mkdir(self.path("d")), "SHCNE_MKDIR", self.path("d")),
            ("file inside it", lambda: open(self.path("d", "f"), "w").close(),
             "SHCNE_CREATE", self.path("d", "f")),
            ("attribute change", lambda: os.chmod(self.path("a.txt"), 0o600),
             "SHCNE_ATTRIBUTES", self.path("a.txt")),
            ("file deleted", lambda: os.unlink(self.path("a.txt")), "SHCNE_DELETE", self.path("a.txt")),
            ("file in directory deleted", lambda: os.unlink(self.path("d", "f")),
             "SHCNE_DELETE", self.path("d", "f")),
            ("directory removed", lambda: os.rmdir(self.path("d")), "SHCNE_RMDIR", self.path("d")),
        ]
        for name, act, event, path in steps:
            with self.subTest(name):
                act()
                self.expect_once(event, path)

    def test_links_and_special_files_are_created_items(self):
        open(self.path("target"), "w").close()
        self.expect_line("SHCNE_CREATE", self.path("target"))
        steps = [
            ("hard link", "hard", lambda: os.link(self.path("target"), self.path("hard"))),
            ("symbolic link", "soft", lambda: os.symlink("target", self.path("soft"))),
            ("fifo", "fifo", lambda: os.mkfifo(self.path("fifo"))),
        ]
        for name, item, act in steps:
            with self.subTest(name):
                act()
                self.expect_once("SHCNE_CREATE", self.path(item))

    def test_a_newline_in_a_name_cannot_forge_a_line(self):
        name = "evil\nSHCNE_DELETE('x', '')"
        open(self.path(name), "w").close()
        self.expect_line("SHCNE_CREATE", self.path("evil\\012SHCNE_DELETE('x', '')"))
        self.assertNotIn("SHCNE_DELETE('x', '')", self.tool.lines, self.tool.dump())

    def test_changes_made_by_another_process_are_seen(self):
        subprocess.run(["sh", "-c", "mkdir d && echo hi > d/x && rm -r d"], cwd=self.root, check=True)
        for event, path in [("SHCNE_MKDIR", self.path("d")), ("SHCNE_DELETE", self.path("d", "x")),
                            ("SHCNE_RMDIR", self.path("d"))]:
            self.expect_line(event, path)
