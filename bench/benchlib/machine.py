"""Facts about the machine a run happened on, and where its temp trees go."""
import datetime
import os
import platform


def _read(path, default="?"):
    try:
        with open(path) as f:
            return f.read().strip()
    except OSError:
        return default


def inotify_limit(name):
    """One of /proc/sys/fs/inotify/{max_queued_events,max_user_watches,...}."""
    value = _read("/proc/sys/fs/inotify/" + name)
    return int(value) if value.isdigit() else None


def facts():
    """What the README's table records next to each set of figures."""
    return {
        "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        "nproc": os.cpu_count(),
        "kernel": platform.release(),
        "max_queued_events": inotify_limit("max_queued_events"),
        "max_user_watches": inotify_limit("max_user_watches"),
        "loadavg": _read("/proc/loadavg").split(" ")[0],
    }


def describe(info):
    return (f"{info['date']}, nproc {info['nproc']}, kernel {info['kernel']}, "
            f"max_queued_events {info['max_queued_events']}, "
            f"max_user_watches {info['max_user_watches']}, load {info['loadavg']}")


def _filesystem_type(path):
    """The type of the mount that holds path, from /proc/self/mounts."""
    best, kind = "", "?"
    for line in _read("/proc/self/mounts", "").splitlines():
        fields = line.split()
        mount = fields[1]
        inside = path == mount or path.startswith(mount.rstrip("/") + "/")
        if inside and len(mount) >= len(best):
            best, kind = mount, fields[2]
    return kind


def default_temp_base():
    """A tmpfs when there is one.

    Creating and deleting 200,000 files again and again on ext4 makes each
    later create slower: the inode allocator skips recently deleted inodes
    and scans for them, so a disk-backed /tmp measures ext4, not the
    watchers. tmpfs has no such memory between runs.
    """
    for candidate in ("/dev/shm", "/run/shm", "/tmp"):
        if os.path.isdir(candidate) and _filesystem_type(candidate) == "tmpfs":
            return candidate
    return "/tmp"


def filesystem_type(path):
    return _filesystem_type(os.path.realpath(path))
