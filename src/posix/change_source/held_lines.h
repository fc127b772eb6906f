// Keeps the lines in the order of the changes they stand for while a
// rename's first end (IN_MOVED_FROM) waits for its partner. Whether that end
// becomes a rename or a deletion is known only later, so it holds a place,
// and every line that comes after it waits behind that place until it is
// filled.
#pragma once

#include <stdint.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>

namespace posix {

struct ShellLine {
    LONG event = 0;  // 0: no line
    std::string path1;
    std::optional<std::string> path2;
};

class HeldLines {
  public:
    // Holds a place for the line of the move with this cookie.
    void Reserve(uint32_t cookie);
    // Fills the oldest open place of cookie; a line with event 0 only frees
    // the place. Without such a place the line is simply put.
    void Fill(uint32_t cookie, ShellLine line);
    // A line that has no place of its own.
    void Put(ShellLine line);
    // The lines before the first open place, in order, taken out.
    std::vector<ShellLine> TakeReady();
    // True when a line may go out at once, with nothing to wait behind.
    bool Empty() const { return m_entries.empty(); }

  private:
    struct Entry {
        ShellLine line;
        uint32_t cookie;
        bool open;
    };
    std::deque<Entry> m_entries;
};

}  // namespace posix
