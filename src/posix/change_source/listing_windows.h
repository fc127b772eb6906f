// What the listings of new folders told, while the kernel's own events for
// the same changes may still be queued.
//
// A new folder is watched first and listed after, so a change made between
// the two is seen twice: in the listing and as an event. Until the queue has
// been read to its end, each such folder keeps the names that the lines
// printed so far hold in it, and an event there is told only when it is
// true of them: a creation of a name not yet told, a deletion of one told, a
// move that starts at a told name or ends at an untold one.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace posix {

class ListingWindows {
  public:
    enum class Known {
        kUnknown,  // no listing of the folder is in its window: tell as the kernel says
        kHeld,     // the lines so far hold the name in the folder
        kNotHeld,  // they do not
    };

    // The folder with this watch is being listed; what its listing finds
    // follows through Listed.
    void Open(int wd) { m_folders[wd]; }
    // False when the listing gave the name before: a directory read while
    // entries are renamed in it can give one entry twice.
    bool Listed(int wd, std::string name);
    Known Check(int wd, std::string_view name) const;
    // A line put the name in the folder, or took it out.
    void Add(int wd, std::string_view name);
    void Remove(int wd, std::string_view name);
    // The queue was read to its end: every event the listings may have seen
    // already has come.
    void CloseAll() { m_folders.clear(); }
    bool Empty() const { return m_folders.empty(); }

  private:
    std::unordered_map<int, std::unordered_set<std::string>> m_folders;
};

}  // namespace posix
