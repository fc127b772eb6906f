#include "change_source/leaf_folders.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(LeafFoldersTest, OnlyFileSystemsWhoseLinksCountSubfoldersAreTrusted) {
    struct Row {
        const char* name;
        long type;
        bool trusted;
    };
    const Row rows[] = {
        {"ext2, ext3, ext4", EXT4_SUPER_MAGIC, true},
        {"tmpfs", TMPFS_MAGIC, true},
        {"xfs", XFS_SUPER_MAGIC, true},
        {"btrfs: every folder has one link", BTRFS_SUPER_MAGIC, false},
        {"FUSE: whatever the daemon says", FUSE_SUPER_MAGIC, false},
        {"NFS: the server's count", NFS_SUPER_MAGIC, false},
        {"overlayfs: one link for a merged folder", OVERLAYFS_SUPER_MAGIC, false},
        {"procfs", PROC_SUPER_MAGIC, false},
        {"an unknown type", 0x12345678, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(posix::LinksCountSubfolders(row.type), row.trusted);
    }
}

// A folder on the file system of dir (the temporary folder, then /dev/shm).
class LeafTestOn : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        std::string pattern = std::string(GetParam()) + "/orvane-leaf-XXXXXX";
        if (!mkdtemp(pattern.data())) GTEST_SKIP() << "no folder can be made in " << GetParam();
        m_root = pattern;
        struct statfs fs;
        m_counts = statfs(m_root.c_str(), &fs) == 0 && posix::LinksCountSubfolders(fs.f_type);
    }
    void TearDown() override {
        if (!m_root.empty()) system(("rm -rf '" + m_root + "'").c_str());
    }

    bool HasNoSubfolders(const std::string& relative) {
        const int fd = open((m_root + "/" + relative).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        EXPECT_GE(fd, 0) << relative;
        const bool leaf = m_test.HasNoSubfolders(fd);
        close(fd);
        return leaf;
    }

    std::string m_root;
    bool m_counts = false;
    posix::LeafTest m_test;
};

// Whatever the file system, a folder with a subfolder is always listed; one
// without is spared its listing where the counts are trusted.
TEST_P(LeafTestOn, AFolderWithASubfolderIsNeverTakenForALeaf) {
    ASSERT_EQ(mkdir((m_root + "/parent").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((m_root + "/parent/child").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((m_root + "/files").c_str(), 0755), 0);
    for (int i = 0; i < 20; ++i) {
        close(open((m_root + "/files/" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644));
    }
    ASSERT_EQ(symlink(".", (m_root + "/files/link").c_str()), 0);
    EXPECT_FALSE(HasNoSubfolders("parent"));
    EXPECT_EQ(HasNoSubfolders("parent/child"), m_counts);
    EXPECT_EQ(HasNoSubfolders("files"), m_counts);
    ASSERT_EQ(rmdir((m_root + "/parent/child").c_str()), 0);
    EXPECT_EQ(HasNoSubfolders("parent"), m_counts);
}

INSTANTIATE_TEST_SUITE_P(FileSystems, LeafTestOn, ::testing::Values("/tmp", "/dev/shm"));

}  // namespace
