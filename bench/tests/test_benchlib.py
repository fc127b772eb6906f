"""Checks of the parts of bench/ whose faults would silently skew figures:
reading each watcher's lines, the probes, the tree's size, line splitting.

Run: python3 -m unittest discover -s bench/tests
"""
import os
import random
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from benchlib import capture, probes, report, syscall_split, tree, watchers  # noqa: E402


class LineCountsTest(unittest.TestCase):
    """Each watcher's own way of saying a file was created, or overflowed."""

    CASES = [
        # (name, watcher, output, created, overflows, lines)
        ("orvane create", watchers.orvane("x"),
         b"Press Ctrl+C to quit\nSHCNE_CREATE('/d/bf0000001', '')\n", 1, 0, 2),
        ("orvane rename is no create", watchers.orvane("x"),
         b"SHCNE_RENAMEITEM('/d/bf0000001', '/d/bf0000002')\n", 0, 0, 1),
        ("orvane overflow", watchers.orvane("x"), b"SHCNE_UPDATEDIR('/d', '')\n", 0, 1, 1),
        ("orvane same file twice counts once", watchers.orvane("x"),
         b"SHCNE_CREATE('/d/bf0000001', '')\nSHCNE_CREATE('/d/bf0000001', '')\n", 1, 0, 2),
        ("inotifywait create among open and close", watchers.INOTIFYWAIT,
         b"/d/ CREATE bf0000007\n/d/ OPEN bf0000007\n/d/ CLOSE_WRITE,CLOSE bf0000007\n", 1, 0, 3),
        ("inotifywait directory in the path is no file", watchers.INOTIFYWAIT,
         b"/d/bf0000009/ CREATE x\n", 0, 0, 1),
        ("inotifywait overflow", watchers.INOTIFYWAIT, b" Q_OVERFLOW \n", 0, 1, 1),
        ("fswatch created", watchers.FSWATCH,
         b"/d/bf0000003 Created\n/d/bf0000003 PlatformSpecific\n/d/bf0000003 Updated\n", 1, 0, 3),
        ("fswatch longer name is no burst file", watchers.FSWATCH,
         b"/d/bf00000031 Created\n", 0, 0, 1),
        ("fswatch overflow", watchers.FSWATCH, b"/d Overflow\n", 0, 1, 1),
    ]

    def test_cases(self):
        for name, watcher, output, created, overflows, lines in self.CASES:
            with self.subTest(name):
                self.assertEqual(watchers.line_counts(watcher, output),
                                 (created, overflows, lines))


class MedianBoundsTest(unittest.TestCase):
    """The median of paired differences and the ranks that bound it."""

    CASES = [
        # (name, values, median, low, high)
        ("none", [], None, None, None),
        ("one", [3.0], 3.0, 3.0, 3.0),
        ("order does not matter", [5, 1, 4, 2, 3], 3, 1, 5),
        ("100 values: ranks 40 and 59", list(range(100)), 49.5, 40, 59),
        ("all equal", [0.5] * 1000, 0.5, 0.5, 0.5),
    ]

    def test_cases(self):
        for name, values, median, low, high in self.CASES:
            with self.subTest(name):
                got = report.median_with_bounds(values)
                self.assertEqual(got, None if median is None else (median, low, high))

    def test_the_bounds_hold_the_true_median_about_95_times_in_100(self):
        rng = random.Random(7)
        held = 0
        for _ in range(400):
            _, low, high = report.median_with_bounds([rng.gauss(0, 1) for _ in range(301)])
            held += low <= 0 <= high
        self.assertGreaterEqual(held, 370)
        self.assertLessEqual(held, 396)


class TreeTest(unittest.TestCase):
    def test_shape_adds_up_to_the_total(self):
        for total in (0, 1, 2, 3, 7, 1000, 12345, 100000):
            with self.subTest(total=total):
                top, middle, (per_mid, extra) = tree.shape(total)
                leaves = top * middle * per_mid + extra
                self.assertEqual(top + top * middle + leaves, total)

    def test_make_creates_exactly_the_total(self):
        with tempfile.TemporaryDirectory() as root:
            deepest = tree.make(root, 500)
            made = sum(len(dirs) for _, dirs, _ in os.walk(root))
            self.assertEqual(made, 500)
            self.assertTrue(all(d.count(os.sep) == root.count(os.sep) + 3 for d in deepest))


class ProbesTest(unittest.TestCase):
    def test_notice_marks_only_named_directories_and_remove_cleans_up(self):
        with tempfile.TemporaryDirectory() as root:
            dirs = [os.path.join(root, n) for n in ("a", "b")]
            for d in dirs:
                os.mkdir(d)
            sample = probes.Probes(dirs)
            sample.plant()
            sample.notice([b"SHCNE_CREATE('%s/pq0x1', '')" % root.encode()], 5.0)
            self.assertEqual(sample.pending, {0})
            self.assertEqual(sample.last_seen(), 5.0)
            sample.plant()
            self.assertEqual(len(sample.files), 3)
            sample.remove()
            self.assertEqual(os.listdir(dirs[0]) + os.listdir(dirs[1]), [])


class LineSplittingTest(unittest.TestCase):
    """A line split across two reads must come out whole, once."""

    def test_file_lines_keep_a_partial_line_for_later(self):
        with tempfile.NamedTemporaryFile() as f:
            read = probes.FileLines(f.name)
            f.write(b"one\ntw")
            f.flush()
            self.assertEqual(read(), [b"one"])
            f.write(b"o\n")
            f.flush()
            self.assertEqual(read(), [b"two"])

    def test_child_stream_new_lines(self):
        child = capture.Child(["sh", "-c", "printf 'a\\nb'; sleep 0.2; printf 'c\\n'"])
        got = []
        while not child.exited() or child.streams():
            if not child.pump(0.5) and child.exited():
                break
            got += child.out.new_lines()
        child.stop()
        got += child.out.new_lines()
        self.assertEqual(got, [b"a", b"bc"], child.out.text())


class CHelpersTest(unittest.TestCase):
    """The reader counts what the creator makes, one event per mknod; the
    printer tells each as a line."""

    def test_reader_counts_every_file_made(self):
        from benchlib import native
        with tempfile.TemporaryDirectory() as root:
            reader = capture.Child([native.helper("inotify_count"), root])
            self.assertIsNotNone(probes.wait_stderr(reader, b"armed", reader.started + 10))
            made = subprocess.run([native.helper("burst_create"), root, "1000", "mknod"],
                                  capture_output=True, check=True)
            self.assertIn(b"created 1000", made.stdout)
            reader.pump_for(0.3)
            reader.stop()
            # The creator's own open and close of the directory come on top.
            self.assertEqual(reader.out.text().split()[:2], [b"events", b"1002"],
                             reader.out.text())

    def test_printer_tells_every_file_made_as_a_line(self):
        from benchlib import native
        with tempfile.TemporaryDirectory() as root:
            printer = capture.Child([native.helper("inotify_print"), root])
            self.assertIsNotNone(probes.wait_stderr(printer, b"armed", printer.started + 10))
            subprocess.run([native.helper("burst_create"), root, "1000", "mknod"],
                           capture_output=True, check=True)
            created = []
            deadline = time.monotonic() + 10
            while len(created) < 1000 and time.monotonic() < deadline:
                printer.pump(0.1)
                created += [line for line in printer.out.new_lines()
                            if line.startswith(b"SHCNE_CREATE('")]
            printer.stop()
            self.assertEqual(len(created), 1000, printer.out.text()[-2000:])
            self.assertTrue(all(line.startswith(b"SHCNE_CREATE('" + root.encode() + b"/")
                                and line.endswith(b"', '')") for line in created),
                            created[:3])


if __name__ == "__main__":
    unittest.main()


class SyscallSplitTest(unittest.TestCase):
    """Each file's latency split into steps from a trace: a step that is
    missed or misplaced would blame the wrong part of a watcher."""

    @staticmethod
    def enter(comm, tid, at, nr, first):
        return f"  {comm} {tid} {at:.9f}: raw_syscalls:sys_enter: NR {nr} ({first:x}, 0, 0)"

    @staticmethod
    def exit(comm, tid, at, nr):
        return f"  {comm} {tid} {at:.9f}:  raw_syscalls:sys_exit: NR {nr} = 0"

    @staticmethod
    def switch(comm, tid, at, to_comm, to_tid):
        return (f"  {comm} {tid} {at:.9f}: sched:sched_switch: prev_comm={comm} prev_pid={tid} "
                f"prev_prio=120 prev_state=S ==> next_comm={to_comm} next_pid={to_tid} "
                f"next_prio=120")

    def one_file(self, watcher_calls, write_fd=1):
        """A harness (tid 10) makes a file at 1.000000 s; the watcher (tid
        20) is switched in 10 us later and makes watcher_calls, each a
        (number, user us before it, us in it); then it writes to write_fd
        and the harness runs and reads."""
        at = 1.0
        lines = [self.enter("latency", 10, at, 259, 0),
                 self.switch("latency", 10, at + 10e-6, "orvane", 20)]
        t = at + 10e-6
        for nr, user, kernel in watcher_calls:
            if user is None:  # the wait it was sleeping in returns
                t += kernel * 1e-6
                lines.append(self.exit("orvane", 20, t, nr))
                continue
            t += user * 1e-6
            lines.append(self.enter("orvane", 20, t, nr, 4))
            t += kernel * 1e-6
            lines.append(self.exit("orvane", 20, t, nr))
        t += 2e-6
        lines.append(self.enter("orvane", 20, t, 328, write_fd))
        lines.append(self.switch("orvane", 20, t + 3e-6, "latency", 10))
        lines.append(self.exit("latency", 10, t + 8e-6, 0))
        return lines

    def steps(self, lines):
        split = syscall_split.split(syscall_split.parse(lines), "latency", {"orvane"})
        return {name: values for name, values in split.get("orvane", {}).items()}

    def test_cases(self):
        woken = (232, None, 4)
        cases = [
            # (name, watcher calls, write fd, expected steps in us; None: no file)
            ("woken, reads, writes", [woken, (0, 1, 2)], 1,
             {"wake": 10, "wait's return": 4, "user>read": 1, "read": 2,
              "user>the line's write": 2, "to the line": 9, "back": 3, "reader": 5, "all": 27}),
            ("a call made twice is one step", [woken, (0, 1, 2), (0, 1, 2)], 1,
             {"user>read": 2, "read": 4, "to the line": 12}),
            ("not woken from a wait: no file", [(0, 1, 2)], 1, None),
            ("a write to standard error is no line", [woken, (0, 1, 2)], 2, None),
            ("a write to a second open of standard output", [woken, (0, 1, 2)], 5,
             {"user>the line's write": 2, "to the line": 9}),
            ("woken from its read", [(0, None, 4)], 1,
             {"wait's return": 4, "user>the line's write": 2, "to the line": 6, "all": 24}),
            ("too many calls: no file", [woken] + [(0, 1, 1)] * 9, 1, None),
        ]
        for name, calls, fd, expected in cases:
            with self.subTest(name):
                got = self.steps(self.one_file(calls, fd))
                if expected is None:
                    self.assertEqual(got, {})
                    continue
                for step, value in expected.items():
                    self.assertEqual(len(got[step]), 1, step)
                    self.assertAlmostEqual(got[step][0], value, places=3, msg=step)

    def test_other_processes_and_threads_are_ignored(self):
        lines = self.one_file([(232, None, 4), (0, 1, 2)])
        noise = [self.enter("bash", 99, 1.0000005, 259, 0), self.enter("orvane", 21, 1.000011, 0, 4)]
        got = self.steps(lines[:1] + noise + lines[1:])
        self.assertAlmostEqual(got["all"][0], 27, places=3)
