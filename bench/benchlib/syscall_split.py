"""Splits each file's latency into its steps, from a system-wide trace of
system calls and context switches (perf script --ns -F comm,tid,time,event,trace
of raw_syscalls:sys_enter, raw_syscalls:sys_exit and sched:sched_switch).

For each file the harness makes, the steps are: from its making until a
watcher's thread runs ("wake"); then, in that thread, the time in user space
before each system call and the time in each ("user>read", "read"), up to
the write of the line to standard output (or to a second open of it); then
until the harness runs again ("back") and until its read of the line
returns ("reader").
"""
import collections
import re

LINE = re.compile(r"^\s*(?P<comm>.+?)\s+(?P<tid>\d+)\s+(?:\[\d+\]\s+)?(?P<time>\d+\.\d+):\s+"
                  r"(?P<event>\S+):\s*(?P<rest>.*)$")
SYSCALL = re.compile(r"NR (\d+)(?: \(([0-9a-f]+)|)")
NEXT = re.compile(r"next_comm=(.+?) next_pid=(\d+)")

# x86-64 numbers of the calls that the watchers make on their way to a line.
NAMES = {0: "read", 1: "write", 7: "poll", 9: "mmap", 11: "munmap", 12: "brk", 16: "ioctl",
         20: "writev", 23: "select", 202: "futex",
         232: "epoll_wait", 259: "mknodat", 262: "newfstatat", 270: "pselect6", 281: "epoll_pwait",
         296: "pwritev", 328: "pwritev2", 441: "epoll_pwait2"}
MAKING = {259, 257, 133}  # mknodat, openat, mknod
WAITING = {0, 7, 23, 232, 270, 281, 441}  # the calls a watcher sleeps in
# A thread that makes more calls than this before its line was not woken
# for it alone (it was starting, or catching up).
MOST_CALLS = 8
WRITING = {1, 20, 296, 328}  # write, writev, pwritev, pwritev2


def parse(lines):
    """(comm, tid, time in us, kind, detail) per record: kind is 'enter' or
    'exit' with the call's number and first argument, or 'switch' with the
    thread switched to."""
    for line in lines:
        m = LINE.match(line)
        if not m:
            continue
        comm, tid, at = m["comm"], int(m["tid"]), float(m["time"]) * 1e6
        event, rest = m["event"], m["rest"]
        if event.endswith("sched_switch"):
            n = NEXT.search(rest)
            if n:
                yield comm, tid, at, "switch", (n[1], int(n[2]))
        elif event.endswith("sys_enter") or event.endswith("sys_exit"):
            s = SYSCALL.search(rest)
            if s:
                first = int(s[2], 16) if s[2] else None
                yield comm, tid, at, event.rsplit("_", 1)[1], (int(s[1]), first)


def split(records, harness_comm, watcher_comms):
    """{watcher comm: {step: [us per file]}}, for every file that the harness
    made and whose line one of the watchers wrote."""
    steps = collections.defaultdict(lambda: collections.defaultdict(list))
    harness = None
    file = None
    for comm, tid, at, kind, detail in records:
        if kind == "enter" and detail[0] in MAKING and comm == harness_comm:
            harness, file = tid, {"made": at, "steps": [], "thread": None}
            continue
        if file is None:
            continue
        if kind == "switch":
            next_comm, next_tid = detail
            if file["thread"] is None and next_comm in watcher_comms:
                file.update(thread=next_tid, comm=next_comm, last=at, woke=at)
            elif "written" in file and next_tid == harness and "back" not in file:
                file["back"] = at
            continue
        if tid != file["thread"]:
            if tid == harness and kind == "exit" and detail[0] == 0 and "back" in file:
                _record(steps[file["comm"]], file, at)
                file = None
            continue
        if "written" in file:
            continue
        name = NAMES.get(detail[0], str(detail[0]))
        if not file["steps"] and not (kind == "exit" and detail[0] in WAITING):
            file = None  # not woken from a wait for this file
            continue
        if kind == "enter":
            file["steps"].append((f"user>{name}", at - file["last"]))
            # Standard output, or a second open of it; not standard error.
            if detail[0] in WRITING and detail[1] != 2:
                file["written"] = at
        else:
            file["steps"].append((name if file["steps"] else "wait's return", at - file["last"]))
        if len(file["steps"]) > 2 * MOST_CALLS:
            file = None
            continue
        file["last"] = at
    return steps


def _record(steps, file, read_at):
    """Adds one file's steps; a call made twice on the way counts as one step."""
    steps["wake"].append(file["woke"] - file["made"])
    summed = collections.OrderedDict()
    for name, took in file["steps"]:
        if name == "user>write" or name.startswith("user>pwrite") or name == "user>writev":
            name = "user>the line's write"
        summed[name] = summed.get(name, 0.0) + took
    for name, took in summed.items():
        steps[name].append(took)
    steps["to the line"].append(file["written"] - file["woke"])
    steps["back"].append(file["back"] - file["written"])
    steps["reader"].append(read_at - file["back"])
    steps["all"].append(read_at - file["made"])
