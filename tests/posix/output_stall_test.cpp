#include <gtest/gtest.h>

#include <string>

#include "child_process.h"

namespace {

struct OutputCase {
    const char* kind;
    const char* report;
};

// A pipe or a socket shows a write that waits for its reader as a stall, and
// its end; a pipe is opened again to try its writes, unless it is another
// user's; a file never stalls; a terminal cannot show one coming.
const OutputCase kOutputs[] = {
    {"pipe",
     "told before the first line: no\n"
     "told after it: yes\n"
     "opened again: yes\n"
     "stall shown while the reader sleeps: yes\n"
     "stalled: yes\n"
     "stall shown once all is read: no\n"
     "stalled: no\n"},
    {"another user's pipe",
     "told before the first line: no\n"
     "told after it: yes\n"
     "opened again: no\n"
     "stall shown while the reader sleeps: yes\n"
     "stalled: yes\n"
     "stall shown once all is read: no\n"
     "stalled: no\n"},
    {"socket",
     "told before the first line: no\n"
     "told after it: yes\n"
     "opened again: no\n"
     "stall shown while the reader sleeps: yes\n"
     "stalled: yes\n"
     "stall shown once all is read: no\n"
     "stalled: no\n"},
    {"file",
     "told before the first line: no\n"
     "told after it: yes\n"
     "opened again: no\n"
     "stall shown while the reader sleeps: no\n"
     "stalled: no\n"
     "stall shown once all is read: no\n"
     "stalled: no\n"},
    {"terminal",
     "told before the first line: no\n"
     "told after it: no\n"
     "opened again: no\n"},
};

TEST(OutputStallTest, EachKindOfOutputTellsWhatItCanOfAWriteThatWaits) {
    for (const OutputCase& row : kOutputs) {
        SCOPED_TRACE(row.kind);
        const ChildResult child = RunChild(OUTPUT_STALL_CHILD, {"output_stall_child", row.kind});
        ASSERT_FALSE(child.timedOut) << "output so far:\n" << child.output;
        // A container may have no terminals to hand out, and only root can
        // hand its pipe to another user.
        if (child.output.rfind("cannot put on standard output:", 0) == 0) continue;
        EXPECT_EQ(DescribeStatus(child.status), "exit 0") << child.output;
        EXPECT_EQ(child.output, row.report);
    }
}

}  // namespace
