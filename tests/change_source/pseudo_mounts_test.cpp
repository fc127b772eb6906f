#include "change_source/pseudo_mounts.h"

#include <gtest/gtest.h>

namespace {

TEST(PseudoMountsTest, FindsPseudoFileSystemsInMountinfo) {
    const char* mountinfo =
        "22 1 0:21 / /proc rw,nosuid - proc proc rw\n"
        "23 1 0:22 / /sys rw shared:7 - sysfs sysfs rw\n"
        "24 23 0:23 / /sys/fs/cgroup rw shared:8 master:1 - cgroup2 cgroup2 rw\n"
        "25 1 8:1 / / rw - ext4 /dev/vda rw\n"
        "26 1 0:30 / /mnt/with\\040space rw - tracefs tracefs rw\n"
        "27 1 0:31 / /tmp rw - tmpfs tmpfs rw\n"
        "garbage line\n";
    const auto points = posix::PseudoMountPoints(mountinfo);
    EXPECT_EQ(points.size(), 4u);
    for (const char* point : {"/proc", "/sys", "/sys/fs/cgroup", "/mnt/with space"}) {
        SCOPED_TRACE(point);
        EXPECT_EQ(points.count(point), 1u);
    }
    EXPECT_EQ(points.count("/tmp"), 0u);
}

}  // namespace
