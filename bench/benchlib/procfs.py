"""What /proc tells about a running watcher: memory, CPU ticks, watches."""
import os

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def memory_kib(pid):
    """{'VmRSS': kib, 'VmHWM': kib} from /proc/PID/status."""
    found = {}
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                key, _, rest = line.partition(":")
                if key in ("VmRSS", "VmHWM"):
                    found[key] = int(rest.split()[0])
    except OSError:
        pass
    return found


def cpu_ticks(pid):
    """utime + stime of the whole process, in clock ticks (None once gone)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    # After the command name: state is field 3, utime 14 and stime 15.
    return int(fields[11]) + int(fields[12])


def cpu_ns(pid):
    """On-CPU time of all the process's live threads, in nanoseconds: finer
    than the clock ticks of /proc/PID/stat, which short measures need."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass
    return total


def _inotify_fds(pid):
    try:
        names = os.listdir(f"/proc/{pid}/fd")
    except OSError:
        return []
    fds = []
    for name in names:
        try:
            if os.readlink(f"/proc/{pid}/fd/{name}") == "anon_inode:inotify":
                fds.append(name)
        except OSError:
            pass
    return fds


def inotify_watches(pid):
    """Number of inotify watches the process holds, over all its instances."""
    total = 0
    for fd in _inotify_fds(pid):
        try:
            with open(f"/proc/{pid}/fdinfo/{fd}", "rb") as f:
                total += f.read().count(b"inotify wd:")
        except OSError:
            pass
    return total
