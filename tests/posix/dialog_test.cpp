// The dialog manager: creation with WM_INITDIALOG, destruction by the owner
// thread only, the Cancel click that an unhandled WM_CLOSE becomes, and
// sending.
#include <windows.h>

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

namespace {

struct Call {
    HWND hwnd;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;

    bool operator==(const Call& other) const {
        return hwnd == other.hwnd && msg == other.msg && wParam == other.wParam &&
               lParam == other.lParam;
    }
};

std::ostream& operator<<(std::ostream& out, const Call& call) {
    return out << "{" << call.hwnd << ", 0x" << std::hex << call.msg << ", 0x" << call.wParam
               << ", 0x" << call.lParam << std::dec << "}";
}

std::mutex s_lock;
std::vector<Call> s_calls;
bool s_handleClose;  // whether the procedure reports WM_CLOSE handled

INT_PTR CALLBACK Record(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    std::lock_guard<std::mutex> hold(s_lock);
    s_calls.push_back(Call{hwnd, msg, wParam, lParam});
    if (msg == WM_CLOSE) return s_handleClose;
    return msg == WM_USER ? 0x55 : 0;
}

// A procedure that destroys its dialog while it is being created.
INT_PTR CALLBACK DestroyAtOnce(HWND hwnd, UINT msg, WPARAM, LPARAM) {
    if (msg == WM_INITDIALOG) DestroyWindow(hwnd);
    return 0;
}

std::vector<Call> TakeCalls() {
    std::lock_guard<std::mutex> hold(s_lock);
    std::vector<Call> calls;
    calls.swap(s_calls);
    return calls;
}

HWND NewDialog(LPARAM initParam = 0) {
    return CreateDialogParamW(nullptr, MAKEINTRESOURCEW(1), nullptr, Record, initParam);
}

void PumpAll() {
    PostQuitMessage(0);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0)) DispatchMessageA(&msg);
}

template <typename Body>
void OnNewThread(Body body) {
    std::thread thread(body);
    thread.join();
}

class DialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TakeCalls();
        s_handleClose = false;
    }
};

TEST_F(DialogTest, CreationSendsInitDialogBeforeReturning) {
    OnNewThread([] {
        const HWND dialog = NewDialog(0x1234);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(TakeCalls(), (std::vector<Call>{{dialog, WM_INITDIALOG, 0, 0x1234}}));
        EXPECT_EQ(ShowWindow(dialog, SW_HIDE), FALSE);
        EXPECT_EQ(UpdateWindow(dialog), TRUE);
        DestroyWindow(dialog);
    });
}

TEST_F(DialogTest, ADialogDestroyedWhileCreatedYieldsNull) {
    OnNewThread([] {
        EXPECT_EQ(CreateDialogParamW(nullptr, MAKEINTRESOURCEW(1), nullptr, DestroyAtOnce, 0),
                  nullptr);
        EXPECT_EQ(CreateDialogParamW(nullptr, MAKEINTRESOURCEW(1), nullptr, nullptr, 0), nullptr);
    });
}

TEST_F(DialogTest, DestroySendsWmDestroyAndRetiresTheHandle) {
    OnNewThread([] {
        const HWND dialog = NewDialog();
        PostMessageW(dialog, WM_USER, 1, 0);
        TakeCalls();
        EXPECT_EQ(DestroyWindow(dialog), TRUE);
        EXPECT_EQ(TakeCalls(), (std::vector<Call>{{dialog, WM_DESTROY, 0, 0}}));
        PumpAll();
        EXPECT_TRUE(TakeCalls().empty()) << "the queued message reached a destroyed dialog";
        SetLastError(0);
        EXPECT_EQ(DestroyWindow(dialog), FALSE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
        EXPECT_EQ(PostMessageW(dialog, WM_USER, 0, 0), FALSE);
        EXPECT_EQ(UpdateWindow(dialog), FALSE);
    });
}

TEST_F(DialogTest, DestroyFromAnotherThreadFailsAndTheDialogStaysUsable) {
    OnNewThread([] {
        const HWND dialog = NewDialog();
        TakeCalls();
        BOOL destroyed = TRUE;
        DWORD error = 0;
        std::thread([&] {
            SetLastError(0);
            destroyed = DestroyWindow(dialog);
            error = GetLastError();
        }).join();
        EXPECT_EQ(destroyed, FALSE);
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_TRUE(TakeCalls().empty()) << "WM_DESTROY ran on the wrong thread";

        EXPECT_EQ(PostMessageW(dialog, WM_USER, 2, 0), TRUE);
        PumpAll();
        EXPECT_EQ(TakeCalls(), (std::vector<Call>{{dialog, WM_USER, 2, 0}}));
        EXPECT_EQ(DestroyWindow(dialog), TRUE);
    });
}

TEST_F(DialogTest, DestroyOfANullOrUnknownHandleFails) {
    for (HWND handle : {HWND{nullptr}, reinterpret_cast<HWND>(0x7ff3)}) {
        SCOPED_TRACE(handle);
        SetLastError(0);
        EXPECT_EQ(DestroyWindow(handle), FALSE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    }
}

// Windows' dialog manager posts the click, so a message queued before the
// close is handled still comes first.
TEST_F(DialogTest, AnUnhandledCloseBecomesACancelClick) {
    const struct {
        const char* name;
        bool sent;
        bool handled;
    } rows[] = {
        {"posted, unhandled", false, false},
        {"sent, unhandled", true, false},
        {"posted, handled", false, true},
        {"sent, handled", true, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        s_handleClose = row.handled;
        TakeCalls();
        OnNewThread([&row] {
            const HWND dialog = NewDialog();
            if (row.sent) {
                SendMessageW(dialog, WM_CLOSE, 0, 0);
            } else {
                PostMessageW(dialog, WM_CLOSE, 0, 0);
            }
            PostMessageW(dialog, WM_USER, 0, 0);
            PumpAll();
            const Call close = {dialog, WM_CLOSE, 0, 0};
            const Call queued = {dialog, WM_USER, 0, 0};
            const Call click = {dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0};
            // A sent close posts the click before the test posts its message.
            std::vector<Call> expected = {{dialog, WM_INITDIALOG, 0, 0}, close};
            if (row.sent && !row.handled) expected.push_back(click);
            expected.push_back(queued);
            if (!row.sent && !row.handled) expected.push_back(click);
            EXPECT_EQ(TakeCalls(), expected);
            DestroyWindow(dialog);
        });
    }
}

TEST_F(DialogTest, SendCallsTheProcedureOnTheOwnerThreadOnly) {
    OnNewThread([] {
        const HWND dialog = NewDialog();
        TakeCalls();
        EXPECT_EQ(SendMessageW(dialog, WM_USER, 3, 4), 0x55);
        EXPECT_EQ(TakeCalls(), (std::vector<Call>{{dialog, WM_USER, 3, 4}}));
        LRESULT result = -1;
        DWORD error = 0;
        std::thread([&] {
            result = SendMessageW(dialog, WM_USER, 5, 6);
            error = GetLastError();
        }).join();
        EXPECT_EQ(result, 0);
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_TRUE(TakeCalls().empty());
        DestroyWindow(dialog);
    });
}

TEST_F(DialogTest, ShowAndUpdateAcceptANullHandle) {
    EXPECT_EQ(ShowWindow(nullptr, SW_HIDE), FALSE);
    EXPECT_EQ(UpdateWindow(nullptr), FALSE);
}

}  // namespace
