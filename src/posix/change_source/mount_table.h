// The mount table (/proc/self/mountinfo): where file systems are mounted, so
// a watch can follow mounts and unmounts below its root, and which of them
// report no changes through inotify (proc, sysfs, cgroup and the like), which
// a watch of "/" skips.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace posix {

bool IsPseudoFileSystem(std::string_view type);

struct Mount {
    std::string point;
    std::string type;
};

struct MountTable {
    // A point appears once for every mount stacked on it.
    std::multiset<std::string> points;
    std::multiset<std::string> pseudo;  // the points of pseudo file systems
    std::map<int, Mount> byId;          // every mount, by the kernel's mount id
};

// Parses mountinfo text. Mount points are unescaped (\040 is a space).
MountTable ParseMountInfo(std::string_view mountinfo);

// The mount points at root or below it, as paths under root's own name:
// realRoot is root with every link resolved, as the table names it.
std::multiset<std::string> PointsWithin(const std::multiset<std::string>& points,
                                        const std::string& root, const std::string& realRoot);

// point as a path under root's own name, when it lies at root or below it.
std::optional<std::string> PointWithin(const std::string& point, const std::string& root,
                                       const std::string& realRoot);

// The mounts at root or below it by mount id, their points named under root.
std::map<int, std::string> MountsWithin(const MountTable& table, const std::string& root,
                                        const std::string& realRoot);

// What changed between two readings of the mounts, by mount id: a mount
// that went, and one that came. A mount moved elsewhere (mount --move)
// keeps its id and is both: it left its old point and came to its new one.
struct MountChanges {
    std::vector<std::string> detached;  // deepest first, as unmounts of a tree go
    std::vector<std::string> attached;  // outermost first, as a tree is mounted
};
MountChanges CompareMounts(const std::map<int, std::string>& before,
                           const std::map<int, std::string>& after);

// The whole table, read again from the start of an open mountinfo file;
// empty when it cannot be read.
std::string ReadMountInfo(int fd);

}  // namespace posix
