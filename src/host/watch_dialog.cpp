#include "watch_dialog.h"

#include <stdio.h>

#include <shlobj.h>

#include "../report/change_report.h"
#include "../shell/shell_binding.h"

std::atomic<HWND> s_hwnd{nullptr};

static ITEMIDLIST* s_pidl;
static ULONG s_uRegID;
static SHChangeNotifyEntry s_entry;

INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_INITDIALOG:
            return OnInitDialog(hwnd);
        case WM_COMMAND:
            OnCommand(hwnd, LOWORD(wParam));
            return 0;
        case WM_SHELLNOTIFY:
            return OnShellNotify(hwnd, wParam, lParam);
        case WM_DESTROY:
            OnDestroy(hwnd);
            return 0;
        default:
            return 0;
    }
}

int OnInitDialog(HWND hwnd) {
    s_hwnd = hwnd;
    DoInit(hwnd, s_argc, s_wargv);
    return 1;
}

void OnCommand(HWND hwnd, int id) {
    if (id == IDOK || id == IDCANCEL) DestroyWindow(hwnd);
}

void OnDestroy(HWND) {
    pSHChangeNotifyDeregister(s_uRegID);
    CoTaskMemFree(s_pidl);
    s_hwnd = nullptr;
}

// Standard output carries only the prompt and event lines, so a watch that
// cannot start is explained on standard error; the tool still runs on, as it
// would with a watch that never reports.
static void ReportUnwatched(const wchar_t* path, const char* reason) {
    char text[MAX_PATH * 4] = "";
    WideCharToMultiByte(CP_ACP, 0, path, -1, text, sizeof text, nullptr, nullptr);
    fprintf(stderr, "orvane: cannot watch '%s': %s\n", text, reason);
    fflush(stderr);
}

bool DoInit(HWND hwnd, int argc, LPWSTR* argv) {
    const wchar_t* path = L"the desktop";
    if (argc > 1) {
        path = argv[1];
        s_pidl = ILCreateFromPathW(argv[1]);
    } else {
        SHGetSpecialFolderLocation(hwnd, CSIDL_DESKTOP, &s_pidl);
    }
    s_entry.pidl = s_pidl;
    s_entry.fRecursive = TRUE;
    s_uRegID = pSHChangeNotifyRegister(hwnd, SHCNRF_ShellLevel, SHCNE_ALLEVENTS, WM_SHELLNOTIFY, 1,
                                       &s_entry);
    if (!s_pidl) {
        ReportUnwatched(path, "no such file or folder");
    } else if (s_uRegID == 0) {
        ReportUnwatched(path, "the shell refused to register the watch");
    }
    return s_uRegID != 0;
}
