// Messages whose payload the layer releases: each payload is released
// exactly once, and never while a procedure may still read it.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <thread>

#include "messages.h"

namespace {

constexpr UINT kOwned = WM_USER + 7;
constexpr ULONG kTag = 41;
constexpr ULONG kOtherTag = 42;

std::mutex s_lock;
std::map<WPARAM, int> s_releases;  // payload -> times released
std::map<WPARAM, int> s_releasesSeenByProcedure;
std::vector<WPARAM> s_delivered;
ULONG s_dropFromProcedure;  // a tag the procedure drops, or 0

void Release(WPARAM payload) {
    std::lock_guard<std::mutex> hold(s_lock);
    ++s_releases[payload];
}

int Releases(WPARAM payload) {
    std::lock_guard<std::mutex> hold(s_lock);
    return s_releases.count(payload) ? s_releases.at(payload) : 0;
}

// Records each payload it gets and how often it had been released by then.
INT_PTR CALLBACK Receive(HWND, UINT msg, WPARAM wParam, LPARAM) {
    if (msg != kOwned) return 0;
    if (s_dropFromProcedure) posix::DropTaggedMessages(s_dropFromProcedure);
    std::lock_guard<std::mutex> hold(s_lock);
    s_delivered.push_back(wParam);
    s_releasesSeenByProcedure[wParam] = s_releases.count(wParam) ? s_releases.at(wParam) : 0;
    return 1;
}

class OwnedMessageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        s_releases.clear();
        s_releasesSeenByProcedure.clear();
        s_delivered.clear();
        s_dropFromProcedure = 0;
    }

    static HWND NewWindow() {
        return CreateDialogParamW(nullptr, MAKEINTRESOURCEW(1), nullptr, Receive, 0);
    }

    static BOOL Post(HWND window, WPARAM payload, ULONG tag = kTag) {
        return posix::PostOwnedMessage(window, kOwned, payload, 0, Release, tag);
    }

    // Dispatches until the thread's queue yields WM_QUIT.
    static void PumpAll() {
        PostQuitMessage(0);
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0)) DispatchMessageA(&msg);
    }

    // Each payload in [first, last] was released exactly once.
    static void ExpectReleasedOnce(WPARAM first, WPARAM last) {
        for (WPARAM payload = first; payload <= last; ++payload) {
            EXPECT_EQ(Releases(payload), 1) << "payload " << payload;
        }
    }
};

template <typename Body>
void OnNewThread(Body body) {
    std::thread thread(body);
    thread.join();
}

TEST_F(OwnedMessageTest, ReleasedOnceAfterTheProcedureReturns) {
    OnNewThread([] {
        const HWND window = NewWindow();
        for (WPARAM payload = 1; payload <= 3; ++payload) ASSERT_TRUE(Post(window, payload));
        PumpAll();
    });
    EXPECT_EQ(s_delivered, (std::vector<WPARAM>{1, 2, 3}));
    for (WPARAM payload = 1; payload <= 3; ++payload) {
        EXPECT_EQ(s_releasesSeenByProcedure[payload], 0) << "payload " << payload;
    }
    ExpectReleasedOnce(1, 3);
}

TEST_F(OwnedMessageTest, DroppingATagReleasesOnlyItsQueuedMessages) {
    OnNewThread([] {
        const HWND window = NewWindow();
        Post(window, 1, kTag);
        Post(window, 2, kOtherTag);
        Post(window, 3, kTag);
        PostMessageW(window, kOwned, 4, 0);  // a plain message has no tag
        posix::DropTaggedMessages(kTag);
        EXPECT_EQ(Releases(1), 1);
        EXPECT_EQ(Releases(3), 1);
        EXPECT_EQ(Releases(2), 0);
        PumpAll();
    });
    EXPECT_EQ(s_delivered, (std::vector<WPARAM>{2, 4}));
    ExpectReleasedOnce(1, 3);
    EXPECT_EQ(Releases(4), 0);
}

// The change source drops its tag from the main thread while it may be
// inside the dispatch of one of its own messages.
TEST_F(OwnedMessageTest, DroppingDuringItsOwnDispatchKeepsThePayloadUntilReturn) {
    s_dropFromProcedure = kTag;
    OnNewThread([] {
        const HWND window = NewWindow();
        Post(window, 1);
        Post(window, 2);
        PumpAll();
    });
    EXPECT_EQ(s_delivered, (std::vector<WPARAM>{1}));
    EXPECT_EQ(s_releasesSeenByProcedure[1], 0);
    ExpectReleasedOnce(1, 2);
}

TEST_F(OwnedMessageTest, DroppedFromAnotherThreadAfterGetMessageIsNotDelivered) {
    OnNewThread([] {
        const HWND window = NewWindow();
        Post(window, 1);
        MSG taken;
        ASSERT_EQ(GetMessageA(&taken, nullptr, 0, 0), TRUE);
        std::thread([] { posix::DropTaggedMessages(kTag); }).join();
        EXPECT_EQ(Releases(1), 0);
        DispatchMessageA(&taken);
        EXPECT_EQ(Releases(1), 1);
    });
    EXPECT_TRUE(s_delivered.empty());
    ExpectReleasedOnce(1, 1);
}

TEST_F(OwnedMessageTest, ReleasedWhenTheWindowIsDestroyed) {
    OnNewThread([] {
        const HWND window = NewWindow();
        Post(window, 1);
        Post(window, 2);
        MSG taken;
        ASSERT_EQ(GetMessageA(&taken, nullptr, 0, 0), TRUE);
        DestroyWindow(window);
        EXPECT_EQ(Releases(2), 1);
        DispatchMessageA(&taken);
        PumpAll();
    });
    EXPECT_TRUE(s_delivered.empty());
    ExpectReleasedOnce(1, 2);
}

TEST_F(OwnedMessageTest, ReleasedAtOnceWhenTheWindowIsGone) {
    HWND window = nullptr;
    OnNewThread([&window] {
        window = NewWindow();
        DestroyWindow(window);
    });
    SetLastError(0);
    EXPECT_EQ(Post(window, 1), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(Post(nullptr, 2), FALSE);
    ExpectReleasedOnce(1, 2);
}

TEST_F(OwnedMessageTest, ReleasedWhenTheQueuesThreadEnds) {
    OnNewThread([] {
        const HWND window = NewWindow();
        Post(window, 1);
        Post(window, 2);
        MSG taken;
        ASSERT_EQ(GetMessageA(&taken, nullptr, 0, 0), TRUE);  // taken, never dispatched
        EXPECT_EQ(Releases(1), 0);
    });
    EXPECT_TRUE(s_delivered.empty());
    ExpectReleasedOnce(1, 2);
}

TEST_F(OwnedMessageTest, ATakenMessageNeverDispatchedIsReleasedByTheNextGet) {
    OnNewThread([] {
        const HWND window = NewWindow();
        Post(window, 1);
        MSG msg;
        ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
        PostQuitMessage(0);
        EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
        EXPECT_EQ(Releases(1), 1);
    });
    ExpectReleasedOnce(1, 1);
}

// Posts from several threads race with drops; whatever the interleaving,
// each payload is released exactly once.
TEST_F(OwnedMessageTest, PostsRacingWithDropsReleaseEachPayloadOnce) {
    constexpr WPARAM kEach = 5000;
    OnNewThread([] {
        const HWND window = NewWindow();
        std::thread first([window] {
            for (WPARAM i = 0; i < kEach; ++i) Post(window, 1 + i, kTag);
        });
        std::thread second([window] {
            for (WPARAM i = 0; i < kEach; ++i) Post(window, 1 + kEach + i, kOtherTag);
        });
        std::thread dropper([] {
            for (int i = 0; i < 50; ++i) posix::DropTaggedMessages(kTag);
        });
        MSG msg;
        for (int i = 0; i < 100; ++i) {
            PostMessageW(window, WM_NULL, 0, 0);
            GetMessageA(&msg, nullptr, 0, 0);
            DispatchMessageA(&msg);
        }
        first.join();
        second.join();
        dropper.join();
        PumpAll();
    });
    ExpectReleasedOnce(1, 2 * kEach);
}

}  // namespace
