"""Builds the small C helpers of bench/ with cc, outside the source tree."""
import os
import subprocess

BENCH_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPO_DIR = os.path.dirname(BENCH_DIR)
BUILD_DIR = os.path.join(REPO_DIR, "build", "bench")


def helper(name):
    """Path of build/bench/<name>, rebuilt when bench/<name>.c or a header
    of bench/ is newer."""
    source = os.path.join(BENCH_DIR, name + ".c")
    binary = os.path.join(BUILD_DIR, name)
    headers = [os.path.join(BENCH_DIR, f) for f in os.listdir(BENCH_DIR) if f.endswith(".h")]
    newest = max(os.path.getmtime(f) for f in [source] + headers)
    fresh = os.path.exists(binary) and os.path.getmtime(binary) >= newest
    if not fresh:
        os.makedirs(BUILD_DIR, exist_ok=True)
        subprocess.run(["cc", "-O2", "-Wall", "-Wextra", "-Werror", "-o", binary, source],
                       check=True, timeout=120)
    return binary


def default_orvane():
    """The shipped build, which linux-release makes (optimized with a profile of
    its own run), when it is there; else the linux preset's."""
    if "ORVANE" in os.environ:
        return os.environ["ORVANE"]
    release = os.path.join(REPO_DIR, "build", "linux-release", "orvane")
    return release if os.path.exists(release) else os.path.join(REPO_DIR, "build", "linux", "orvane")
