// The mount table (/proc/self/mountinfo): where file systems are mounted, so
// a watch can follow mounts and unmounts below its root, and which of them
// report no changes through inotify (proc, sysfs, cgroup and the like), which
// a watch of "/" skips.
#pragma once

#include <set>
#include <string>
#include <string_view>

namespace posix {

bool IsPseudoFileSystem(std::string_view type);

struct MountTable {
    // A point appears once for every mount stacked on it.
    std::multiset<std::string> points;
    std::multiset<std::string> pseudo;  // the points of pseudo file systems
};

// Parses mountinfo text. Mount points are unescaped (\040 is a space).
MountTable ParseMountInfo(std::string_view mountinfo);

// The mount points at root or below it, as paths under root's own name:
// realRoot is root with every link resolved, as the table names it.
std::multiset<std::string> PointsWithin(const std::multiset<std::string>& points,
                                        const std::string& root, const std::string& realRoot);

// The whole table, read again from the start of an open mountinfo file;
// empty when it cannot be read.
std::string ReadMountInfo(int fd);

}  // namespace posix
