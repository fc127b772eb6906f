#include <gtest/gtest.h>

#include <string>

#include "child_process.h"

namespace {

struct OutputCase {
    const char* kind;
    bool told;      // stalls can be told once the first line is out
    bool reopened;  // the output was opened again to try its writes
    bool stalls;    // a write that waits for the reader is a stall
};

// A pipe or a socket shows a write that waits for its reader as a stall, and
// its end; a pipe is opened again to try its writes, unless it is another
// user's; a file never stalls; a terminal cannot show one coming.
// clang-format off
const OutputCase kOutputs[] = {
    // kind                   told   reopened stalls
    {"pipe",                  true,  true,    true},
    {"another user's pipe",   true,  false,   true},
    {"socket",                true,  false,   true},
    {"file",                  true,  false,   false},
    {"terminal",              false, false,   false},
};
// clang-format on

std::string Fact(const char* fact, bool value) {
    return std::string(fact) + ": " + (value ? "yes" : "no") + "\n";
}

// What the child reports for row; nobody reads a terminal, so its report
// ends before the stall.
std::string ExpectedReport(const OutputCase& row) {
    std::string report = Fact("told before the first line", false) +
                         Fact("told after it", row.told) + Fact("opened again", row.reopened);
    if (!row.told) return report;
    return report + Fact("stall shown while the reader sleeps", row.stalls) +
           Fact("stalled", row.stalls) + Fact("stall shown once all is read", false) +
           Fact("stalled", false);
}

TEST(OutputStallTest, EachKindOfOutputTellsWhatItCanOfAWriteThatWaits) {
    for (const OutputCase& row : kOutputs) {
        SCOPED_TRACE(row.kind);
        const ChildResult child = RunChild(OUTPUT_STALL_CHILD, {"output_stall_child", row.kind});
        ASSERT_FALSE(child.timedOut) << "output so far:\n" << child.output;
        // A container may have no terminals to hand out, and only root can
        // hand its pipe to another user.
        if (child.output.rfind("cannot put on standard output:", 0) == 0) continue;
        EXPECT_EQ(DescribeStatus(child.status), "exit 0") << child.output;
        EXPECT_EQ(child.output, ExpectedReport(row));
    }
}

}  // namespace
