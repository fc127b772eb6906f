// Paths too long for the tool's lines. A line holds paths of up to
// MAX_PATH - 1 bytes; Linux paths have no such limit, and a longer one cannot
// be printed, neither cut nor empty. Its change is left out and standard
// error tells it, once per folder that holds such paths.
#pragma once

#include <string>

namespace posix {

// True when path1 or path2 (may be null) is too long to print; the first time
// for its folder, that is also told on standard error.
bool LeftOutAsTooLong(const std::string& path1, const std::string* path2);

}  // namespace posix
