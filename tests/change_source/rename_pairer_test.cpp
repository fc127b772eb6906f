#include "change_source/rename_pairer.h"

#include <sys/inotify.h>

#include <gtest/gtest.h>

namespace {

posix::MoveEnd End(int wd, uint32_t mask, uint32_t cookie, const char* name) {
    posix::MoveEnd end;
    end.wd = wd;
    end.mask = mask;
    end.cookie = cookie;
    end.name = name;
    return end;
}

TEST(RenamePairerTest, PairsByCookieInTheSameRead) {
    posix::RenamePairer pairer;
    pairer.From(End(1, IN_MOVED_FROM, 10, "old"));
    pairer.From(End(1, IN_MOVED_FROM, 11, "other"));
    auto partner = pairer.TakePartner(10);
    ASSERT_TRUE(partner);
    EXPECT_EQ(partner->name, "old");
    EXPECT_FALSE(pairer.TakePartner(10));
    EXPECT_TRUE(pairer.HasPending());
}

TEST(RenamePairerTest, PairsAcrossTwoReads) {
    posix::RenamePairer pairer;
    pairer.From(End(3, IN_MOVED_FROM | IN_ISDIR, 42, "dir"));
    EXPECT_TRUE(pairer.EndOfRead().empty());  // the read ended between the two ends
    auto partner = pairer.TakePartner(42);
    ASSERT_TRUE(partner);
    EXPECT_EQ(partner->wd, 3);
    EXPECT_TRUE(pairer.EndOfRead().empty());
    EXPECT_FALSE(pairer.HasPending());
}

TEST(RenamePairerTest, AFromAloneForAWholeFurtherReadLeftTheTree) {
    posix::RenamePairer pairer;
    pairer.From(End(1, IN_MOVED_FROM, 5, "gone"));
    EXPECT_TRUE(pairer.EndOfRead().empty());
    pairer.From(End(1, IN_MOVED_FROM, 6, "newer"));
    auto unpaired = pairer.EndOfRead();
    ASSERT_EQ(unpaired.size(), 1u);
    EXPECT_EQ(unpaired[0].name, "gone");
    auto rest = pairer.TakeAll();
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].name, "newer");
    EXPECT_FALSE(pairer.HasPending());
}

TEST(RenamePairerTest, AToWithoutAFromCameFromOutside) {
    posix::RenamePairer pairer;
    EXPECT_FALSE(pairer.TakePartner(99));
}

}  // namespace
