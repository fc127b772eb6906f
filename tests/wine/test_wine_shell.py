"""The real orvane.exe under wine64, told of changes by the shell itself.

The shell delivers a change notification only within the process that
reports the change, so inject.exe loads shell_notify.dll into the running
tool and has it call SHChangeNotify there: the tool's own registration, its
root, its recursion and its deregistration decide what is printed. The call
returns once the tool has handled the message, so a line is written, or
never will be, by the time inject.exe ends: no test sleeps.

Wine filters a rename by its first path only, where Windows also looks at
the second; the cases keep to what both do.
"""

import time
import unittest

from wine_harness import IDCANCEL, PROMPT, WATCHED, WineTestCase, inject, windows_path

SHCNE_RENAMEITEM, SHCNE_CREATE, SHCNE_DELETE, SHCNE_MKDIR = 0x1, 0x2, 0x4, 0x8
SHCNE_ATTRIBUTES, SHCNE_UPDATEITEM, SHCNE_RENAMEFOLDER = 0x800, 0x2000, 0x20000
UNNAMED = SHCNE_CREATE | SHCNE_MKDIR  # a combination of bits has no line of its own


def line(text):
    """The line as the tests split the output at LF: CR LF leaves a CR."""
    return text.encode() + b"\r"


class ShellRegistrationTest(WineTestCase):
    def start_watching(self, *args):
        tool = self.start(*args)
        self.dialog, self.thread, self.process = self.find_dialog()
        return tool

    def shell(self, event, *paths):
        status, out = inject("shell", self.process, event, *paths)
        self.check(status == 0, "inject shell failed: " + out)

    def events(self):
        """The lines after the prompt. Into a pipe the prompt waits in the
        runtime's buffer and comes out with the first event line."""
        lines = self.tool.lines
        self.check(not lines or lines[0] == PROMPT, "the prompt is not the first line")
        return lines[1:]

    def wait_for_events(self, count):
        self.tool.wait_for_lines(count + 1)
        return self.events()

    def expect(self, event, paths, expected):
        """Reports one change and checks that exactly that line follows."""
        before = len(self.events())
        self.shell(event, *paths)
        self.check(self.wait_for_events(before + 1)[before:] == [line(expected)],
                   "for %#x %r, expected %r" % (event, paths, expected))

    def expect_silence(self, event, *paths):
        """Reports a change that must print nothing. The shell has handled it
        when the call returns; a line of the watched folder then shows that
        nothing came before it."""
        before = len(self.events())
        self.shell(event, *paths)
        marker = windows_path("marker.txt")
        self.shell(SHCNE_CREATE, marker)
        self.check(self.wait_for_events(before + 1)[before:] ==
                   [line("SHCNE_CREATE('%s', '')" % marker)],
                   "a line for %#x %r" % (event, paths))

    def registrations(self):
        status, out = inject("registrations", self.process)
        self.check(status == 0, "inject registrations failed: " + out)
        return int(out)

    def test_changes_below_the_folder_print_their_exact_lines(self):
        self.start_watching(WATCHED)
        a, b = windows_path("a.txt"), windows_path("b.txt")
        deep = windows_path("sub\\deeper\\c.txt")
        rows = [
            ("create", SHCNE_CREATE, [a], "SHCNE_CREATE('%s', '')" % a),
            ("two levels below", SHCNE_CREATE, [deep], "SHCNE_CREATE('%s', '')" % deep),
            ("delete", SHCNE_DELETE, [a], "SHCNE_DELETE('%s', '')" % a),
            ("attributes", SHCNE_ATTRIBUTES, [b], "SHCNE_ATTRIBUTES('%s', '')" % b),
            ("update", SHCNE_UPDATEITEM, [deep], "SHCNE_UPDATEITEM('%s', '')" % deep),
            ("rename with both paths", SHCNE_RENAMEITEM, [a, b],
             "SHCNE_RENAMEITEM('%s', '%s')" % (a, b)),
            ("folder rename", SHCNE_RENAMEFOLDER, [windows_path("sub"), windows_path("dir")],
             "SHCNE_RENAMEFOLDER('%s', '%s')" % (windows_path("sub"), windows_path("dir"))),
            ("code without a row", UNNAMED, [a], "(lEvent:%08X)('%s', '')" % (UNNAMED, a)),
        ]
        for name, event, paths, expected in rows:
            with self.subTest(name):
                self.expect(event, paths, expected)

    def test_changes_outside_the_folder_print_nothing(self):
        self.start_watching(WATCHED)
        rows = [
            ("another folder", "C:\\elsewhere\\a.txt"),
            ("a sibling whose name begins like it", WATCHED + "-sibling\\a.txt"),
            ("a sibling with a longer name", WATCHED + "2\\a.txt"),
            ("the parent", "C:\\a.txt"),
            ("another drive", "D:\\orvane-e2e\\a.txt"),
        ]
        for name, path in rows:
            with self.subTest(name):
                self.expect_silence(SHCNE_CREATE, path)

    def test_with_no_argument_changes_anywhere_print(self):
        self.start_watching()
        for path in ("C:\\elsewhere\\a.txt", WATCHED + "\\a.txt", "D:\\x\\y\\z.txt"):
            with self.subTest(path):
                self.expect(SHCNE_CREATE, [path], "SHCNE_CREATE('%s', '')" % path)

    def test_the_running_tool_holds_one_registration(self):
        # The probe that the cancel test relies on sees a live registration.
        self.start_watching(WATCHED)
        self.check(self.registrations() == 1, "not exactly one registration while watching")

    def test_after_cancel_nothing_prints_and_the_registration_is_gone(self):
        tool = self.start_watching(WATCHED)
        a = windows_path("a.txt")
        self.expect(SHCNE_CREATE, [a], "SHCNE_CREATE('%s', '')" % a)
        self.check(inject("command", self.dialog, IDCANCEL)[0] == 0, "inject command failed")
        end = time.monotonic() + 20
        while inject("find")[0] == 0:
            self.check(time.monotonic() < end, "the dialog was not destroyed")
        self.shell(SHCNE_CREATE, a)
        self.check(self.registrations() == 0, "the shell still holds a registration")
        # The tool runs on; a quit message ends it, and its whole output shows.
        self.check(inject("quit", self.thread)[0] == 0, "inject quit failed")
        self.check(tool.wait_exit() == 0, "the tool did not end with status 0")
        self.check(tool.lines == [PROMPT, line("SHCNE_CREATE('%s', '')" % a)] and not tool.partial,
                   "a line after the cancel")


if __name__ == "__main__":
    unittest.main()
