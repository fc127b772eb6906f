// keep_desktop READY-FILE: holds a hidden window on wine's desktop for the
// whole test run, then creates READY-FILE and waits until it is ended.
//
// Wine runs the desktop in an explorer process that it starts for the first
// window and stops a little after the last one closes. A program that makes
// its first window while that explorer is starting or stopping can wait for
// seconds or fail to make it at all; with this window open the desktop stays
// up, and every run of the tool finds it ready.
#include <windows.h>
#include <shellapi.h>

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argc != 2) return 2;
    HWND window = CreateWindowExW(0, L"STATIC", L"orvane desktop keeper", WS_POPUP, 0, 0, 1, 1,
                                  nullptr, nullptr, nullptr, nullptr);
    if (!window) return 3;
    HANDLE ready = CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready == INVALID_HANDLE_VALUE) return 3;
    CloseHandle(ready);
    LocalFree(argv);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    return 0;
}
