#include "change_source/fresh_files.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using posix::FreshFiles;
using std::chrono::milliseconds;

const FreshFiles::Time t0{};
constexpr milliseconds kAge{1000};

FreshFiles::Time At(int ms) {
    return t0 + milliseconds(ms);
}

// Each row makes its files, then asks about one of them at a time.
TEST(FreshFilesTest, AFileIsFreshForTheAgeAfterItsNewestCreation) {
    struct Step {
        char op;  // 'c' created, 'f' forgotten, 'e' expire
        const char* path;
        int ms;
    };
    struct Row {
        const char* name;
        std::vector<Step> steps;
        const char* asked;
        int askedAt;
        bool fresh;
    };
    const Row rows[] = {
        {"just made", {{'c', "/a", 0}}, "/a", 10, true},
        {"made an age ago", {{'c', "/a", 0}}, "/a", 1000, false},
        {"never made", {{'c', "/a", 0}}, "/b", 10, false},
        {"a prefix of a fresh one", {{'c', "/abc", 0}}, "/ab", 10, false},
        {"in the generation before", {{'c', "/a", 900}, {'c', "/b", 1500}}, "/a", 1800, true},
        {"aged in the generation before", {{'c', "/a", 900}, {'c', "/b", 1500}}, "/a", 1950, false},
        {"dropped with an old generation",
         {{'c', "/a", 0}, {'c', "/b", 1100}, {'c', "/c", 2200}},
         "/a",
         2210,
         false},
        {"forgotten", {{'c', "/a", 0}, {'f', "/a", 5}}, "/a", 10, false},
        {"made again after forgotten",
         {{'c', "/a", 0}, {'f', "/a", 5}, {'c', "/a", 6}},
         "/a",
         10,
         true},
        {"forgotten in the next generation",
         {{'c', "/a", 900}, {'c', "/b", 1500}, {'f', "/a", 1600}},
         "/a",
         1700,
         false},
        {"made again in the next generation",
         {{'c', "/a", 100}, {'c', "/a", 1200}},
         "/a",
         2100,
         true},
        {"kept by an expiry within the age", {{'c', "/a", 900}, {'e', "", 1100}}, "/a", 1800, true},
        {"dropped by a late expiry", {{'c', "/a", 900}, {'e', "", 3000}}, "/a", 3000, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FreshFiles fresh(kAge);
        for (const Step& step : row.steps) {
            if (step.op == 'c') fresh.Created(step.path, At(step.ms));
            if (step.op == 'f') fresh.Forget(step.path);
            if (step.op == 'e') fresh.Expire(At(step.ms));
        }
        EXPECT_EQ(fresh.IsFresh(row.asked, At(row.askedAt)), row.fresh);
    }
}

TEST(FreshFilesTest, ABurstStaysFreshAndIsLetGoWhole) {
    FreshFiles fresh(kAge);
    constexpr int kFiles = 100000;
    for (int i = 0; i < kFiles; ++i) fresh.Created("/w/f" + std::to_string(i), At(i / 1000));
    for (int i = 0; i < kFiles; i += 997) {
        EXPECT_TRUE(fresh.IsFresh("/w/f" + std::to_string(i), At(200))) << i;
        EXPECT_FALSE(fresh.IsFresh("/w/g" + std::to_string(i), At(200))) << i;
    }
    fresh.Expire(At(1500));
    EXPECT_FALSE(fresh.Empty());
    fresh.Expire(At(2600));
    EXPECT_TRUE(fresh.Empty());
    EXPECT_FALSE(fresh.IsFresh("/w/f1", At(2600)));
}

// Blocks of a dropped generation carry on in the next one; what they held
// before must not count, and the memory goes, but for one block, once
// nothing is fresh.
TEST(FreshFilesTest, GenerationsThatReuseMemoryKeepOnlyTheirOwnFiles) {
    FreshFiles fresh(kAge);
    constexpr int kFiles = 20000;
    const auto made = [&](char prefix, int ms) {
        for (int i = 0; i < kFiles; ++i) fresh.Created(prefix + std::to_string(i), At(ms));
    };
    made('a', 0);
    made('b', 1000);
    const size_t held = fresh.BytesHeld();
    made('c', 2000);
    made('d', 3000);
    EXPECT_LE(fresh.BytesHeld(), held) << "the blocks of a and b are reused";
    for (int i = 0; i < kFiles; i += 499) {
        EXPECT_FALSE(fresh.IsFresh("a" + std::to_string(i), At(3100))) << i;
        EXPECT_FALSE(fresh.IsFresh("b" + std::to_string(i), At(3100))) << i;
        EXPECT_TRUE(fresh.IsFresh("c" + std::to_string(i), At(2900))) << i;
        EXPECT_TRUE(fresh.IsFresh("d" + std::to_string(i), At(3100))) << i;
    }
    fresh.Forget("d7");
    EXPECT_FALSE(fresh.IsFresh("d7", At(3100)));
    fresh.Expire(At(4000));
    EXPECT_FALSE(fresh.Empty());
    fresh.Expire(At(5000));
    EXPECT_TRUE(fresh.Empty());
    EXPECT_EQ(fresh.BytesHeld(), FreshFiles::BlockBytes());
    made('e', 6000);
    EXPECT_TRUE(fresh.IsFresh("e1", At(6100)));
    EXPECT_FALSE(fresh.IsFresh("d1", At(6100)));
    fresh.Expire(At(8000));
    EXPECT_TRUE(fresh.Empty());
    EXPECT_EQ(fresh.BytesHeld(), FreshFiles::BlockBytes());
}

}  // namespace
