// Pairs the two ends of a rename by the kernel's cookie.
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

namespace posix {

struct MoveEnd {
    int wd;
    uint32_t mask;
    uint32_t cookie;
    std::string name;
};

class RenamePairer {
  public:
    // Holds an IN_MOVED_FROM until its partner comes.
    void From(int wd, uint32_t mask, uint32_t cookie, std::string name);

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
