#include "change_source/listing_windows.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Known = posix::ListingWindows::Known;

// One step on folder 1 (listed, so in its window) or folder 2 (not): '+'
// a line put the name there, '-' took it out, '?' asks what is known.
struct Step {
    int wd;
    char op;
    const char* name;
    Known expected = Known::kUnknown;
};

struct WindowRow {
    const char* name;
    std::vector<const char*> listed;  // what the listing of folder 1 told
    std::vector<Step> steps;
};

TEST(ListingWindowsTest, AnEventIsCheckedAgainstWhatTheLinesSoFarHold) {
    const std::vector<WindowRow> rows = {
        {"the listing told it: its creation is known",
         {"f"},
         {{1, '?', "f", Known::kHeld}, {1, '?', "g", Known::kNotHeld}}},
        {"an empty listing still opens the window", {}, {{1, '?', "x", Known::kNotHeld}}},
        {"a folder that was not listed is not judged",
         {"f"},
         {{2, '?', "f", Known::kUnknown}, {2, '+', "f"}, {2, '?', "f", Known::kUnknown}}},
        {"a deletion told takes the name out, a creation after it puts it back",
         {"f"},
         {{1, '-', "f"},
          {1, '?', "f", Known::kNotHeld},
          {1, '+', "f"},
          {1, '?', "f", Known::kHeld}}},
        {"a rename in the folder moves the name",
         {"f.tmp"},
         {{1, '-', "f.tmp"},
          {1, '+', "f"},
          {1, '?', "f.tmp", Known::kNotHeld},
          {1, '?', "f", Known::kHeld}}},
    };
    for (const WindowRow& row : rows) {
        SCOPED_TRACE(row.name);
        posix::ListingWindows windows;
        windows.Open(1);
        for (const char* name : row.listed) EXPECT_TRUE(windows.Listed(1, name)) << name;
        for (const char* name : row.listed) EXPECT_FALSE(windows.Listed(1, name)) << "twice";
        for (const Step& step : row.steps) {
            if (step.op == '+') windows.Add(step.wd, step.name);
            if (step.op == '-') windows.Remove(step.wd, step.name);
            if (step.op == '?') {
                EXPECT_EQ(windows.Check(step.wd, step.name), step.expected) << step.name;
            }
        }
        EXPECT_FALSE(windows.Empty());
        windows.CloseAll();
        EXPECT_TRUE(windows.Empty());
        EXPECT_EQ(windows.Check(1, "f"), Known::kUnknown) << "once closed, nothing is judged";
    }
}

// The fanotify source knows folders by their handles: the same rules hold
// for any key.
TEST(ListingWindowsTest, FoldersKnownByHandleFollowTheSameRules) {
    posix::BasicListingWindows<std::string> windows;
    EXPECT_EQ(windows.Check("handle-1", "f"), Known::kUnknown) << "no window open";
    windows.Open("handle-1");
    windows.Listed("handle-1", "f");
    EXPECT_EQ(windows.Check("handle-1", "f"), Known::kHeld);
    EXPECT_EQ(windows.Check("handle-2", "f"), Known::kUnknown);
    windows.Remove("handle-1", "f");
    windows.Add("handle-1", "g");
    EXPECT_EQ(windows.Check("handle-1", "f"), Known::kNotHeld);
    EXPECT_EQ(windows.Check("handle-1", "g"), Known::kHeld);
    windows.CloseAll();
    EXPECT_EQ(windows.Check("handle-1", "g"), Known::kUnknown);
}

}  // namespace
