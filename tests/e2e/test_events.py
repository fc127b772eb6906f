"""One line per change, in the shell's vocabulary."""

import os
import subprocess

from harness import OrvaneTestCase, line


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
                self.expect_only(line(event, path))

    def test_links_and_special_files_are_created_items(self):
        open(self.path("target"), "w").close()
        self.expect_only(line("SHCNE_CREATE", self.path("target")))
        steps = [
            ("hard link", "hard", lambda: os.link(self.path("target"), self.path("hard"))),
            ("symbolic link", "soft", lambda: os.symlink("target", self.path("soft"))),
            ("fifo", "fifo", lambda: os.mkfifo(self.path("fifo"))),
        ]
        for name, item, act in steps:
            with self.subTest(name):
                act()
                self.expect_only(line("SHCNE_CREATE", self.path(item)))

    def test_control_characters_in_a_name_are_written_as_octal(self):
        rows = [
            ("newline", "evil\nSHCNE_DELETE('x', '')", "evil\\012SHCNE_DELETE('x', '')"),
            ("tab", "a\tb", "a\\011b"),
            ("carriage return", "cr\rx", "cr\\015x"),
            ("terminal escape", "e\033[31mred", "e\\033[31mred"),
        ]
        for name, raw, shown in rows:
            with self.subTest(name):
                open(self.path(raw), "w").close()
                self.expect_only(line("SHCNE_CREATE", self.path(shown)))

    def test_a_tree_removed_by_another_process_is_told_item_by_item(self):
        subprocess.run(["sh", "-c", "mkdir -p d/e && echo hi > d/x && : > d/e/y"], cwd=self.root,
                       check=True)
        self.tool.wait_line(line("SHCNE_CREATE", self.path("d", "e", "y")))
        self.tool.settle()
        self.tool.new_lines()
        subprocess.run(["rm", "-r", "d"], cwd=self.root, check=True)
        self.expect_only(line("SHCNE_DELETE", self.path("d", "x")),
                         line("SHCNE_DELETE", self.path("d", "e", "y")),
                         line("SHCNE_RMDIR", self.path("d", "e")), line("SHCNE_RMDIR", self.path("d")))
