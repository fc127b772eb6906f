// Pairs the two ends of a rename by the kernel's cookie, and keeps
// everything a move in progress carries: it is the one record of the move
// from its first end to its second, or to the moment it is known to have
// left the tree.
//
// IN_MOVED_FROM and IN_MOVED_TO of one rename are queued back to back, but a
// read can end between them. A FROM is therefore held until its TO comes; one
// that is still alone after the next read (or when no next read has anything)
// left the tree.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "content_tracker.h"

namespace posix {

struct DirNode;

struct MoveEnd {
    int wd = -1;
    uint32_t mask = 0;
    uint32_t cookie = 0;
    std::string name;
    // The item's path when it left.
    std::string path;
    // A watched folder's subtree, taken out of the tree until the move ends.
    DirNode* node = nullptr;
    // The content changes still to report below it, by relative path.
    ContentTracker::Parcel contents;
    // False when no line ever named the item: a new folder's listing had not
    // seen it, so its arrival is a creation and its leaving says nothing.
    bool told = true;
};

class RenamePairer {
  public:
    // Holds an IN_MOVED_FROM until its partner comes.
    void From(MoveEnd end);

    // For an IN_MOVED_TO: the held FROM with the same cookie, taken out, or
    // nothing when the item came from outside the tree.
    std::optional<MoveEnd> TakePartner(uint32_t cookie);

    // Marks the end of one read. FROMs held since before the previous read
    // ended found no partner in a whole further read: they are returned and
    // forgotten, oldest first.
    std::vector<MoveEnd> EndOfRead();

    // When nothing more can be read: every held FROM is returned.
    std::vector<MoveEnd> TakeAll();

    bool HasPending() const { return !m_pending.empty(); }

  private:
    struct Held {
        MoveEnd end;
        unsigned reads;  // reads that have ended since it came
    };
    std::vector<Held> m_pending;
};

}  // namespace posix
