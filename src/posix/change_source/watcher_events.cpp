// The change source's handling of one kernel event: which folders it is
// about, which line it makes, and how the tree of watched folders follows.
#include <sys/inotify.h>

#include <algorithm>
#include <shlobj.h>

#include "event_mapping.h"
#include "watcher.h"

namespace posix {
namespace {

using Known = ListingWindows::Known;

// The cookie under which the k-th folder of a shared watch pairs the ends of
// a move, so that each folder's move is a record of its own.
uint32_t OwnerCookie(uint32_t cookie, size_t k) {
    return k == 0 ? cookie : cookie ^ static_cast<uint32_t>(k * 0x9E3779B9u);
}

// The next folder that the watch stands for and that has not heard the
// event yet. Asked anew each time, as handling the event for one folder can
// take another out of the tree.
DirNode* NextOwner(const DirTree& tree, int wd, std::vector<const DirNode*>* done) {
    DirNode* node = tree.OwnerNotIn(wd, *done);
    if (node) done->push_back(node);
    return node;
}

}  // namespace

void Watcher::Handle(const InotifyEvent& event) {
    if (m_rootGone) return;  // nothing below it can be named truly any more
    if (event.mask & IN_Q_OVERFLOW) {
        const uint32_t mask = event.mask;  // its read is dropped below
        // What was queued before the tree is read anew is dropped: it may
        // have gaps, and the reading tells its outcome. The overflow is told
        // once the tree is watched again, so that whoever rereads it on this
        // line also sees every change made from then on.
        DropQueuedEvents();
        Rescan();
        Emit(ShellEventFromMask(mask), m_tree.Root()->name);
        return;
    }
    // Only events on an entry count as the next event for a move: a folder's
    // own events (IN_MOVE_SELF of each of two exchanged folders) come
    // between the halves of an exchange.
    if (!event.name.empty()) {
        ++m_serial;
        const bool takesDisplaced =
            (event.mask & IN_MOVED_FROM) && m_displaced.node && event.name == m_displaced.name;
        if (!takesDisplaced) DropDisplaced();
    }
    if (event.mask & IN_IGNORED) {
        ForgetWatch(event.wd);
        return;
    }
    const Known known =
        event.name.empty() ? Known::kUnknown : m_windows.Check(event.wd, event.name);
    std::vector<const DirNode*>& done = m_heard;
    done.clear();
    while (DirNode* node = NextOwner(m_tree, event.wd, &done)) {
        if (event.name.empty()) {
            HandleOnItself(node, event.mask);
        } else {
            HandleIn(node, event, known, OwnerCookie(event.cookie, done.size() - 1));
        }
    }
    if (event.mask & (IN_CREATE | IN_MOVED_TO)) m_windows.Add(event.wd, event.name);
    if (event.mask & (IN_DELETE | IN_MOVED_FROM)) m_windows.Remove(event.wd, event.name);
}

// The watch is gone (its folder deleted, or its file system unmounted):
// every folder it stood for goes with its subtree. The root stays.
void Watcher::ForgetWatch(int wd) {
    for (;;) {
        const std::vector<DirNode*> owners = m_tree.Owners(wd);
        auto below = std::find_if(owners.begin(), owners.end(),
                                  [](const DirNode* node) { return node->parent != nullptr; });
        if (below == owners.end()) return;
        Unwatch(m_tree.Remove(*below));
    }
}

// One event as it concerns one of the folders its watch stands for. While a
// listing of the folder is in its window, `known` says whether the lines so
// far hold the name, and a line that would say otherwise is not told.
void Watcher::HandleIn(DirNode* node, const InotifyEvent& event, Known known, uint32_t cookie) {
    const std::string name(event.name);
    std::string& path = m_eventPath;
    m_tree.PathOf(node, name, &path);
    const bool dir = event.mask & IN_ISDIR;
    const auto now = m_readTime;
    if (event.mask & IN_CREATE) {
        if (known == Known::kHeld) {  // the listing told it already
            if (!dir) m_contents.Created(path, now);
            return;
        }
        Emit(ShellEventFromMask(event.mask), path);
        if (dir && m_recursive) {
            WatchTree(m_tree.AddChild(node, name), true);
        } else if (!dir) {
            m_contents.Created(path, now);
        }
    } else if (event.mask & IN_MOVED_FROM) {
        MoveEnd end{event.wd,
                    event.mask,
                    cookie,
                    name,
                    path,
                    TakeMoving(node, name),
                    m_contents.Take(path),
                    known != Known::kNotHeld};
        m_held.Reserve(cookie);
        m_pairer.From(std::move(end));
    } else if (event.mask & IN_MOVED_TO) {
        HandleMovedTo(node, event, path, known, cookie);
    } else if (event.mask & IN_DELETE) {
        if (known != Known::kNotHeld) Emit(ShellEventFromMask(event.mask), path);
        if (DirNode* child = m_tree.Child(node, name)) Unwatch(m_tree.Remove(child));
        m_contents.Forget(path);
    } else if (event.mask & IN_ATTRIB) {
        if (dir || !m_contents.IsFresh(path, now)) Emit(ShellEventFromMask(event.mask), path);
        if (dir && m_recursive) WatchIfNowOpen(node, name, path);
    } else if (event.mask & IN_MODIFY) {
        if (!dir) m_contents.Modified(path, now);
    } else if ((event.mask & IN_CLOSE_WRITE) && m_contents.Closed(path)) {
        Emit(ShellEventFromMask(event.mask), path);
    }
}

// The folder that leaves with a move: the one a move just landed on when
// this is the other half of an exchange, else the child of that name. It
// leaves the tree at once, so nothing made in its place is mistaken for it
// and nothing done in it after it left is told under its old path.
DirNode* Watcher::TakeMoving(DirNode* parent, const std::string& name) {
    if (m_displaced.node && m_displaced.parent == parent && m_displaced.name == name) {
        DirNode* node = m_displaced.node;
        m_displaced = Displaced();
        return node;
    }
    return m_tree.TakeChild(parent, name);
}

// The line of a move's second end says what the lines so far make true: a
// rename from a told item to a name not yet told; a creation when the item
// was never told; only the old name's removal when a listing already told
// the new one; nothing when both hold already.
void Watcher::HandleMovedTo(DirNode* node, const InotifyEvent& event, const std::string& path,
                            Known known, uint32_t cookie) {
    const std::string name(event.name);
    const bool dir = event.mask & IN_ISDIR;
    const bool destTold = known == Known::kHeld;
    std::optional<MoveEnd> from = m_pairer.TakePartner(cookie);
    DirNode* moved = from ? from->node : nullptr;
    if (!from || !from->told) {
        const LONG line = destTold ? 0 : ShellEventFromMask(event.mask);
        if (from) {
            Settle(cookie, line, path);
        } else {
            Emit(line, path);
        }
    } else if (destTold) {
        Settle(cookie, ShellEventFromMask(from->mask), from->path);
    } else {
        Settle(cookie, ShellEventFromMask(event.mask | kPairedMove), from->path, &path);
        TellIfExchange(from->path, path);
    }
    if (from) m_contents.Put(from->contents, path);
    if (dir && m_recursive) {
        Land(node, name, moved, destTold);
    } else if (moved) {
        Unwatch(m_tree.Discard(moved));
    }
}

// Puts a folder that arrived by a move in the tree. One that a listing
// already watched stays as it is. Otherwise the folder there before is put
// aside (replaced, or the other half of an exchange), and whatever in the
// arrival is not watched yet is watched and listed now, its contents told
// as created.
void Watcher::Land(DirNode* parent, const std::string& name, DirNode* moved, bool told) {
    DirNode* existing = m_tree.Child(parent, name);
    if (told && existing && existing->wd >= 0) {
        if (moved) Unwatch(m_tree.Discard(moved));
        return;
    }
    if (existing) {
        DropDisplaced();
        m_displaced = Displaced{parent, name, m_tree.TakeChild(parent, name)};
    }
    DirNode* landed = moved;
    if (moved) {
        Unwatch(m_tree.Attach(moved, parent, name));
    } else {
        landed = m_tree.AddChild(parent, name);
    }
    WatchUnwatched(landed);
}

// Walks every folder in top's subtree that has no watch, reporting what it
// finds: a folder renamed before its watch was in place, or one that a
// walk could not open because it had moved meanwhile.
void Watcher::WatchUnwatched(DirNode* top) {
    std::vector<DirNode*> unwatched;
    std::vector<DirNode*> stack{top};
    while (!stack.empty()) {
        DirNode* node = stack.back();
        stack.pop_back();
        if (node->wd < 0) {
            unwatched.push_back(node);
            continue;
        }
        for (DirNode* child = node->firstChild; child; child = child->nextSibling) {
            stack.push_back(child);
        }
    }
    for (DirNode* node : unwatched) WatchTree(node, true);
}

// RENAME_EXCHANGE is told by the kernel as two moves back to back, each to
// the other's place; read as two renames they would leave one item where
// both are. Each place is therefore named again to be listed.
void Watcher::TellIfExchange(const std::string& from, const std::string& to) {
    const bool exchange =
        m_serial - m_lastMove.serial <= 2 && m_lastMove.from == to && m_lastMove.to == from;
    m_lastMove = LastMove{from, to, m_serial};
    if (!exchange) return;
    Emit(SHCNE_UPDATEDIR, from);
    Emit(SHCNE_UPDATEDIR, to);
    m_lastMove = LastMove();
}

void Watcher::DropDisplaced() {
    if (m_displaced.node) Unwatch(m_tree.Discard(m_displaced.node));
    m_displaced = Displaced();
}

void Watcher::HandleMoveOut(const MoveEnd& end) {
    Settle(end.cookie, end.told ? ShellEventFromMask(end.mask) : 0, end.path);
    if (end.node) Unwatch(m_tree.Discard(end.node));
}

void Watcher::FlushUnpaired(const std::vector<MoveEnd>& ends) {
    for (const MoveEnd& end : ends) HandleMoveOut(end);
}

}  // namespace posix
