#include "long_paths.h"

#include <windows.h>

#include <functional>
#include <mutex>
#include <unordered_set>

namespace posix {
namespace {

std::mutex s_lock;
// The folders already told, by a hash of their paths: such paths are 32 KiB
// each, and two folders that share a hash only share one line of stderr.
std::unordered_set<size_t> s_toldFolders;

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool TooLong(const std::string& path) {
    return path.size() >= MAX_PATH;
}

// The folder is escaped as the lines' paths are, by the runtime's printf.
void TellOnce(const std::string& path) {
    const std::string folder = FolderOf(path);
    {
        std::lock_guard<std::mutex> hold(s_lock);
        if (!s_toldFolders.insert(std::hash<std::string>()(folder)).second) return;
    }
    orvane_msvcrt_fprintf(
        stderr,
        "orvane: changes in '%s' are not printed: the paths there are longer than %d bytes\n",
        folder.c_str(), MAX_PATH - 1);
    fflush(stderr);
}

}  // namespace

bool LeftOutAsTooLong(const std::string& path1, const std::string* path2) {
    bool leftOut = false;
    for (const std::string* path : {&path1, path2}) {
        if (path && TooLong(*path)) {
            TellOnce(*path);
            leftOut = true;
        }
    }
    return leftOut;
}

}  // namespace posix
