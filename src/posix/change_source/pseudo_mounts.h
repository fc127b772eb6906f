// Mount points of file systems that report no changes through inotify
// (proc, sysfs, cgroup and the like), which a watch of "/" skips.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>

namespace posix {

bool IsPseudoFileSystem(std::string_view type);

// Parses /proc/self/mountinfo text: the mount points whose type is a pseudo
// file system. Mount points are unescaped (\040 is a space).
std::unordered_set<std::string> PseudoMountPoints(std::string_view mountinfo);

// The same for the running system; empty when mountinfo cannot be read.
std::unordered_set<std::string> ReadPseudoMountPoints();

}  // namespace posix
