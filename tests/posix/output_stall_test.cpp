#include <gtest/gtest.h>

#include <string>

#include "child_process.h"

namespace {

struct OutputCase {
    const char* kind;
    const char* report;
};

// A pipe shows a write that waits for its reader as a stall, and its end; a
// file never stalls; a terminal cannot show one coming.
const OutputCase kOutputs[] = {
    {"pipe",
     "told before the first line: no\n"
     "told after it: yes\n"
     "stall shown while the reader sleeps: yes\n"
     "stalled: yes\n"
     "stall shown once all is read: no\n"
     "stalled: no\n"},
    {"file",
     "told before the first line: no\n"
     "told after it: yes\n"
     "stall shown while the reader sleeps: no\n"
     "stalled: no\n"
     "stall shown once all is read: no\n"
     "stalled: no\n"},
    {"terminal",
     "told before the first line: no\n"
     "told after it: no\n"},
};

TEST(OutputStallTest, EachKindOfOutputTellsWhatItCanOfAWriteThatWaits) {
    for (const OutputCase& row : kOutputs) {
        SCOPED_TRACE(row.kind);
        const ChildResult child = RunChild(OUTPUT_STALL_CHILD, {"output_stall_child", row.kind});
        ASSERT_FALSE(child.timedOut) << "output so far:\n" << child.output;
        // A container may have no terminals to hand out.
        if (child.output == "cannot put a terminal on standard output\n") continue;
        EXPECT_EQ(DescribeStatus(child.status), "exit 0") << child.output;
        EXPECT_EQ(child.output, row.report);
    }
}

}  // namespace
