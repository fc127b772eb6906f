// The per-thread message queues: posting from any thread, delivery in order,
// WM_QUIT, and the targets that a post cannot reach.
#include <sched.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

std::mutex s_lock;
std::vector<MSG> s_delivered;

// A dialog procedure that records the user messages it gets.
INT_PTR CALLBACK Record(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg >= WM_USER) {
        std::lock_guard<std::mutex> hold(s_lock);
        s_delivered.push_back(MSG{hwnd, msg, wParam, lParam, 0, {}});
    }
    return 0;
}

std::vector<MSG> TakeDelivered() {
    std::lock_guard<std::mutex> hold(s_lock);
    std::vector<MSG> delivered;
    delivered.swap(s_delivered);
    return delivered;
}

HWND NewWindow() {
    return CreateDialogParamW(nullptr, MAKEINTRESOURCEW(1), nullptr, Record, 0);
}

// Each test runs its queue on a thread of its own, so what one test leaves
// queued ends with that thread and cannot reach the next.
template <typename Body>
void OnNewThread(Body body) {
    std::thread thread(body);
    thread.join();
}

struct Receiver {
    HWND window;
    DWORD thread;
};

TEST(MessageQueueTest, ManyPostersLoseNothingAndKeepEachPostersOrder) {
    constexpr UINT kPosters = 4;
    constexpr WPARAM kEach = 20000;
    TakeDelivered();
    std::promise<Receiver> started;
    std::thread receiver([&] {
        started.set_value(Receiver{NewWindow(), GetCurrentThreadId()});
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0)) DispatchMessageA(&msg);
    });
    const Receiver target = started.get_future().get();
    std::vector<std::thread> posters;
    std::atomic<int> refused{0};
    for (UINT poster = 0; poster < kPosters; ++poster) {
        posters.emplace_back([&, poster] {
            for (WPARAM i = 0; i < kEach; ++i) {
                if (!PostMessageW(target.window, WM_USER + poster, i, 0)) ++refused;
            }
        });
    }
    for (std::thread& poster : posters) poster.join();
    EXPECT_TRUE(PostThreadMessageW(target.thread, WM_QUIT, 0, 0));
    receiver.join();

    EXPECT_EQ(refused, 0);
    const std::vector<MSG> delivered = TakeDelivered();
    EXPECT_EQ(delivered.size(), kPosters * kEach);
    std::vector<WPARAM> next(kPosters, 0);
    for (const MSG& msg : delivered) {
        const UINT poster = msg.message - WM_USER;
        ASSERT_LT(poster, kPosters);
        ASSERT_EQ(msg.wParam, next[poster]) << "poster " << poster << " out of order";
        ++next[poster];
        EXPECT_EQ(msg.hwnd, target.window);
    }
}

TEST(MessageQueueTest, QuitComesAfterEveryPostedMessageWithItsExitCode) {
    OnNewThread([] {
        const DWORD self = GetCurrentThreadId();
        PostThreadMessageW(self, WM_USER, 1, 0);
        PostQuitMessage(7);
        PostThreadMessageW(self, WM_USER, 2, 0);
        MSG msg;
        EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
        EXPECT_EQ(msg.wParam, 1u);
        EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
        EXPECT_EQ(msg.wParam, 2u);
        EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
        EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
        EXPECT_EQ(msg.wParam, 7u);
    });
}

TEST(MessageQueueTest, APostedQuitEndsTheLoopInItsTurn) {
    OnNewThread([] {
        const DWORD self = GetCurrentThreadId();
        PostThreadMessageW(self, WM_QUIT, 3, 0);
        PostThreadMessageW(self, WM_USER, 0, 0);
        MSG msg;
        EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
        EXPECT_EQ(msg.wParam, 3u);
        EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
        EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER));
    });
}

TEST(MessageQueueTest, PostingFailsWithoutALiveTarget) {
    HWND destroyed = nullptr;
    DWORD endedThread = 0;
    OnNewThread([&] {
        endedThread = GetCurrentThreadId();
        destroyed = NewWindow();
        DestroyWindow(destroyed);
    });
    const struct {
        const char* name;
        HWND window;
        DWORD error;
    } windows[] = {
        {"null window", nullptr, ERROR_INVALID_WINDOW_HANDLE},
        {"destroyed window", destroyed, ERROR_INVALID_WINDOW_HANDLE},
        {"never issued", reinterpret_cast<HWND>(0x7ff1), ERROR_INVALID_WINDOW_HANDLE},
    };
    for (const auto& row : windows) {
        SCOPED_TRACE(row.name);
        SetLastError(0);
        EXPECT_EQ(PostMessageW(row.window, WM_USER, 0, 0), FALSE);
        EXPECT_EQ(PostMessageA(row.window, WM_USER, 0, 0), FALSE);
        EXPECT_EQ(GetLastError(), row.error);
    }
    for (DWORD thread : {endedThread, DWORD{0}}) {
        SCOPED_TRACE(thread);
        SetLastError(0);
        EXPECT_EQ(PostThreadMessageW(thread, WM_USER, 0, 0), FALSE);
        EXPECT_EQ(PostThreadMessageA(thread, WM_USER, 0, 0), FALSE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    }
}

TEST(MessageQueueTest, AWindowsThreadEndingRetiresTheWindow) {
    HWND orphan = nullptr;
    OnNewThread([&] { orphan = NewWindow(); });
    ASSERT_NE(orphan, nullptr);
    EXPECT_EQ(PostMessageW(orphan, WM_USER, 0, 0), FALSE);
}

TEST(MessageQueueTest, AMessageForAWindowDestroyedMeanwhileIsNotDelivered) {
    TakeDelivered();
    OnNewThread([] {
        const HWND window = NewWindow();
        PostMessageW(window, WM_USER, 1, 0);
        MSG taken;
        ASSERT_EQ(GetMessageA(&taken, nullptr, 0, 0), TRUE);
        PostMessageW(window, WM_USER, 2, 0);
        DestroyWindow(window);
        DispatchMessageA(&taken);
        PostQuitMessage(0);
        MSG next;
        EXPECT_EQ(GetMessageA(&next, nullptr, 0, 0), FALSE) << "message " << next.message;
    });
    EXPECT_TRUE(TakeDelivered().empty());
}

// A poster remembers the window it posted to last; a window destroyed or
// retired since must still refuse its posts.
TEST(MessageQueueTest, APosterThatReachedAWindowCannotReachItOnceItIsGone) {
    for (const bool byThreadEnd : {false, true}) {
        SCOPED_TRACE(byThreadEnd ? "its thread ended" : "destroyed");
        std::promise<HWND> made;
        std::promise<void> posted;
        std::thread owner([&] {
            const HWND window = NewWindow();
            made.set_value(window);
            posted.get_future().wait();
            if (!byThreadEnd) DestroyWindow(window);
        });
        const HWND window = made.get_future().get();
        EXPECT_EQ(PostMessageW(window, WM_USER, 0, 0), TRUE);
        posted.set_value();
        owner.join();
        EXPECT_EQ(PostMessageW(window, WM_USER, 0, 0), FALSE);
    }
}

// A sleeping owner woken by a post may be moved next to its poster for the
// wake-up; once it waits again, it has the processors it was allowed before.
TEST(MessageQueueTest, AnOwnerWokenByPostsKeepsItsProcessors) {
    cpu_set_t before;
    ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
    TakeDelivered();
    OnNewThread([&] {
        const HWND window = NewWindow();
        constexpr int kPosts = 20;
        std::thread poster([window] {
            for (int i = 0; i < kPosts; ++i) {
                // Long enough for the owner to be asleep when the post comes.
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                PostMessageW(window, WM_USER, i, 0);
            }
        });
        for (int i = 0; i < kPosts; ++i) {
            MSG msg;
            ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
            DispatchMessageA(&msg);
        }
        poster.join();
        PostQuitMessage(0);
        MSG quit;
        EXPECT_EQ(GetMessageA(&quit, nullptr, 0, 0), FALSE);
        cpu_set_t now;
        ASSERT_EQ(sched_getaffinity(0, sizeof now, &now), 0);
        EXPECT_TRUE(CPU_EQUAL(&now, &before));
        DestroyWindow(window);
    });
    EXPECT_EQ(TakeDelivered().size(), 20u);
}

TEST(MessageQueueTest, ThreadIdsAreUniqueAndStable) {
    constexpr int kThreads = 8;
    std::vector<DWORD> ids(kThreads);
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&ids, i] {
            ids[i] = GetCurrentThreadId();
            EXPECT_EQ(GetCurrentThreadId(), ids[i]);
        });
    }
    for (std::thread& thread : threads) thread.join();
    ids.push_back(GetCurrentThreadId());
    const std::set<DWORD> distinct(ids.begin(), ids.end());
    EXPECT_EQ(distinct.size(), ids.size());
    EXPECT_EQ(distinct.count(0), 0u);
}

}  // namespace
