"""The release build's profile run (cmake/profile-run.sh) never holds the
build back or fails it: against the real tool, which is not instrumented and
so records nothing, and against programs that cannot watch, it ends within
its bounds, exits 0, says that the build is not profile-optimized, clears
stale records and leaves no scratch behind."""

import os
import subprocess
import tempfile
import time
import unittest

from harness import ORVANE

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../cmake/profile-run.sh")
UNPROFILED = "the build is not profile-optimized"
NEVER_ARMED = "never reported a change"
RECORDED_NOTHING = "recorded nothing"


class ProfileRunTest(unittest.TestCase):
    def run_script(self, program, most_seconds, told):
        scratch = tempfile.TemporaryDirectory(prefix="orvane-profile-")
        self.addCleanup(scratch.cleanup)
        data = os.path.join(scratch.name, "data")
        os.mkdir(data)
        stale = os.path.join(data, "stale.gcda")
        open(stale, "w").close()
        tmp = os.path.join(scratch.name, "tmp")
        os.mkdir(tmp)
        start = time.monotonic()
        done = subprocess.run(["sh", SCRIPT, program, data], env={**os.environ, "TMPDIR": tmp},
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=most_seconds + 30)
        took = time.monotonic() - start
        report = "took %.1f s\nstdout: %s\nstderr: %s" % (took, done.stdout, done.stderr)
        self.assertEqual(done.returncode, 0, report)
        self.assertLess(took, most_seconds, report)
        self.assertIn(UNPROFILED, done.stderr, report)
        self.assertIn(told, done.stderr, report)
        self.assertFalse(os.path.exists(stale), "stale record kept\n" + report)
        self.assertEqual(os.listdir(tmp), [], "scratch left behind\n" + report)

    def test_programs_that_record_nothing(self):
        stubborn_dir = tempfile.TemporaryDirectory(prefix="orvane-stubborn-")
        self.addCleanup(stubborn_dir.cleanup)
        ignores_ctrl_c = os.path.join(stubborn_dir.name, "stubborn")
        with open(ignores_ctrl_c, "w") as f:
            f.write("#!/bin/sh\ntrap '' INT\nwhile :; do sleep 0.1; done\n")
        os.chmod(ignores_ctrl_c, 0o755)
        rows = [
            # (what, program, the most seconds it may take, what it says)
            ("the real tool, not instrumented, watching the whole run", ORVANE, 90,
             RECORDED_NOTHING),
            ("a program that ends at once", "/bin/false", 5, NEVER_ARMED),
            ("a program that never watches nor ends on Ctrl+C", ignores_ctrl_c, 40, NEVER_ARMED),
        ]
        for what, program, most, told in rows:
            with self.subTest(what):
                self.run_script(program, most, told)


if __name__ == "__main__":
    unittest.main()
