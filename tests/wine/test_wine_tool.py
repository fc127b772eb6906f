"""The real orvane.exe under wine64, driven from outside as the shell would drive it.

inject.exe copies each notification into the tool's process and posts it to
the tool's dialog, as the shell does; test_wine_shell.py goes through the
shell itself.
"""

import signal
import time
import unittest

from wine_harness import (DEADLINE, IDCANCEL, PROMPT, SHCNE_CREATE, SHCNE_RENAMEITEM, WATCHED, WineTestCase,
                          inject, windows_path)


class WineToolTest(WineTestCase):
    def test_prompt_then_one_exact_line_per_notification(self):
        tool = self.start(WATCHED)
        dialog, _, _ = self.find_dialog()
        a, b = windows_path("a.txt"), windows_path("b.txt")
        rows = [
            ("create", [SHCNE_CREATE, a], b"SHCNE_CREATE('%s', '')\r" % a.encode()),
            ("rename", [SHCNE_RENAMEITEM, a, b],
             b"SHCNE_RENAMEITEM('%s', '%s')\r" % (a.encode(), b.encode())),
            ("unnamed code", [0x3, "-", b], b"(lEvent:00000003)('', '%s')\r" % b.encode()),
        ]
        for count, (name, args, expected) in enumerate(rows, start=2):
            with self.subTest(name):
                status, out = inject("notify", dialog, *args)
                self.check(status == 0, "inject failed: " + out)
                self.check(tool.wait_for_lines(count), "no line for the " + name)
                self.check(tool.lines[0] == PROMPT, "the prompt is not the first line")
                self.check(tool.lines[-1] == expected, "wrong line for the " + name)

    def test_other_commands_leave_the_dialog_watching(self):
        tool = self.start(WATCHED)
        dialog, _, _ = self.find_dialog()
        for command_id in (1152, 3, 0):
            with self.subTest(command_id=command_id):
                self.check(inject("command", dialog, command_id)[0] == 0, "inject failed")
        inject("notify", dialog, SHCNE_CREATE, windows_path("a.txt"))
        self.check(tool.wait_for_lines(2), "the dialog stopped reporting")

    def test_cancel_destroys_the_dialog_and_the_tool_runs_on(self):
        tool = self.start(WATCHED)
        dialog, thread, _ = self.find_dialog()
        self.check(inject("command", dialog, IDCANCEL)[0] == 0, "inject failed")
        end = time.monotonic() + DEADLINE
        while inject("find")[0] == 0:
            self.check(time.monotonic() < end, "the dialog was not destroyed")
        # The handle is gone, so a notification has nowhere to go.
        inject("notify", dialog, SHCNE_CREATE, windows_path("a.txt"))
        self.check(tool.proc.poll() is None, "the tool ended with its dialog")
        # Its message loop still runs: a quit message ends it normally.
        self.check(inject("quit", thread)[0] == 0, "inject failed")
        self.check(tool.wait_exit() == 0, "the tool did not end with status 0")
        self.check(tool.lines == [PROMPT] and not tool.partial, "lines after the cancel")

    def test_quit_message_ends_the_tool_with_status_zero(self):
        tool = self.start(WATCHED)
        _, thread, _ = self.find_dialog()
        self.check(inject("quit", thread)[0] == 0, "inject failed")
        self.check(tool.wait_exit() == 0, "the tool did not end with status 0")
        self.check(tool.lines == [PROMPT], "the prompt is missing")

    def test_ctrl_c_ends_the_tool_through_its_console_handling(self):
        tool = self.start(WATCHED)
        self.find_dialog()
        tool.proc.send_signal(signal.SIGINT)
        status = tool.wait_exit()
        # Wine turns SIGINT into a Ctrl+C event: the handlers run on a thread
        # of their own, and the default one ends the process. Had the signal
        # itself ended it, the status would be negative.
        self.check(status is not None, "the tool is still running after SIGINT")
        self.check(status >= 0, "SIGINT killed the tool instead of its console handling")
        self.check(tool.lines == [PROMPT], "the prompt was lost at exit")

    def test_a_path_that_names_no_item_is_reported_on_standard_error(self):
        missing = WATCHED + "\\no such folder"
        tool = self.start(missing)
        _, thread, _ = self.find_dialog()
        inject("quit", thread)
        self.check(tool.wait_exit() == 0, "the tool did not end with status 0")
        self.check(tool.lines == [PROMPT], "standard output changed")
        self.check(b"orvane: cannot watch '%s'" % missing.encode() in tool.err,
                   "no message on standard error")


if __name__ == "__main__":
    unittest.main()
