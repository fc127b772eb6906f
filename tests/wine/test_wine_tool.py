"""The real orvane.exe under wine64, driven from outside as the shell would drive it.

Wine delivers change notifications only inside the process that made the
change, so inject.exe copies each notification into the tool's process and
posts it to the tool's dialog. Every wait has a deadline; a failing test
shows what the tool wrote.
"""

import os
import select
import signal
import subprocess
import time
import unittest

ORVANE = os.environ["ORVANE_EXE"]
INJECT = os.environ["ORVANE_INJECT"]
WINE = [os.environ["ORVANE_WINE_RUN"], os.environ["ORVANE_WINE_PREFIX"]]
DRIVE_C = os.path.join(os.environ["ORVANE_WINE_PREFIX"], "drive_c")

DEADLINE = 20.0
PROMPT = b"Press Ctrl+C to quit\r"  # a line as split at LF: CR LF leaves a CR
FOLDER = "orvane-e2e"
WATCHED = "C:\\" + FOLDER

SHCNE_RENAMEITEM, SHCNE_CREATE = 0x1, 0x2
IDCANCEL = 2


def windows_path(name):
    return WATCHED + "\\" + name


def inject(*args):
    """Runs inject.exe; returns (exit status, its standard output)."""
    done = subprocess.run(WINE + [INJECT, *map(str, args)], stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=DEADLINE)
    return done.returncode, done.stdout.decode(errors="replace") + done.stderr.decode(
        errors="replace")


class Tool:
    """One orvane.exe under wine; its output kept as raw lines split at LF."""

    def __init__(self, *args):
        self.proc = subprocess.Popen(WINE + [ORVANE, *args], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.lines = []
        self.partial = b""
        self.err = b""

    def _read(self, timeout):
        """Reads what has come within timeout; False once standard output is closed."""
        streams = [s for s in (self.proc.stdout, self.proc.stderr) if not s.closed]
        ready, _, _ = select.select(streams, [], [], timeout)
        for stream in ready:
            chunk = os.read(stream.fileno(), 1 << 16)
            if stream is self.proc.stderr:
                self.err += chunk
                if not chunk:
                    stream.close()
            elif chunk:
                *complete, self.partial = (self.partial + chunk).split(b"\n")
                self.lines += complete
            else:
                stream.close()
        return not self.proc.stdout.closed

    def wait_for_lines(self, count, timeout=DEADLINE):
        end = time.monotonic() + timeout
        while len(self.lines) < count and time.monotonic() < end:
            if not self._read(min(0.2, end - time.monotonic())):
                break
        return len(self.lines) >= count

    def wait_exit(self, timeout=DEADLINE):
        """Reads to the end of the output and returns the exit status, or None at the deadline."""
        end = time.monotonic() + timeout
        while time.monotonic() < end and self._read(min(0.2, end - time.monotonic())):
            pass
        try:
            return self.proc.wait(max(0.0, end - time.monotonic()))
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()

    def dump(self):
        return "orvane.exe standard output:\n%r\n%r\nstandard error:\n%s" % (
            self.lines, self.partial, self.err.decode(errors="replace"))


class WineToolTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        folder = os.path.join(DRIVE_C, FOLDER)
        os.makedirs(folder, exist_ok=True)
        for name in ("a.txt", "b.txt"):
            open(os.path.join(folder, name), "w").close()

    def start(self, *args):
        tool = Tool(*args)
        self.addCleanup(tool.stop)
        self.tool = tool
        return tool

    def find_dialog(self):
        """Waits for the tool's dialog; returns its handle and its thread as text."""
        end = time.monotonic() + DEADLINE
        while time.monotonic() < end:
            status, out = inject("find")
            if status == 0:
                dialog, thread = out.split()
                return dialog, thread
            if self.tool.proc.poll() is not None:
                break
        self.fail("the dialog never showed\n" + self.tool.dump())

    def check(self, condition, message):
        if not condition:
            self.fail(message + "\n" + self.tool.dump())

    def test_prompt_then_one_exact_line_per_notification(self):
        tool = self.start(WATCHED)
        dialog, _ = self.find_dialog()
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
        dialog, _ = self.find_dialog()
        for command_id in (1152, 3, 0):
            with self.subTest(command_id=command_id):
                self.check(inject("command", dialog, command_id)[0] == 0, "inject failed")
        inject("notify", dialog, SHCNE_CREATE, windows_path("a.txt"))
        self.check(tool.wait_for_lines(2), "the dialog stopped reporting")

    def test_cancel_destroys_the_dialog_and_the_tool_runs_on(self):
        tool = self.start(WATCHED)
        dialog, thread = self.find_dialog()
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
        _, thread = self.find_dialog()
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
        _, thread = self.find_dialog()
        inject("quit", thread)
        self.check(tool.wait_exit() == 0, "the tool did not end with status 0")
        self.check(tool.lines == [PROMPT], "standard output changed")
        self.check(b"orvane: cannot watch '%s'" % missing.encode() in tool.err,
                   "no message on standard error")


if __name__ == "__main__":
    unittest.main()
