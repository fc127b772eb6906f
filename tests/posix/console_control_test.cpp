// Console control events, met by a child process (control_event_child): the
// handlers run on another thread, last added first, and when none claims the
// event, standard output is flushed and the process ends by the signal.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <string>

#include "child_process.h"

namespace {

struct EventCase {
    const char* name;
    int signal;
    const char* plan;
    std::string status;  // as DescribeStatus gives it
    std::string output;
};

const EventCase kEvents[] = {
    {"Ctrl+C declined", SIGINT, "decline", "signal 2", "started\ndeclined 0 on other thread\n"},
    {"Ctrl+Break declined", SIGQUIT, "decline", "signal 3",
     "started\ndeclined 1 on other thread\n"},
    {"console closed, declined", SIGHUP, "decline", "signal 1",
     "started\ndeclined 2 on other thread\n"},
    {"shutdown declined", SIGTERM, "decline", "signal 15", "started\ndeclined 6 on other thread\n"},
    {"Ctrl+C claimed by the last added", SIGINT, "claim", "exit 0",
     "started\nclaimed 0 on other thread\nmain goes on\n"},
    {"Ctrl+Break claimed", SIGQUIT, "claim", "exit 0",
     "started\nclaimed 1 on other thread\nmain goes on\n"},
    {"console closed, claimed, ends anyway", SIGHUP, "claim", "signal 1",
     "started\nclaimed 2 on other thread\n"},
    {"shutdown claimed, ends anyway", SIGTERM, "claim", "signal 15",
     "started\nclaimed 6 on other thread\n"},
    {"removed handler not called", SIGINT, "claim-removed", "signal 2",
     "started\ndeclined 0 on other thread\n"},
    {"Ctrl+C ignored", SIGINT, "ignore", "exit 0",
     "started\nclaimed 1 on other thread\nmain goes on\n"},
};

TEST(ConsoleControlTest, EachEventMeetsItsHandlersOrTheDefault) {
    for (const EventCase& row : kEvents) {
        SCOPED_TRACE(row.name);
        const ChildResult child = RunChild(
            CONTROL_EVENT_CHILD, {"control_event_child", std::to_string(row.signal), row.plan});
        ASSERT_FALSE(child.timedOut) << "output so far:\n" << child.output;
        EXPECT_EQ(DescribeStatus(child.status), row.status);
        EXPECT_EQ(child.output, row.output);
    }
}

}  // namespace
