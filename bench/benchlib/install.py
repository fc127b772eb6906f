"""Installs the watchers and the compiler the benchmarks need, when missing."""
import os
import shutil
import subprocess
import sys

# Command that must exist -> Debian package that provides it.
NEEDED = {"inotifywait": "inotify-tools", "fswatch": "fswatch", "cc": "gcc"}


def _as_root(argv):
    if os.geteuid() == 0:
        return argv
    if shutil.which("sudo"):
        return ["sudo", "-n"] + argv
    return None


def ensure_packages():
    """apt-get update, then apt-get install for whatever is missing."""
    missing = sorted({pkg for cmd, pkg in NEEDED.items() if not shutil.which(cmd)})
    if not missing:
        return
    if "gcc" in missing:
        missing.append("libc6-dev")
    print(f"installing {' '.join(missing)} with apt-get", file=sys.stderr)
    update = _as_root(["apt-get", "update"])
    install = _as_root(["apt-get", "install", "-y", "--no-install-recommends"] + missing)
    if update is None:
        sys.exit(f"bench: need root or sudo to install {' '.join(missing)}")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(update, check=True, env=env, timeout=600)
    subprocess.run(install, check=True, env=env, timeout=900)
