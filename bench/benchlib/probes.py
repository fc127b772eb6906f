"""Tells when a watcher is armed: files planted in watched directories show
up in its output.

Every pending directory gets a fresh, empty file (made with mknod, so it is
one inotify event whatever the watch mask) every interval, until a line
names it. The interval grows with the time already spent (2 %), so a slow
watcher is not buried under probe files and the error stays within 2 %.
"""
import os
import re
import stat
import time

PROBE_NAME = re.compile(rb"pq(\d+)x(\d+)")


class Probes:
    def __init__(self, directories):
        self.directories = list(directories)
        self.pending = set(range(len(self.directories)))
        self.seen_at = {}
        self.files = []
        self._tick = 0

    def plant(self):
        for index in sorted(self.pending):
            path = os.path.join(self.directories[index], f"pq{self._tick}x{index}")
            try:
                os.mknod(path, stat.S_IFREG | 0o644)
                self.files.append(path)
            except FileExistsError:
                pass
        self._tick += 1

    def notice(self, lines, now):
        for line in lines:
            for match in PROBE_NAME.finditer(line):
                index = int(match.group(2))
                if index in self.pending:
                    self.pending.discard(index)
                    self.seen_at[index] = now

    def done(self):
        return not self.pending

    def last_seen(self):
        return max(self.seen_at.values()) if self.seen_at else None

    def remove(self):
        for path in self.files:
            try:
                os.unlink(path)
            except OSError:
                pass
        self.files = []


class FileLines:
    """New complete lines of a file that a child writes to."""

    def __init__(self, path):
        self.path = path
        self._offset = 0
        self._partial = b""

    def __call__(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self._offset)
                data = f.read()
        except OSError:
            return []
        self._offset += len(data)
        lines = (self._partial + data).split(b"\n")
        self._partial = lines.pop()
        return lines


def interval(started, now):
    return max(0.01, 0.02 * (now - started))


def wait_armed(child, probes, deadline, new_lines=None):
    """Plants probes until each directory has been reported, or deadline.

    Returns the moment the last one was reported, None if the deadline came
    first or the child ended. new_lines defaults to the child's stdout."""
    new_lines = new_lines or child.out.new_lines
    next_plant = time.monotonic()
    while not probes.done():
        now = time.monotonic()
        if now >= deadline or child.exited():
            return None
        if now >= next_plant:
            probes.plant()
            next_plant = now + interval(child.started, now)
        child.pump(min(next_plant, deadline) - time.monotonic())
        probes.notice(new_lines(), time.monotonic())
    return probes.last_seen()


def wait_stderr(child, marker, deadline):
    """Waits until marker shows on the child's standard error."""
    while time.monotonic() < deadline and not child.exited():
        child.pump(0.01)
        if marker in child.err.text():
            return child.err.last_time
    return None
