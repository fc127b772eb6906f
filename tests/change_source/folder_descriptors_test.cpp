#include "change_source/folder_descriptors.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "error_text.h"

namespace {

// A fresh folder holding a/b/c, a file a/f, a link a/up to "..", a link
// to a, and a link leading out of it.
class OpenBeneathTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/orvane-beneath-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_root = pattern;
        m_fd = open(m_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(m_fd, 0);
        ASSERT_EQ(mkdirat(m_fd, "a", 0755), 0);
        ASSERT_EQ(mkdirat(m_fd, "a/b", 0755), 0);
        ASSERT_EQ(mkdirat(m_fd, "a/b/c", 0755), 0);
        close(openat(m_fd, "a/f", O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        ASSERT_EQ(symlinkat("..", m_fd, "a/up"), 0);
        ASSERT_EQ(symlinkat("a", m_fd, "link"), 0);
        ASSERT_EQ(symlinkat("/", m_fd, "out"), 0);
    }
    void TearDown() override {
        close(m_fd);
        system(("rm -rf '" + m_root + "'").c_str());
    }

    // The inode that names lead to by path, or 0.
    ino_t InodeAt(const std::string& relative) {
        struct stat info;
        return fstatat(m_fd, relative.c_str(), &info, 0) == 0 ? info.st_ino : 0;
    }

    std::string m_root;
    int m_fd = -1;
};

ino_t InodeOf(int fd) {
    struct stat info;
    return fstat(fd, &info) == 0 ? info.st_ino : 0;
}

TEST_F(OpenBeneathTest, OpensFoldersAndRefusesLinksFilesAndEscapes) {
    struct Row {
        const char* name;
        std::vector<std::string_view> names;
        const char* expected;  // the folder opened, or null when it must fail
        int error;
    };
    const Row rows[] = {
        {"no names: the base again", {}, ".", 0},
        {"one level", {"a"}, "a", 0},
        {"three levels", {"a", "b", "c"}, "a/b/c", 0},
        {"a link at the end", {"link"}, nullptr, ENOTDIR},
        {"a link on the way", {"link", "b"}, nullptr, ELOOP},
        {"a link to the parent", {"a", "up", "a"}, nullptr, ELOOP},
        {"a link out of the tree", {"out", "tmp"}, nullptr, ELOOP},
        {"a file", {"a", "f"}, nullptr, ENOTDIR},
        {"missing", {"a", "gone"}, nullptr, ENOENT},
        {"a dot-dot", {"a", "..", "a"}, nullptr, ENOENT},
        {"a slash in a name", {"a/b"}, nullptr, ENOENT},
    };
    for (const Row& row : rows) {
        errno = 0;
        const int fd = posix::OpenBeneath(m_fd, row.names);
        if (row.expected) {
            EXPECT_GE(fd, 0) << row.name << ": " << posix::ErrorText(errno);
            EXPECT_EQ(InodeOf(fd), InodeAt(row.expected)) << row.name;
        } else {
            EXPECT_EQ(fd, -1) << row.name;
            EXPECT_EQ(errno, row.error) << row.name << ": " << posix::ErrorText(errno);
        }
        if (fd >= 0) close(fd);
    }
}

// Far past PATH_MAX: opened in as many steps as the kernel needs, with no
// descriptor left behind.
TEST_F(OpenBeneathTest, OpensAFolderWhosePathIsFarLongerThanPathMax) {
    const std::string name(200, 'n');
    int fd = dup(m_fd);
    std::vector<std::string_view> names;
    for (int depth = 0; depth < 100; ++depth) {
        ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0);
        const int deeper = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(fd);
        fd = deeper;
        names.push_back(name);
    }
    const int probe = dup(0);
    close(probe);
    const int opened = posix::OpenBeneath(m_fd, names);
    EXPECT_GE(opened, 0) << posix::ErrorText(errno);
    EXPECT_EQ(InodeOf(opened), InodeOf(fd));
    EXPECT_EQ(opened, probe);  // the lowest free descriptor: none leaked
    close(opened);
    close(fd);
}

}  // namespace
