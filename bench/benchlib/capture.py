"""Runs one watcher as a child and collects what it writes, with timestamps.

Output is read in large chunks from pipes enlarged to 1 MiB, with a short
pause after each read so that chunks batch up: the harness then costs the
machine little next to the watcher it measures, and each chunk's arrival
time is still known to a few milliseconds.
"""
import ctypes
import fcntl
import os
import select
import signal
import stat
import subprocess
import time

PIPE_SIZE = 1 << 20
BATCH_PAUSE = 0.002


PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)

# The user the watchers run as (None: the harness's own). inotify's limits
# on watches and instances are per user, so a user of their own keeps the
# watchers clear of whatever else the machine's users are watching.
run_as_uid = None


def _prepare_child():
    # A shell without job control starts background commands with SIGINT
    # ignored; the watchers are stopped with Ctrl+C's signal, so undo that.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    # If the harness itself is killed, its watchers must not outlive it.
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    if run_as_uid is not None:
        # The output pipe becomes the watcher's user's, as the pipe of a
        # pipeline started from that user's shell is.
        if stat.S_ISFIFO(os.fstat(1).st_mode):
            os.fchown(1, run_as_uid, run_as_uid)
        os.setgroups([])
        os.setgid(run_as_uid)
        os.setuid(run_as_uid)


class Stream:
    """One output of the child: its chunks, when each came, and new lines."""

    def __init__(self, pipe):
        self.fd = pipe.fileno()
        self.pipe = pipe
        os.set_blocking(self.fd, False)
        try:
            fcntl.fcntl(self.fd, fcntl.F_SETPIPE_SZ, PIPE_SIZE)
        except OSError:
            pass
        self.chunks = []
        self.last_time = None
        self.open = True
        self._partial = b""
        self._seen = 0

    def drain(self, now):
        """Reads everything the pipe holds; False when nothing was there."""
        got = False
        while self.open:
            try:
                data = os.read(self.fd, PIPE_SIZE)
            except BlockingIOError:
                break
            if not data:
                self.open = False
                break
            got = True
            self.chunks.append(data)
            self.last_time = now
        return got

    def text(self):
        return b"".join(self.chunks)

    def new_lines(self):
        """Complete lines that arrived since the last call."""
        pending = b"".join(self.chunks[self._seen:])
        self._seen = len(self.chunks)
        lines = (self._partial + pending).split(b"\n")
        self._partial = lines.pop()
        return lines


class Child:
    """A watcher (or any command) started now, its output captured."""

    def __init__(self, argv, stdout_path=None):
        self.argv = argv
        self.started = time.monotonic()
        out = open(stdout_path, "wb") if stdout_path else subprocess.PIPE
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out,
                                     stderr=subprocess.PIPE, preexec_fn=_prepare_child)
        if stdout_path:
            out.close()
        self.out = Stream(self.proc.stdout) if not stdout_path else None
        self.err = Stream(self.proc.stderr)
        self.status = None
        self.rusage = None

    @property
    def pid(self):
        return self.proc.pid

    def streams(self):
        return [s for s in (self.out, self.err) if s and s.open]

    def pump(self, timeout):
        """Waits up to timeout for output and reads it; True if any came."""
        live = self.streams()
        if not live:
            time.sleep(max(0.0, timeout))
            return False
        ready, _, _ = select.select([s.fd for s in live], [], [], max(0.0, timeout))
        now = time.monotonic()
        got = False
        for stream in live:
            if stream.fd in ready:
                got = stream.drain(now) or got
        if got:
            time.sleep(BATCH_PAUSE)
        return got

    def pump_for(self, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self.pump(deadline - time.monotonic())

    def exited(self):
        """Reaps the child if it has ended, keeping its resource usage."""
        if self.status is None:
            pid, status, usage = os.wait4(self.pid, os.WNOHANG)
            if pid == self.pid:
                self._reaped(status, usage)
        return self.status is not None

    def _reaped(self, status, usage):
        self.status = os.waitstatus_to_exitcode(status)
        self.proc.returncode = self.status
        self.rusage = usage

    def stop(self, grace=3.0):
        """SIGINT, then SIGTERM, then SIGKILL, reading output meanwhile.

        Returns the child's CPU seconds (user + system, all its threads)."""
        for signo in (signal.SIGINT, signal.SIGTERM, signal.SIGKILL):
            if self.exited():
                break
            os.kill(self.pid, signo)
            deadline = time.monotonic() + grace
            while not self.exited() and time.monotonic() < deadline:
                self.pump(0.02)
        while not self.exited():
            time.sleep(0.01)
        while self.streams():
            if not self.pump(0.2):
                break
        for stream in (self.out, self.err):
            if stream:
                stream.pipe.close()
        return self.cpu_seconds()

    def cpu_seconds(self):
        if self.rusage is None:
            return None
        return self.rusage.ru_utime + self.rusage.ru_stime

    def stderr_tail(self, limit=200):
        text = self.err.text().decode(errors="replace").strip()
        return text[-limit:]
