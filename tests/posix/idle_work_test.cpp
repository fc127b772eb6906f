// Work a queue's owner does while no message waits: it is stepped on the
// owner's thread when its descriptor is readable, a post still wakes the
// owner, and work that another thread is at, or that was removed, is left.
#include <sys/eventfd.h>
#include <unistd.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "thread_queue.h"

namespace {

INT_PTR CALLBACK Ignore(HWND, UINT, WPARAM, LPARAM) {
    return 0;
}

// Work behind an eventfd. Each step takes the count and posts it to the
// window, unless the work is marked as taken by another thread.
class CountedWork : public posix::IdleWork {
  public:
    CountedWork() : m_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~CountedWork() override { close(m_fd); }
    int Fd() const override { return m_fd; }
    bool Step() override {
        ++steps;
        steppedOn = GetCurrentThreadId();
        if (elsewhere) return false;
        uint64_t count = 0;
        if (read(m_fd, &count, sizeof count) == sizeof count) {
            PostMessageW(window, WM_USER, static_cast<WPARAM>(count), 0);
            ++posted;
        }
        return true;
    }
    void BeforeSleep() override {
        ++sleeps;
        if (posted != handled) ++sleepsWithPostsUnhandled;
        sleptOn = std::this_thread::get_id();
    }
    void Signal() const {
        const uint64_t one = 1;
        ASSERT_EQ(write(m_fd, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    }

    HWND window = nullptr;
    std::atomic<bool> elsewhere{false};
    std::atomic<int> steps{0};
    std::atomic<DWORD> steppedOn{0};
    std::atomic<int> posted{0};
    std::atomic<int> handled{0};  // set by the test once it dispatched a post
    std::atomic<int> sleeps{0};
    std::atomic<int> sleepsWithPostsUnhandled{0};
    std::thread::id sleptOn;

  private:
    const int m_fd;
};

// Runs body on an owner thread with a window of its own and the work added
// to its queue; body gets the owner's thread id.
template <typename Body>
void WithOwner(const std::shared_ptr<CountedWork>& work, Body body) {
    std::thread owner([&] {
        work->window = CreateDialogParamW(nullptr, MAKEINTRESOURCEW(1), nullptr, Ignore, 0);
        ASSERT_TRUE(posix::CurrentQueue()->AddIdleWork(work));
        body(GetCurrentThreadId());
        posix::CurrentQueue()->RemoveIdleWork(work.get());
        DestroyWindow(work->window);
    });
    owner.join();
}

MSG NextMessage() {
    MSG msg{};
    EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    DispatchMessageA(&msg);
    return msg;
}

// The owner's next message, while another thread posts message to window
// after the delay: the owner sleeps until then unless something else wakes
// it.
UINT NextMessageWithOnePostedLater(HWND window, UINT message, std::chrono::milliseconds delay) {
    std::thread other([&] {
        std::this_thread::sleep_for(delay);
        PostMessageW(window, message, 0, 0);
    });
    const UINT next = NextMessage().message;
    other.join();
    return next;
}

TEST(IdleWorkTest, ReadableWorkIsSteppedOnTheOwnersThreadAndPostsStillWakeIt) {
    auto work = std::make_shared<CountedWork>();
    WithOwner(work, [&](DWORD ownerId) {
        constexpr int kRounds = 200;
        std::promise<void> done;
        std::thread signaller([&] {
            for (int i = 0; i < kRounds; ++i) {
                // Most signals find the owner asleep, some find it busy.
                if (i % 2) std::this_thread::sleep_for(std::chrono::microseconds(200));
                work->Signal();
            }
            PostMessageW(work->window, WM_USER + 1, 0, 0);
        });
        uint64_t counted = 0;
        for (;;) {
            const MSG msg = NextMessage();
            if (msg.message == WM_USER + 1) break;
            counted += msg.wParam;
        }
        signaller.join();
        // The last signals may still be unread when the closing post comes.
        while (counted < kRounds) counted += NextMessage().wParam;
        EXPECT_EQ(counted, static_cast<uint64_t>(kRounds));
        EXPECT_EQ(work->steppedOn.load(), ownerId);
    });
}

// While another thread is at the work its descriptor stays readable; the
// owner must then sleep until that thread posts, not step again and again.
TEST(IdleWorkTest, WorkTakenElsewhereLeavesTheOwnerWaitingForPosts) {
    auto work = std::make_shared<CountedWork>();
    work->elsewhere = true;
    WithOwner(work, [&](DWORD) {
        work->Signal();
        EXPECT_EQ(NextMessageWithOnePostedLater(work->window, WM_USER + 2,
                                                std::chrono::milliseconds(100)),
                  static_cast<UINT>(WM_USER + 2));
        EXPECT_LE(work->steps.load(), 2);
    });
}

// A step's messages are handled before the work hears that the owner is
// about to sleep, so what it does then cannot delay them.
TEST(IdleWorkTest, BeforeSleepComesOnlyOnceTheStepsMessagesAreHandled) {
    auto work = std::make_shared<CountedWork>();
    WithOwner(work, [&](DWORD) {
        for (int round = 1; round <= 3; ++round) {
            work->Signal();
            EXPECT_EQ(NextMessage().message, static_cast<UINT>(WM_USER));
            work->handled = round;
        }
        EXPECT_EQ(
            NextMessageWithOnePostedLater(work->window, WM_USER + 4, std::chrono::milliseconds(50)),
            static_cast<UINT>(WM_USER + 4));
        EXPECT_GE(work->sleeps.load(), 3);
        EXPECT_EQ(work->sleepsWithPostsUnhandled.load(), 0);
        EXPECT_EQ(work->sleptOn, std::this_thread::get_id());
    });
}

TEST(IdleWorkTest, RemovedWorkIsNotSteppedAgain) {
    auto work = std::make_shared<CountedWork>();
    WithOwner(work, [&](DWORD) {
        posix::CurrentQueue()->RemoveIdleWork(work.get());
        work->Signal();
        EXPECT_EQ(
            NextMessageWithOnePostedLater(work->window, WM_USER + 3, std::chrono::milliseconds(50)),
            static_cast<UINT>(WM_USER + 3));
        EXPECT_EQ(work->steps.load(), 0);
    });
}

}  // namespace
