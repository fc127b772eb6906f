"""Checks of the parts of bench/ whose faults would silently skew figures:
reading each watcher's lines, the probes, the tree's size, line splitting.

Run: python3 -m unittest discover -s bench/tests
"""
import os
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from benchlib import capture, probes, tree, watchers  # noqa: E402


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
