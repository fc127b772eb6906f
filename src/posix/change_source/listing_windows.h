// What the listings of new folders told, while the kernel's own events for
// the same changes may still be queued.
//
// A new folder is watched first and listed after, so a change made between
// the two is seen twice: in the listing and as an event. Until the queue has
// been read to its end, each such folder keeps the names that the lines
// printed so far hold in it, and an event there is told only when it is
// true of them: a creation of a name not yet told, a deletion of one told, a
// move that starts at a told name or ends at an untold one.
//
// Folders are known by whatever their source's events name them with: the
// inotify source's watch numbers, or the fanotify source's folder handles.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace posix {

enum class ListingKnown {
    kUnknown,  // no listing of the folder is in its window: tell as the kernel says
    kHeld,     // the lines so far hold the name in the folder
    kNotHeld,  // they do not
};

template <typename FolderKey>
class BasicListingWindows {
  public:
    using Known = ListingKnown;

    // The folder is being listed; what its listing finds follows through
    // Listed.
    void Open(const FolderKey& folder) { m_folders[folder]; }
    // False when the listing gave the name before: a directory read while
    // entries are renamed in it can give one entry twice.
    bool Listed(const FolderKey& folder, std::string name) {
        return m_folders[folder].insert(std::move(name)).second;
    }
    Known Check(const FolderKey& folder, std::string_view name) const {
        if (m_folders.empty()) return Known::kUnknown;  // the common case, without a lookup
        auto it = m_folders.find(folder);
        if (it == m_folders.end()) return Known::kUnknown;
        return it->second.count(std::string(name)) ? Known::kHeld : Known::kNotHeld;
    }
    // A line put the name in the folder, or took it out.
    void Add(const FolderKey& folder, std::string_view name) {
        auto it = m_folders.find(folder);
        if (it != m_folders.end()) it->second.emplace(name);
    }
    void Remove(const FolderKey& folder, std::string_view name) {
        auto it = m_folders.find(folder);
        if (it != m_folders.end()) it->second.erase(std::string(name));
    }
    // The queue was read to its end: every event the listings may have seen
    // already has come.
    void CloseAll() { m_folders.clear(); }
    bool Empty() const { return m_folders.empty(); }

  private:
    std::unordered_map<FolderKey, std::unordered_set<std::string>> m_folders;
};

// The inotify source's folders, by watch number.
using ListingWindows = BasicListingWindows<int>;

}  // namespace posix
