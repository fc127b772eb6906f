// The console entry: prints the prompt, installs the console control handler,
// creates the hidden watch dialog and pumps the thread's messages.
#include <stdio.h>

#include <windows.h>
#include <shellapi.h>

#include "watch_dialog.h"

int s_argc;
LPWSTR* s_wargv;

// Runs on a thread of the platform's. DestroyWindow fails there, since the
// dialog belongs to the main thread, and returning FALSE lets the default
// handling end the process.
static BOOL WINAPI HandlerRoutine(DWORD) {
    DestroyWindow(s_hwnd.load());
    return FALSE;
}

int main() {
    puts("Press Ctrl+C to quit");
    SetConsoleCtrlHandler(HandlerRoutine, TRUE);
    s_wargv = CommandLineToArgvW(GetCommandLineW(), &s_argc);

    HWND dialog =
        CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), nullptr, DialogProc, 0);
    ShowWindow(dialog, SW_HIDE);
    UpdateWindow(dialog);

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    LocalFree(s_wargv);
    return 0;
}
