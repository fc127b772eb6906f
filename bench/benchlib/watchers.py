"""The watchers under test: how to start each, and how to read its lines.

Each is started the way a user would start it to see every change below a
directory, with its output going to a pipe or a file.
"""
import dataclasses
import re
import typing

# Files the benchmarks create are named bf0000000, bf0000001, ...
# A name is the last part of a path: next comes a quote, a blank or the end.
BURST_NAME = re.compile(rb"(?:^|[/ ])(bf\d{7})(?=['\s]|$)")


@dataclasses.dataclass(frozen=True)
class Watcher:
    name: str
    argv: typing.Callable[[str], list]
    # A line that reports a new file contains this.
    create_marker: bytes
    # A line that reports a kernel queue overflow contains this (None: never).
    overflow_marker: typing.Optional[bytes]
    # After this long without output, the watcher is taken to have caught up.
    quiet_seconds: float = 1.0


def orvane(binary):
    return Watcher(
        name="orvane",
        argv=lambda root: [binary, root],
        create_marker=b"SHCNE_CREATE(",
        overflow_marker=b"SHCNE_UPDATEDIR(",
    )


INOTIFYWAIT = Watcher(
    name="inotifywait",
    argv=lambda root: ["inotifywait", "-m", "-r", root],
    create_marker=b" CREATE ",
    overflow_marker=b"Q_OVERFLOW",
)

# fswatch batches its output once per latency period (1 s by default).
FSWATCH = Watcher(
    name="fswatch",
    argv=lambda root: ["fswatch", "-m", "inotify_monitor", "-r", "-x", root],
    create_marker=b" Created",
    overflow_marker=b"Overflow",
    quiet_seconds=2.5,
)


def line_counts(watcher, output):
    """(distinct burst files reported as created, overflow lines, all lines)."""
    created = set()
    overflows = 0
    lines = output.split(b"\n")
    for line in lines:
        if watcher.create_marker in line:
            created.update(BURST_NAME.findall(line))
        if watcher.overflow_marker and watcher.overflow_marker in line:
            overflows += 1
    return len(created), overflows, sum(1 for line in lines if line)


def standard_set(orvane_binary):
    return [orvane(orvane_binary), INOTIFYWAIT, FSWATCH]
