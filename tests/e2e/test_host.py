"""The tool as a whole: prompt, signals, arguments, errors."""

import os
import signal
import tempfile
import unittest

from harness import DEADLINE, PROMPT, Orvane, line


class HostTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="orvane-host-")
        self.addCleanup(self.tmp.cleanup)
        self.root = os.path.realpath(self.tmp.name)

    def start(self, *args, cwd=None):
        tool = Orvane(*args, cwd=cwd)
        self.addCleanup(tool.stop, signal.SIGKILL)
        return tool

    def arm_on_any_line(self, tool, directory):
        """Like Orvane.arm, but any line naming the probe will do."""
        for attempt in range(1, 50):
            probe = ".orvane-probe-%d" % attempt
            with open(os.path.join(directory, probe), "w") as f:
                f.write("probe\n")
            seen = tool.wait_for(lambda lines: any(probe in l for l in lines), 0.2)
            os.unlink(os.path.join(directory, probe))
            if seen:
                tool.settle()
                tool.new_lines()
                return True
        return False

    def test_prompt_comes_first_and_lines_arrive_at_once_through_a_pipe(self):
        tool = self.start(self.root)
        self.assertTrue(tool.arm(self.root), tool.dump())
        self.assertEqual(tool.lines[0], PROMPT, tool.dump())
        path = os.path.join(self.root, "now")
        open(path, "w").close()
        # The tool keeps running: the line can only be there if it was flushed.
        self.assertTrue(tool.wait_line(line("SHCNE_CREATE", path)), tool.dump())

    def test_control_signals_end_the_tool_with_that_signal(self):
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                tool = self.start(self.root)
                self.assertTrue(tool.arm(self.root), tool.dump())
                self.assertEqual(tool.stop(sig), -sig, tool.dump())

    def test_prompt_held_in_a_pipe_buffer_is_not_lost_on_ctrl_c(self):
        tool = self.start(self.root)
        self.assertTrue(tool.handles_control_events(), tool.dump())
        self.assertEqual(tool.lines, [], "nothing was flushed yet")
        self.assertEqual(tool.stop(signal.SIGINT), -signal.SIGINT)
        self.assertEqual(tool.lines, [PROMPT], tool.dump())

    def test_a_missing_path_is_told_on_standard_error(self):
        missing = os.path.join(self.root, "no", "such")
        tool = self.start(missing)
        found = tool.wait_for(lambda _: b"\n" in tool.err)
        self.assertTrue(found, tool.dump())
        err = tool.err.decode()
        self.assertIn(missing, err)
        self.assertEqual(err.count("\n"), 1, err)
        self.assertEqual(tool.proc.poll(), None, "the tool keeps running")
        tool.stop()
        self.assertEqual(tool.lines, [PROMPT], tool.dump())

    def test_a_relative_path_prints_absolute_paths_and_only_the_first_argument_counts(self):
        os.mkdir(os.path.join(self.root, "sub"))
        other = os.path.join(self.root, "other")
        os.mkdir(other)
        tool = self.start("sub", other, cwd=self.root)
        sub = os.path.join(self.root, "sub")
        self.assertTrue(tool.arm(sub), tool.dump())
        open(os.path.join(other, "ignored"), "w").close()
        open(os.path.join(sub, "seen"), "w").close()
        self.assertTrue(tool.wait_line(line("SHCNE_CREATE", os.path.join(sub, "seen"))),
                        tool.dump())
        self.assertFalse(any("ignored" in l for l in tool.lines), tool.dump())

    def test_a_symbolic_link_as_the_path_watches_the_folder_it_names(self):
        target = os.path.join(self.root, "target")
        os.mkdir(target)
        link = os.path.join(self.root, "link")
        os.symlink(target, link)
        tool = self.start(link)
        self.assertTrue(self.arm_on_any_line(tool, target), tool.dump())
        # The folder may be named as given or as the link resolves; either
        # names the same items.
        steps = [
            ("file created", "SHCNE_CREATE", "f", lambda p: open(p, "w").close()),
            ("folder created", "SHCNE_MKDIR", "d", os.mkdir),
            ("file deleted", "SHCNE_DELETE", "f", os.unlink),
        ]
        for name, event, item, act in steps:
            with self.subTest(name):
                act(os.path.join(target, item))
                either = [line(event, os.path.join(folder, item)) for folder in (link, target)]
                self.assertTrue(tool.wait_for(lambda lines: any(e in lines for e in either)),
                                "missing %s\n%s" % (either[0], tool.dump()))


if __name__ == "__main__":
    unittest.main()
