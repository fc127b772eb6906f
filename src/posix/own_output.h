// The files that the tool's own standard output and standard error write
// to. Writing a line changes such a file, and with inotify, which names no
// writer, that change would come back as a line of its own, once a second,
// forever; so content changes of these files are not reported. Their
// creation, deletion, renames and attribute changes still are.
#pragma once

#include <string>

namespace posix {

// Whether path names one of those files (by device and inode, so any of its
// names counts). Standard output and error are looked at once, on first use.
bool IsOwnOutput(const std::string& path);

}  // namespace posix
