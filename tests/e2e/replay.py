"""Replays the tool's lines onto a model of the watched tree.

The model starts as the tree on disk when the watch is armed. Each line then
changes it as a reader of the lines would: CREATE and MKDIR add an item,
DELETE and RMDIR remove one (a folder with its subtree), RENAMEITEM and
RENAMEFOLDER move one (a folder with its subtree), and UPDATEDIR(X) takes X's
subtree from disk again, as do DRIVEADD(X) and DRIVEREMOVED(X): a mount or an
unmount at X shows other contents there. Two things must hold: once the output has settled,
the model equals the tree on disk; and no line contradicts the lines before
it (a CREATE of an item the model holds, a DELETE or rename of one it does
not hold, a path outside the root, an empty path).

UPDATEDIR is read from disk when its line is replayed, which can be later
than the tool listed the folder. Lines below it that follow soon after may
then describe changes the model has already taken from disk, so below such a
folder a line is not held against the model until the output has been quiet,
and a move there of an item the model does not hold takes its destination
from disk.
"""

import os
import re
import time

LINE = re.compile(r"^(SHCNE_[A-Z]+)\('(.*)', '(.*)'\)$", re.S)
ESCAPE = re.compile(rb"\\([0-7]{3})")

ADDS = {"SHCNE_CREATE": False, "SHCNE_MKDIR": True}
REMOVES = {"SHCNE_DELETE": False, "SHCNE_RMDIR": True}
MOVES = {"SHCNE_RENAMEITEM": False, "SHCNE_RENAMEFOLDER": True}
REFRESHES = ("SHCNE_UPDATEDIR", "SHCNE_DRIVEADD", "SHCNE_DRIVEREMOVED")


def decode(text):
    """Undoes the tool's escaping: a backslash and three octal digits is one byte."""
    raw = os.fsencode(text)
    return os.fsdecode(ESCAPE.sub(lambda m: bytes([int(m.group(1), 8) & 0xFF]), raw))


def parse(text):
    """(event, path1, path2) of one line, paths decoded; None when it is not an event line."""
    match = LINE.match(text)
    if not match:
        return None
    return match.group(1), decode(match.group(2)), decode(match.group(3))


def read_disk(path):
    """The tree below path as nested dicts: a folder is a dict, anything else None."""
    tree = {}
    try:
        entries = list(os.scandir(path))
    except OSError:
        return tree
    for entry in entries:
        try:
            is_dir = entry.is_dir(follow_symlinks=False)
        except OSError:
            continue
        tree[entry.name] = read_disk(entry.path) if is_dir else None
    return tree


def flatten(tree, prefix=""):
    """Every item of a nested tree as relative path -> is a folder."""
    items = {}
    stack = [(prefix, tree)]
    while stack:
        base, node = stack.pop()
        for name, child in node.items():
            path = base + "/" + name if base else name
            items[path] = child is not None
            if child is not None:
                stack.append((path, child))
    return items


class Replay:
    """A model of the tree under root, fed with the tool's lines as they come."""

    def __init__(self, root):
        self.root = root
        self.tree = read_disk(root)
        self.contradictions = []
        self.swap = None  # a folder moved onto a full one: fine only as half of an exchange
        self.fuzzy = set()  # folders taken from disk again since the output was last quiet
        self.count = 0

    def relative(self, path):
        """Path relative to the root as a list of names, '' for the root, None outside it."""
        if path == self.root:
            return []
        prefix = self.root.rstrip("/") + "/"
        if not path.startswith(prefix) or path == prefix:
            return None
        parts = path[len(prefix):].split("/")
        return None if "" in parts else parts

    def lookup(self, parts):
        """(parent folder dict or None, name) for parts."""
        node = self.tree
        for name in parts[:-1]:
            node = node.get(name) if node is not None else None
            if node is None:
                return None, parts[-1]
        return node, parts[-1]

    def is_fuzzy(self, parts):
        return any("/".join(parts[:depth]) in self.fuzzy for depth in range(len(parts) + 1))

    def calm(self):
        """The output has been quiet: every line from now on is held against the model."""
        self.fuzzy.clear()

    def contradict(self, text, why, parts):
        if parts is not None and self.is_fuzzy(parts):
            return
        self.contradictions.append("%s: %s" % (text, why))

    def feed(self, lines):
        for text in lines:
            self.count += 1
            self.apply(text)

    def apply(self, text):
        parsed = parse(text)
        swap, self.swap = self.swap, None
        if swap and not (parsed and parsed[0] == "SHCNE_RENAMEFOLDER" and
                         (self.relative(parsed[1]), self.relative(parsed[2])) == swap[1:]):
            self.contradict(swap[0], "replaces a folder that is not empty", swap[1])
        if not parsed:
            if text.startswith("SHCNE_"):
                self.contradictions.append("%s: not a well-formed line" % text)
            return
        event, path1, path2 = parsed
        if not path1:
            self.contradictions.append("%s: empty path" % text)
            return
        parts = self.relative(path1)
        if parts is None:
            self.contradictions.append("%s: outside the root" % text)
            return
        if event in REFRESHES:
            self.refresh(parts)
        elif event in ADDS:
            self.add(text, parts, ADDS[event])
        elif event in REMOVES:
            self.remove(text, parts, REMOVES[event])
        elif event in MOVES:
            target = self.relative(path2)
            if not path2 or target is None:
                self.contradictions.append("%s: second path empty or outside the root" % text)
                return
            self.move(text, parts, target, MOVES[event])

    def refresh(self, parts, mark=True):
        if mark:
            self.fuzzy.add("/".join(parts))
        path = os.path.join(self.root, *parts)
        if not parts:
            self.tree = read_disk(path)
            return
        parent, name = self.lookup(parts)
        if parent is None:
            return
        if os.path.isdir(path) and not os.path.islink(path):
            parent[name] = read_disk(path)
        elif os.path.lexists(path):
            parent[name] = None
        else:
            parent.pop(name, None)

    def add(self, text, parts, is_dir):
        if not parts:
            return self.contradict(text, "the root itself", parts)
        parent, name = self.lookup(parts)
        if parent is None:
            return self.contradict(text, "its folder is not held", parts)
        if name in parent:
            self.contradict(text, "already held", parts)
            if (parent[name] is not None) == is_dir:
                return
        parent[name] = {} if is_dir else None

    def remove(self, text, parts, is_dir):
        if not parts:
            self.tree = {}
            return
        parent, name = self.lookup(parts)
        if parent is None or name not in parent:
            return self.contradict(text, "not held", parts)
        if (parent[name] is not None) != is_dir:
            self.contradict(text, "held as a %s" % ("folder" if parent[name] is not None else "file"),
                            parts)
        del parent[name]

    def move(self, text, parts, target, is_dir):
        if not parts or not target:
            return self.contradict(text, "moves the root", parts)
        parent, name = self.lookup(parts)
        if parent is None or name not in parent:
            if self.is_fuzzy(parts):
                # Older than the disk read that took the folder again, or
                # missed by it (a directory read while entries are renamed
                # can miss one): the disk says which.
                return self.refresh(target, mark=False) if target else None
            self.contradict(text, "source not held", parts)
            item = {} if is_dir else None
        else:
            item = parent.pop(name)
            if (item is not None) != is_dir:
                self.contradict(text, "source held as another kind", parts)
        new_parent, new_name = self.lookup(target)
        if new_parent is None:
            return self.contradict(text, "destination folder not held", target)
        # A rename onto an existing item replaces it, as rename(2) does; a
        # folder only an empty one, unless the next line moves that one back
        # to the source: then the two were exchanged.
        if new_parent.get(new_name):
            self.swap = (text, target, parts)
        new_parent[new_name] = item

    def differences(self, limit=20):
        """What the model and the disk disagree on, as readable lines (empty when equal)."""
        model, disk = flatten(self.tree), flatten(read_disk(self.root))
        out = []
        for path in sorted(set(model) | set(disk)):
            if model.get(path) != disk.get(path):
                def kind(value):
                    return "absent" if value is None else ("folder" if value else "file")
                out.append("%s: model %s, disk %s" % (path, kind(model.get(path)), kind(disk.get(path))))
        return out[:limit] + (["... %d more" % (len(out) - limit)] if len(out) > limit else [])


class Oracle:
    """Feeds one running tool's lines into a Replay as they arrive."""

    def __init__(self, tool, root):
        self.tool = tool
        self.replay = Replay(root)
        self.seen = len(tool.lines)

    def pump(self, timeout):
        self.tool.wait_for(lambda lines: False, timeout)
        fresh = self.tool.lines[self.seen:]
        self.seen = len(self.tool.lines)
        self.replay.feed(fresh)
        return len(fresh)

    def settle(self, deadline=15.0, quiet=0.5, cap=120.0):
        """Reads until the output has been quiet for `quiet` seconds and the
        model equals the disk. Gives up once no line has come for `deadline`
        seconds (a slow tool still writing is waited for, up to `cap`).
        Returns the differences left and the contradictions found."""
        start = last = time.monotonic()
        while True:
            if self.pump(0.1):
                last = time.monotonic()
            now = time.monotonic()
            late = now - last >= deadline or now - start >= cap
            if now - last >= quiet:
                self.replay.calm()
                diffs = self.replay.differences()
                if not diffs or late:
                    return diffs, list(self.replay.contradictions)
            elif late:
                return self.replay.differences(), list(self.replay.contradictions)
