// The paths of folders by their file handles, for a watch whose events name
// a folder only by its handle (fanotify). Each folder is kept as its parent's
// handle and its own name, so a renamed folder takes everything below it
// along in one step. A folder whose parent is not known is anchored at its
// absolute path: the root of a mounted file system, or a folder that was
// looked up by its handle.
#pragma once

#include <stddef.h>

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace posix {

class FolderMap {
  public:
    void AnchorMountRoot(std::string_view key, std::string path);
    void AnchorLookedUp(std::string_view key, std::string path);
    // Folder key is now name in the folder parent; what was known of it
    // before is replaced.
    void Place(std::string_view key, std::string_view parent, std::string_view name);
    void Forget(std::string_view key);
    bool Knows(std::string_view key) const;

    // The folder's path, or nothing when it or a folder above it is not
    // known; then *missing is the first such key.
    std::optional<std::string> PathOf(std::string_view key, std::string* missing) const;

    // A folder was renamed from one path to another: anchored folders below
    // it follow.
    void Renamed(const std::string& from, const std::string& to);
    // Drops what was learnt from events and lookups; anchors kept is true of
    // the roots of mounted file systems.
    void ForgetLearnt();
    void ForgetMountRoot(const std::string& path);
    size_t Size() const { return m_folders.size(); }

  private:
    struct Folder {
        std::string parent;  // empty for an anchored folder
        std::string name;    // an anchored folder's absolute path
        bool mountRoot = false;
    };
    std::unordered_map<std::string, Folder> m_folders;
    std::unordered_set<std::string> m_lookedUp;  // anchored folders that are no mount's root
};

}  // namespace posix
