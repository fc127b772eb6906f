#include "change_source/content_tracker.h"

#include <gtest/gtest.h>

namespace {

using posix::ContentTracker;
using std::chrono::milliseconds;

const ContentTracker::Time t0{};

TEST(ContentTrackerTest, ManyWritesThenCloseAreOneChange) {
    ContentTracker tracker;
    for (int i = 0; i < 400; ++i) tracker.Modified("/f", t0 + milliseconds(i));
    EXPECT_TRUE(tracker.Due(t0 + milliseconds(400)).empty());  // still being written
    EXPECT_TRUE(tracker.Closed("/f"));
    EXPECT_FALSE(tracker.Closed("/f"));
    EXPECT_FALSE(tracker.Waiting());
}

TEST(ContentTrackerTest, ClosingWithoutWritingIsNoChange) {
    ContentTracker tracker;
    EXPECT_FALSE(tracker.Closed("/f"));
}

TEST(ContentTrackerTest, AFileKeptOpenIsReportedAboutOnceASecondWhenItsWriterPauses) {
    ContentTracker tracker;
    int reports = 0;
    // Written every half second for five seconds, never closed.
    for (int step = 0; step <= 100; ++step) {
        const auto now = t0 + milliseconds(50 * step);
        if (step % 10 == 0) tracker.Modified("/log", now);
        reports += static_cast<int>(tracker.Due(now).size());
    }
    EXPECT_GE(reports, 2);
    EXPECT_LE(reports, 5);
}

TEST(ContentTrackerTest, AFileWrittenWithoutPauseWaitsForItsClose) {
    ContentTracker tracker;
    for (int ms = 0; ms < 5000; ms += 10) {
        tracker.Modified("/copy", t0 + milliseconds(ms));
        EXPECT_TRUE(tracker.Due(t0 + milliseconds(ms)).empty());
    }
    EXPECT_TRUE(tracker.Closed("/copy"));
}

TEST(ContentTrackerTest, AttributeChangesRightAfterCreationBelongToIt) {
    ContentTracker tracker;
    tracker.Created("/new", t0);
    EXPECT_TRUE(tracker.IsFresh("/new", t0 + milliseconds(10)));
    EXPECT_FALSE(tracker.IsFresh("/new", t0 + milliseconds(1500)));
    EXPECT_FALSE(tracker.IsFresh("/old", t0));
    EXPECT_FALSE(tracker.Closed("/new"));  // created and closed unwritten
    EXPECT_FALSE(tracker.IsFresh("/new", t0 + milliseconds(20)));
}

TEST(ContentTrackerTest, ARenamedDirtyFileIsReportedUnderItsNewName) {
    ContentTracker tracker;
    tracker.Modified("/a", t0);
    tracker.Renamed("/a", "/b");
    EXPECT_FALSE(tracker.Closed("/a"));
    EXPECT_TRUE(tracker.Closed("/b"));
}

}  // namespace
