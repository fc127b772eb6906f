#include "folder_map.h"

#include <iterator>
#include <vector>

namespace posix {
namespace {

// Deeper than any real tree: a longer chain of parents is a loop, which
// handles reused by the file system could make.
constexpr size_t kMaxDepth = 4096;

}  // namespace

void FolderMap::AnchorMountRoot(std::string_view key, std::string path) {
    m_lookedUp.erase(std::string(key));
    m_folders[std::string(key)] = Folder{"", std::move(path), true};
}

void FolderMap::AnchorLookedUp(std::string_view key, std::string path) {
    m_lookedUp.insert(std::string(key));
    m_folders[std::string(key)] = Folder{"", std::move(path), false};
}

void FolderMap::Place(std::string_view key, std::string_view parent, std::string_view name) {
    m_lookedUp.erase(std::string(key));
    Folder& folder = m_folders[std::string(key)];
    folder.parent = parent;
    folder.name = name;
    folder.mountRoot = false;
}

void FolderMap::Forget(std::string_view key) {
    auto it = m_folders.find(std::string(key));
    if (it == m_folders.end() || it->second.mountRoot) return;
    m_lookedUp.erase(it->first);
    m_folders.erase(it);
}

bool FolderMap::Knows(std::string_view key) const {
    return m_folders.count(std::string(key)) > 0;
}

std::optional<std::string> FolderMap::PathOf(std::string_view key, std::string* missing) const {
    std::vector<const std::string*> names;
    std::string at(key);
    for (size_t depth = 0; depth < kMaxDepth; ++depth) {
        auto it = m_folders.find(at);
        if (it == m_folders.end()) {
            *missing = at;
            return std::nullopt;
        }
        names.push_back(&it->second.name);
        if (it->second.parent.empty()) {
            std::string path = *names.back();
            for (auto name = names.rbegin() + 1; name != names.rend(); ++name) {
                if (path.empty() || path.back() != '/') path += '/';
                path += **name;
            }
            return path;
        }
        at = it->second.parent;
    }
    missing->clear();
    return std::nullopt;
}

void FolderMap::Renamed(const std::string& from, const std::string& to) {
    const std::string prefix = from + "/";
    for (const std::string& key : m_lookedUp) {
        Folder& folder = m_folders[key];
        if (folder.name.compare(0, prefix.size(), prefix) == 0) {
            folder.name = to + folder.name.substr(from.size());
        } else if (folder.name == from) {
            folder.name = to;
        }
    }
}

void FolderMap::ForgetLearnt() {
    for (auto it = m_folders.begin(); it != m_folders.end();) {
        it = it->second.mountRoot ? std::next(it) : m_folders.erase(it);
    }
    m_lookedUp.clear();
}

void FolderMap::ForgetMountRoot(const std::string& path) {
    for (auto it = m_folders.begin(); it != m_folders.end();) {
        const bool drop = it->second.mountRoot && it->second.name == path;
        it = drop ? m_folders.erase(it) : std::next(it);
    }
}

}  // namespace posix
