#include "change_source/fanotify_mapping.h"

#include <sys/fanotify.h>

#include <gtest/gtest.h>
#include <shlobj.h>

namespace {

TEST(FanotifyMappingTest, EachKernelEventHasTheShellEventOfTheInotifySource) {
    const struct {
        const char* name;
        uint64_t mask;
        LONG event;
    } rows[] = {
        {"file created", FAN_CREATE, SHCNE_CREATE},
        {"directory created", FAN_CREATE | FAN_ONDIR, SHCNE_MKDIR},
        {"file deleted", FAN_DELETE, SHCNE_DELETE},
        {"directory removed", FAN_DELETE | FAN_ONDIR, SHCNE_RMDIR},
        {"file renamed", FAN_RENAME, SHCNE_RENAMEITEM},
        {"directory renamed", FAN_RENAME | FAN_ONDIR, SHCNE_RENAMEFOLDER},
        {"file moved out", FAN_MOVED_FROM, SHCNE_DELETE},
        {"directory moved out", FAN_MOVED_FROM | FAN_ONDIR, SHCNE_RMDIR},
        {"file moved in", FAN_MOVED_TO, SHCNE_CREATE},
        {"directory moved in", FAN_MOVED_TO | FAN_ONDIR, SHCNE_MKDIR},
        {"file attributes", FAN_ATTRIB, SHCNE_ATTRIBUTES},
        {"directory attributes", FAN_ATTRIB | FAN_ONDIR, SHCNE_ATTRIBUTES},
        {"file written", FAN_MODIFY, SHCNE_UPDATEITEM},
        {"file closed after writing", FAN_CLOSE_WRITE, SHCNE_UPDATEITEM},
        {"directory written", FAN_MODIFY | FAN_ONDIR, 0},
        {"queue overflow", FAN_Q_OVERFLOW, SHCNE_UPDATEDIR},
        {"opened", FAN_OPEN, 0},
        {"read", FAN_ACCESS, 0},
        {"closed unwritten", FAN_CLOSE_NOWRITE, 0},
        {"watched item itself deleted, which has no name", FAN_DELETE_SELF, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(posix::ShellEventFromFanotifyMask(row.mask), row.event);
    }
}

}  // namespace
