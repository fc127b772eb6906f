// Work a queue's owner does while no message waits: it is stepped on the
// owner's thread when its descriptor is readable, a post still wakes the
// owner, and work that another thread is at, or that was removed, is left.
// Work with a blocking read of its own is slept on in that read, which a
// post interrupts.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
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

// Work behind a pipe, which the owner may sleep on in a blocking read: each
// byte 'w' is a piece of work, and a step posts how many it found; a byte
// 'i' is an interrupt, and means nothing.
class PipeWork : public posix::IdleWork {
  public:
    explicit PipeWork(bool readsOwnQueue) : m_agrees(readsOwnQueue) {
        EXPECT_EQ(pipe2(m_fds, O_CLOEXEC), 0);
    }
    ~PipeWork() override {
        close(m_fds[0]);
        close(m_fds[1]);
    }
    int Fd() const override { return m_fds[0]; }
    bool Step() override {
        ++steps;
        pollfd ready{m_fds[0], POLLIN, 0};
        if (poll(&ready, 1, 0) == 1) PostFound(read(m_fds[0], m_read, sizeof m_read));
        return true;
    }
    // Asked on the owner's thread, without the queue's lock; a post made
    // there stands for one that another thread makes meanwhile.
    bool BeginWaitInRead() override {
        if (postWhileAsked.exchange(false)) PostMessageW(window, WM_USER + 5, 0, 0);
        return m_agrees;
    }
    void WaitInRead() override {
        ++readSleeps;
        m_size = read(m_fds[0], m_read, sizeof m_read);
    }
    bool StepAfterWait() override {
        steppedOn = GetCurrentThreadId();
        PostFound(m_size);
        m_size = 0;
        return true;
    }
    void Interrupt() override { Put('i'); }
    void Put(char byte) const { ASSERT_EQ(write(m_fds[1], &byte, 1), 1); }

    HWND window = nullptr;
    std::atomic<bool> postWhileAsked{false};
    std::atomic<int> steps{0};
    std::atomic<int> readSleeps{0};
    std::atomic<DWORD> steppedOn{0};

  private:
    void PostFound(ssize_t size) {
        const auto found = std::count(m_read, m_read + std::max<ssize_t>(size, 0), 'w');
        if (found) PostMessageW(window, WM_USER, static_cast<WPARAM>(found), 0);
    }

    const bool m_agrees;
    int m_fds[2] = {-1, -1};
    char m_read[64] = {};
    ssize_t m_size = 0;
};

// Runs body on an owner thread with a window of its own and the work added
// to its queue; body gets the owner's thread id.
template <typename Work, typename Body>
void WithOwner(const std::shared_ptr<Work>& work, Body body) {
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

// One row per way a sleeping owner is woken, with work that may be slept on
// in its read and with work that may not.
TEST(IdleWorkTest, AnOwnerAsleepInTheWorksReadIsWokenByItsWorkAndByPosts) {
    enum Waker { kWork, kPost, kPostWhileAsked };
    struct Row {
        const char* name;
        bool readsOwnQueue;
        Waker waker;
    };
    const Row rows[] = {
        {"work, slept on in its read", true, kWork},
        {"a post, slept on in the work's read", true, kPost},
        {"a post while the work is asked, which agrees", true, kPostWhileAsked},
        {"work, slept on with epoll", false, kWork},
        {"a post, slept on with epoll", false, kPost},
        {"a post while the work is asked, which refuses", false, kPostWhileAsked},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto work = std::make_shared<PipeWork>(row.readsOwnQueue);
        WithOwner(work, [&](DWORD ownerId) {
            // Right after a step that found work the owner looks on the
            // descriptors first, and asks the work only once that is over.
            const int rounds = row.waker == kPostWhileAsked ? 1 : 3;
            for (int round = 0; round < rounds; ++round) {
                std::atomic<bool> taken{false};
                std::thread other([&] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    if (row.waker == kWork) work->Put('w');
                    if (row.waker == kPost) PostMessageW(work->window, WM_USER + 5, 0, 0);
                    const auto deadline =
                        std::chrono::steady_clock::now() + std::chrono::seconds(5);
                    while (!taken && std::chrono::steady_clock::now() < deadline) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    }
                    if (taken) return;
                    ADD_FAILURE() << row.name << ": the owner slept on after 5 s";
                    work->Put('i');
                });
                work->postWhileAsked = row.waker == kPostWhileAsked;
                const MSG msg = NextMessage();
                taken = true;
                other.join();
                EXPECT_EQ(msg.message,
                          static_cast<UINT>(row.waker == kWork ? WM_USER : WM_USER + 5));
                if (row.waker == kWork) {
                    EXPECT_EQ(msg.wParam, 1u);
                }
            }
            if (row.waker == kPostWhileAsked) {
                EXPECT_EQ(work->readSleeps.load(), 0);
            } else if (row.readsOwnQueue) {
                EXPECT_GE(work->readSleeps.load(), 3);
                EXPECT_EQ(work->steps.load(), 0);
                EXPECT_EQ(work->steppedOn.load(), ownerId);
            } else {
                EXPECT_EQ(work->readSleeps.load(), 0);
                if (row.waker == kWork) {
                    EXPECT_GE(work->steps.load(), 3);
                }
            }
        });
    }
}

}  // namespace
