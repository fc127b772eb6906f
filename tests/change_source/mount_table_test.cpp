#include "change_source/mount_table.h"

#include <gtest/gtest.h>

namespace {

TEST(MountTableTest, ReadsMountPointsAndWhichArePseudoFileSystems) {
    const char* mountinfo =
        "22 1 0:21 / /proc rw,nosuid - proc proc rw\n"
        "23 1 0:22 / /sys rw shared:7 - sysfs sysfs rw\n"
        "24 23 0:23 / /sys/fs/cgroup rw shared:8 master:1 - cgroup2 cgroup2 rw\n"
        "25 1 8:1 / / rw - ext4 /dev/vda rw\n"
        "26 1 0:30 / /mnt/with\\040space rw - tracefs tracefs rw\n"
        "27 1 0:31 / /tmp rw - tmpfs tmpfs rw\n"
        "garbage line\n";
    const posix::MountTable table = posix::ParseMountInfo(mountinfo);
    EXPECT_EQ(table.points, (std::multiset<std::string>{"/", "/proc", "/sys", "/sys/fs/cgroup",
                                                        "/mnt/with space", "/tmp"}));
    EXPECT_EQ(table.pseudo.size(), 4u);
    for (const char* point : {"/proc", "/sys", "/sys/fs/cgroup", "/mnt/with space"}) {
        SCOPED_TRACE(point);
        EXPECT_EQ(table.pseudo.count(point), 1u);
    }
}

TEST(MountTableTest, PointsWithinTheRootAreNamedUnderTheRootAsGiven) {
    // Two mounts stacked on /w/m: each counts, so one more or one less shows.
    const std::multiset<std::string> points{"/", "/w", "/w/m", "/w/m", "/w/m/n", "/wx", "/other"};
    struct Row {
        const char* name;
        const char* root;
        const char* realRoot;
        std::multiset<std::string> within;
    };
    const Row rows[] = {
        {"a folder", "/w", "/w", {"/w", "/w/m", "/w/m", "/w/m/n"}},
        {"through a link", "/link", "/w", {"/link", "/link/m", "/link/m", "/link/m/n"}},
        {"the file system's root",
         "/",
         "/",
         {"/", "/w", "/w/m", "/w/m", "/w/m/n", "/wx", "/other"}},
        {"no mount below", "/w/m/n/deeper", "/w/m/n/deeper", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(posix::PointsWithin(points, row.root, row.realRoot), row.within);
    }
}

TEST(MountTableTest, ChangesAreToldByMountIdSoEveryKindOfMountShows) {
    using Mounts = std::map<int, std::string>;
    struct Row {
        const char* name;
        Mounts before, after;
        std::vector<std::string> detached, attached;
    };
    const Row rows[] = {
        {"nothing changed", {{1, "/w"}}, {{1, "/w"}}, {}, {}},
        {"mounted", {{1, "/w"}}, {{1, "/w"}, {2, "/w/m"}}, {}, {"/w/m"}},
        {"stacked on a mount",
         {{1, "/w"}, {2, "/w/m"}},
         {{1, "/w"}, {2, "/w/m"}, {3, "/w/m"}},
         {},
         {"/w/m"}},
        {"unmounted and mounted again at once", {{2, "/w/m"}}, {{3, "/w/m"}}, {"/w/m"}, {"/w/m"}},
        {"moved", {{2, "/w/a"}}, {{2, "/w/b"}}, {"/w/a"}, {"/w/b"}},
        {"a tree unmounted: deepest first",
         {{2, "/w/m"}, {3, "/w/m/n"}, {4, "/w/m/n/o"}},
         {},
         {"/w/m/n/o", "/w/m/n", "/w/m"},
         {}},
        {"a tree mounted: outermost first",
         {},
         {{4, "/w/m/n/o"}, {3, "/w/m"}, {2, "/w/m/n"}},
         {},
         {"/w/m", "/w/m/n", "/w/m/n/o"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const posix::MountChanges changes = posix::CompareMounts(row.before, row.after);
        EXPECT_EQ(changes.detached, row.detached);
        EXPECT_EQ(changes.attached, row.attached);
    }
}

TEST(MountTableTest, MountsAreReadByIdAndNamedUnderTheRoot) {
    const posix::MountTable table = posix::ParseMountInfo(
        "25 1 8:1 / / rw - ext4 /dev/vda rw\n"
        "31 25 0:40 / /w/m rw - tmpfs none rw\n"
        "32 31 0:41 / /w/m rw - tmpfs none rw\n"
        "33 25 0:42 / /elsewhere rw - tmpfs none rw\n");
    EXPECT_EQ(table.byId.at(31).type, "tmpfs");
    EXPECT_EQ(posix::MountsWithin(table, "/link", "/w"),
              (std::map<int, std::string>{{31, "/link/m"}, {32, "/link/m"}}));
}

}  // namespace
