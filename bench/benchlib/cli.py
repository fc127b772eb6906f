"""Options and start-up common to the benchmark scripts."""
import argparse
import os
import shutil
import signal
import sys
import tempfile

from . import capture, install, machine, native, watchers


# No account uses it; any unused id would do.
BENCH_UID = 64123


def parser(description):
    p = argparse.ArgumentParser(description=description)
    p.add_argument("--orvane", default=native.default_orvane(),
                   help="Orvane binary (default: $ORVANE, else build/linux-release/orvane "
                        "when built, else build/linux/orvane)")
    p.add_argument("--rounds", type=int, default=3,
                   help="runs per tool; each figure is the median (default 3)")
    p.add_argument("--tmp", default=None,
                   help="where temp trees go (default: a tmpfs such as /dev/shm)")
    p.add_argument("--tools", default="orvane,inotifywait,fswatch",
                   help="comma-separated watchers to run")
    p.add_argument("--json", default=None, help="also write the figures here")
    p.add_argument("--uid", default="auto",
                   help="run the watchers as this user id, so that inotify's per-user limits "
                        "are theirs alone; 'auto' (default) is %d when run as root, "
                        "'same' keeps the caller's" % BENCH_UID)
    return p


def _choose_uid(option):
    if option == "same" or (option == "auto" and os.geteuid() != 0):
        return None
    return BENCH_UID if option == "auto" else int(option)


def fresh_dir(prefix, parent):
    """A new temp directory that the watchers' user can read."""
    path = tempfile.mkdtemp(prefix=prefix, dir=parent)
    os.chmod(path, 0o755)
    return path


def _stop_on_sigterm():
    # Turn SIGTERM (timeout(1), a CI runner) into an exception so that the
    # finally blocks kill the watchers and remove the temp trees.
    def raise_interrupt(signo, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, raise_interrupt)


def setup(args):
    """Installs what is missing; returns (watchers to run, fresh temp dir)."""
    _stop_on_sigterm()
    install.ensure_packages()
    chosen = args.tools.split(",")
    tools = [w for w in watchers.standard_set(args.orvane) if w.name in chosen]
    if "orvane" in chosen and not os.access(args.orvane, os.X_OK):
        print(f"bench: no Orvane binary at {args.orvane}; skipping it", file=sys.stderr)
        tools = [w for w in tools if w.name != "orvane"]
    capture.run_as_uid = _choose_uid(args.uid)
    base = args.tmp or machine.default_temp_base()
    scratch = fresh_dir("orvane-bench.", base)
    return tools, scratch


def cleanup(scratch):
    shutil.rmtree(scratch, ignore_errors=True)


def rotated(items, round_index):
    """The run order of one round; it changes each round to spread drift."""
    k = round_index % len(items) if items else 0
    return items[k:] + items[:k]


def run(main):
    """Calls main; an interrupt (Ctrl+C, SIGTERM) ends it with one line."""
    try:
        main()
    except KeyboardInterrupt:
        sys.exit("bench: interrupted; watchers stopped and temp trees removed")
