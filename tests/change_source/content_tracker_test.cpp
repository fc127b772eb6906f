#include "change_source/content_tracker.h"

#include <string>

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

// Fresh files alone need no report, only their memory let go: a caller
// that then looks only once per fresh age still sees them gone within two.
TEST(ContentTrackerTest, FreshFilesAloneWaitOnlyToBeLetGo) {
    ContentTracker tracker;
    tracker.Created("/new", t0);
    EXPECT_TRUE(tracker.Waiting());
    EXPECT_FALSE(tracker.WaitingForWriters());
    tracker.Modified("/new", t0 + milliseconds(5));
    EXPECT_TRUE(tracker.WaitingForWriters());
    EXPECT_TRUE(tracker.Closed("/new"));
    EXPECT_FALSE(tracker.WaitingForWriters());
    for (int age = 1; age <= 2; ++age) {
        EXPECT_TRUE(tracker.Waiting()) << "after " << age - 1 << " ages";
        EXPECT_TRUE(tracker.Due(t0 + age * ContentTracker::kFreshAge).empty());
    }
    EXPECT_FALSE(tracker.Waiting());
}

// A change still to report follows its file when the file, or a folder
// above it, is renamed, and goes when either is gone.
TEST(ContentTrackerTest, AChangeStillToReportFollowsItsFileOrGoesWithIt) {
    struct Row {
        const char* name;
        const char* dirty;
        const char* from;
        const char* to;     // null: forgotten
        const char* after;  // where the change is then, or null
    };
    const Row rows[] = {
        {"file renamed", "/w/a", "/w/a", "/w/b", "/w/b"},
        {"folder renamed", "/w/a/sub/f", "/w/a", "/w/z", "/w/z/sub/f"},
        {"a longer sibling name stays", "/w/ab/f", "/w/a", "/w/z", "/w/ab/f"},
        {"below the file system's root", "/a/f", "/a", "/z", "/z/f"},
        {"file gone", "/w/a", "/w/a", nullptr, nullptr},
        {"folder gone", "/w/a/sub/f", "/w/a", nullptr, nullptr},
        {"sibling of a folder gone", "/w/ab", "/w/a", nullptr, "/w/ab"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ContentTracker tracker;
        tracker.Modified(row.dirty, t0);
        if (row.to) {
            tracker.Renamed(row.from, row.to);
        } else {
            tracker.Forget(row.from);
        }
        if (row.after) {
            if (std::string(row.after) != row.dirty) {
                EXPECT_FALSE(tracker.Closed(row.dirty));
            }
            EXPECT_TRUE(tracker.Closed(row.after));
        }
        EXPECT_FALSE(tracker.Waiting());
    }
}

TEST(ContentTrackerTest, ChangesCarriedInMidMoveLandWhereTheyArePut) {
    ContentTracker tracker;
    tracker.Modified("/w/d/f", t0);
    tracker.Modified("/w/d/sub/g", t0);
    tracker.Modified("/w/e", t0);
    ContentTracker::Parcel parcel = tracker.Take("/w/d");
    EXPECT_EQ(parcel.size(), 2u);
    EXPECT_FALSE(tracker.Closed("/w/d/f"));
    tracker.Put(parcel, "/w/t/d2");
    EXPECT_TRUE(tracker.Closed("/w/t/d2/f"));
    EXPECT_TRUE(tracker.Closed("/w/t/d2/sub/g"));
    EXPECT_TRUE(tracker.Closed("/w/e"));
}

}  // namespace
