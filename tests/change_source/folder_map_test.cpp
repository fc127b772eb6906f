#include "change_source/folder_map.h"

#include <gtest/gtest.h>

namespace {

std::string PathOf(const posix::FolderMap& map, const std::string& key) {
    std::string missing;
    auto path = map.PathOf(key, &missing);
    return path ? *path : "missing " + missing;
}

TEST(FolderMapTest, PathsFollowRenamesOfFoldersAboveThem) {
    posix::FolderMap map;
    map.AnchorMountRoot("root", "/");
    map.Place("a", "root", "a");
    map.Place("b", "a", "b");
    map.Place("c", "b", "c");
    EXPECT_EQ(PathOf(map, "c"), "/a/b/c");
    map.Place("a", "root", "renamed");
    EXPECT_EQ(PathOf(map, "c"), "/renamed/b/c");
    map.Forget("b");
    EXPECT_EQ(PathOf(map, "c"), "missing b");
    EXPECT_EQ(PathOf(map, "unknown"), "missing unknown");
}

TEST(FolderMapTest, FoldersLookedUpByPathFollowRenamesAndLearntOnesCanBeDropped) {
    posix::FolderMap map;
    map.AnchorMountRoot("root", "/mnt");
    map.AnchorLookedUp("deep", "/mnt/x/y/deep");
    map.Place("inner", "deep", "inner");
    map.Renamed("/mnt/x", "/mnt/z");
    EXPECT_EQ(PathOf(map, "inner"), "/mnt/z/y/deep/inner");
    map.Renamed("/mnt/z/y/deep", "/mnt/d");
    EXPECT_EQ(PathOf(map, "inner"), "/mnt/d/inner");
    map.ForgetLearnt();
    EXPECT_EQ(map.Size(), 1u);
    EXPECT_EQ(PathOf(map, "root"), "/mnt");
    map.Forget("root");  // a mount's root stays until it is unmounted
    EXPECT_EQ(PathOf(map, "root"), "/mnt");
    map.ForgetMountRoot("/mnt");
    EXPECT_EQ(map.Size(), 0u);
}

TEST(FolderMapTest, ALoopOfParentsNamesNothing) {
    posix::FolderMap map;
    map.Place("a", "b", "a");
    map.Place("b", "a", "b");
    std::string missing = "unchanged";
    EXPECT_FALSE(map.PathOf("a", &missing));
    EXPECT_EQ(missing, "");
}

}  // namespace
