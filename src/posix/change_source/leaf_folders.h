// On most local file systems a folder's link count tells how many
// subfolders it has: one link for its name, one for its own "." and one for
// the ".." of each subfolder. A folder with two links then has none, and a
// walk that only looks for subfolders need not list it. Other file systems
// (btrfs, FUSE, network ones) keep counts that say nothing of the kind, so
// only those known to keep them are trusted.
#pragma once

#include <sys/types.h>

#include <utility>
#include <vector>

namespace posix {

// Whether folders on a file system of this type (statfs's f_type) have two
// links plus one for each subfolder.
bool LinksCountSubfolders(long fsType);

// Tells folders without subfolders, remembering for each device whether its
// counts are trusted. One per walking thread.
class LeafTest {
  public:
    // True only when the folder open on fd has no subfolders. Asked once
    // the folder is watched, it misses none: a subfolder made after the
    // count was read is told by the watch.
    bool HasNoSubfolders(int fd);

  private:
    std::vector<std::pair<dev_t, bool>> m_devices;
};

}  // namespace posix
