// The tool's own watch dialog on the stand-in's dialog manager: a WM_CLOSE
// becomes the Cancel click, which destroys the dialog, and no line is
// printed after it.
#include <windows.h>

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "host/watch_dialog.h"
#include "item_list.h"
#include "stdout_capture.h"

// The split command line lives in the tool's entry (host.cpp), which is not
// part of the library; the dialog reads it while it is initialised.
int s_argc;
LPWSTR* s_wargv;

namespace {

// A quiet folder of its own to watch, so a real change source reports
// nothing while the test runs.
class WatchDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char folder[] = "/tmp/orvane-watch-dialog-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        m_folder = folder;
        m_wideFolder.assign(m_folder.begin(), m_folder.end());
        m_argv[0] = const_cast<wchar_t*>(L"orvane");
        m_argv[1] = &m_wideFolder[0];
        s_argc = 2;
        s_wargv = m_argv;
        m_items[0] = posix::NewItemList(m_folder + "/a.txt");
        m_items[1] = nullptr;
    }

    void TearDown() override {
        CoTaskMemFree(m_items[0]);
        rmdir(m_folder.c_str());
    }

    BOOL PostCreated(HWND dialog) {
        return PostMessageW(dialog, WM_SHELLNOTIFY, reinterpret_cast<WPARAM>(m_items),
                            SHCNE_CREATE);
    }

    static void DispatchNext() {
        MSG msg;
        ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
        DispatchMessageA(&msg);
    }

    static void PumpAll() {
        PostQuitMessage(0);
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0)) DispatchMessageA(&msg);
    }

    std::string m_folder;
    std::wstring m_wideFolder;
    LPWSTR m_argv[3] = {};
    ITEMIDLIST* m_items[2] = {};
};

TEST_F(WatchDialogTest, CloseBecomesCancelAndNothingIsPrintedAfterIt) {
    StdoutCapture capture;
    const HWND dialog = CreateDialogParamW(nullptr, MAKEINTRESOURCEW(1), nullptr, DialogProc, 0);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(s_hwnd.load(), dialog);

    // One line while the dialog lives shows that a notification would print.
    ASSERT_TRUE(PostCreated(dialog));
    DispatchNext();

    ASSERT_TRUE(PostMessageW(dialog, WM_CLOSE, 0, 0));
    DispatchNext();
    ASSERT_TRUE(PostCreated(dialog)) << "the dialog went before its Cancel click";
    PumpAll();

    EXPECT_EQ(s_hwnd.load(), nullptr);
    EXPECT_FALSE(PostCreated(dialog));
    EXPECT_EQ(capture.Finish(), "SHCNE_CREATE('" + m_folder + "/a.txt', '')\n");
}

}  // namespace
