// The hand-over between the change sources and the message loop: a source
// that finds it full waits on the drained descriptor, which the loop's
// draining makes readable.
#include "hand_over.h"

#include <poll.h>

#include <gtest/gtest.h>

namespace {

using posix::HandOver;

bool Readable(int fd) {
    struct pollfd entry = {fd, POLLIN, 0};
    return poll(&entry, 1, 0) == 1;
}

TEST(HandOverTest, AFullHandOverWakesItsWaiterOnceHalfIsPrinted) {
    HandOver& handOver = HandOver::Instance();
    ASSERT_GE(handOver.DrainedFd(), 0);
    EXPECT_FALSE(handOver.Full());

    handOver.Add(HandOver::kBound - 1);
    EXPECT_FALSE(handOver.Full()) << "just below the bound";
    handOver.Add(1);
    EXPECT_TRUE(handOver.Full()) << "at the bound";
    EXPECT_FALSE(Readable(handOver.DrainedFd())) << "nothing printed yet";

    handOver.Remove(HandOver::kBound - HandOver::kResume);
    EXPECT_FALSE(Readable(handOver.DrainedFd())) << "at the resume mark, not below it";
    handOver.Remove(1);
    EXPECT_TRUE(Readable(handOver.DrainedFd())) << "below the resume mark";
    handOver.TakeDrained();
    EXPECT_FALSE(Readable(handOver.DrainedFd()));
    EXPECT_FALSE(handOver.Full());

    handOver.Remove(HandOver::kResume - 1);
    EXPECT_FALSE(Readable(handOver.DrainedFd())) << "no waiter, no wake-up";
}

TEST(HandOverTest, ALineCountsItsPathsAndItsCarriage) {
    EXPECT_GT(posix::HandOverBytes(0, 0), 0u);
    EXPECT_EQ(posix::HandOverBytes(10, 5) - posix::HandOverBytes(0, 0), 15u);
}

}  // namespace
