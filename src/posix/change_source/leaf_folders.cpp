#include "leaf_folders.h"

#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>

namespace posix {

bool LinksCountSubfolders(long fsType) {
    switch (fsType) {
        case EXT4_SUPER_MAGIC:  // ext2 and ext3 too
        case TMPFS_MAGIC:
        case XFS_SUPER_MAGIC:
            return true;
        default:
            return false;
    }
}

// The file system is asked only about a folder with two links: the others
// are listed anyway. Past ext4's 65,000 subfolders the count stays at one.
bool LeafTest::HasNoSubfolders(int fd) {
    struct stat info;
    if (fstat(fd, &info) != 0 || info.st_nlink != 2) return false;
    for (const auto& [device, counts] : m_devices) {
        if (device == info.st_dev) return counts;
    }
    struct statfs fs;
    const bool counts = fstatfs(fd, &fs) == 0 && LinksCountSubfolders(fs.f_type);
    m_devices.emplace_back(info.st_dev, counts);
    return counts;
}

}  // namespace posix
