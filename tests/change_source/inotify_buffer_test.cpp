#include "change_source/inotify_buffer.h"

#include <sys/inotify.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

// One record as the kernel lays it out: header, then the name padded with
// NULs to `padded` bytes.
std::string Record(int wd, uint32_t mask, uint32_t cookie, const std::string& name, size_t padded) {
    struct inotify_event header = {};
    header.wd = wd;
    header.mask = mask;
    header.cookie = cookie;
    header.len = static_cast<uint32_t>(padded);
    std::string bytes(reinterpret_cast<const char*>(&header), sizeof header);
    std::string field = name;
    field.resize(padded, '\0');
    return bytes + field;
}

// A header that claims a name of `len` bytes, with no name after it.
std::string HeaderOnly(uint32_t len) {
    struct inotify_event header = {};
    header.wd = 1;
    header.mask = IN_CREATE;
    header.len = len;
    return std::string(reinterpret_cast<const char*>(&header), sizeof header);
}

TEST(InotifyBufferTest, SplitsRecordsWithAndWithoutNames) {
    const std::string buffer = Record(1, IN_CREATE, 0, "a.txt", 16) +
                               Record(2, IN_DELETE_SELF, 0, "", 0) +
                               Record(1, IN_MOVED_FROM, 7, "sixteen-chars-xx", 32);
    std::vector<posix::InotifyEvent> events;
    ASSERT_TRUE(posix::ParseInotifyBuffer(buffer.data(), buffer.size(), &events));
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].wd, 1);
    EXPECT_EQ(events[0].name, "a.txt");
    EXPECT_EQ(events[1].mask, static_cast<uint32_t>(IN_DELETE_SELF));
    EXPECT_TRUE(events[1].name.empty());
    EXPECT_EQ(events[2].cookie, 7u);
    EXPECT_EQ(events[2].name, "sixteen-chars-xx");
}

TEST(InotifyBufferTest, StopsAtAMalformedRecordAndKeepsWhatCameBefore) {
    const std::string good = Record(1, IN_CREATE, 0, "a", 16);
    const struct {
        const char* name;
        std::string tail;
    } rows[] = {
        {"truncated header", good.substr(0, 10)},
        {"name past the end", HeaderOnly(16) + std::string("b\0\0", 3)},
        {"huge length", HeaderOnly(0xFFFFFFF0u)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string buffer = good + row.tail;
        std::vector<posix::InotifyEvent> events;
        EXPECT_FALSE(posix::ParseInotifyBuffer(buffer.data(), buffer.size(), &events));
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].name, "a");
    }
}

TEST(InotifyBufferTest, ANameWithoutTerminatorStopsAtItsField) {
    const std::string buffer =
        Record(1, IN_CREATE, 0, "abcdefgh", 8) + Record(1, IN_DELETE, 0, "z", 8);
    std::vector<posix::InotifyEvent> events;
    ASSERT_TRUE(posix::ParseInotifyBuffer(buffer.data(), buffer.size(), &events));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].name, "abcdefgh");
    EXPECT_EQ(events[1].name, "z");
}

}  // namespace
