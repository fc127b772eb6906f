#include "change_source/event_mapping.h"

#include <sys/inotify.h>

#include <gtest/gtest.h>
#include <shlobj.h>

namespace {

TEST(EventMappingTest, EachKernelEventHasItsShellEvent) {
    const struct {
        const char* name;
        uint32_t mask;
        LONG event;
    } rows[] = {
        {"file created", IN_CREATE, SHCNE_CREATE},
        {"directory created", IN_CREATE | IN_ISDIR, SHCNE_MKDIR},
        {"file deleted", IN_DELETE, SHCNE_DELETE},
        {"directory removed", IN_DELETE | IN_ISDIR, SHCNE_RMDIR},
        {"file renamed", posix::kPairedMove, SHCNE_RENAMEITEM},
        {"directory renamed", posix::kPairedMove | IN_ISDIR, SHCNE_RENAMEFOLDER},
        {"file moved out", IN_MOVED_FROM, SHCNE_DELETE},
        {"directory moved out", IN_MOVED_FROM | IN_ISDIR, SHCNE_RMDIR},
        {"file moved in", IN_MOVED_TO, SHCNE_CREATE},
        {"directory moved in", IN_MOVED_TO | IN_ISDIR, SHCNE_MKDIR},
        {"file attributes", IN_ATTRIB, SHCNE_ATTRIBUTES},
        {"directory attributes", IN_ATTRIB | IN_ISDIR, SHCNE_ATTRIBUTES},
        {"file written", IN_MODIFY, SHCNE_UPDATEITEM},
        {"file closed after writing", IN_CLOSE_WRITE, SHCNE_UPDATEITEM},
        {"queue overflow", IN_Q_OVERFLOW, SHCNE_UPDATEDIR},
        {"watched directory deleted", IN_DELETE_SELF | IN_ISDIR, SHCNE_RMDIR},
        {"watched file deleted", IN_DELETE_SELF, SHCNE_DELETE},
        {"opened", IN_OPEN, 0},
        {"read", IN_ACCESS, 0},
        {"closed unwritten", IN_CLOSE_NOWRITE, 0},
        {"watch removed", IN_IGNORED, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(posix::ShellEventFromMask(row.mask), row.event);
    }
}

}  // namespace
