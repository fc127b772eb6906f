// CreateDialogParamW, DestroyWindow, ShowWindow, UpdateWindow and
// SendMessageW over windows that are never shown: a dialog here is its
// procedure and the thread that owns it. The template is not read.
#include <windows.h>

#include <vector>

#include "dialog_manager.h"

namespace posix {

// Windows' DefDlgProc posts the click rather than sending it, so messages
// already queued are delivered before the dialog acts on it. There are no
// button windows here, so lParam, the button's handle on Windows, is 0.
LRESULT CallDialogProcedure(const Window& window, UINT msg, WPARAM wParam, LPARAM lParam) {
    const INT_PTR result = window.procedure(window.handle, msg, wParam, lParam);
    if (msg == WM_CLOSE && !result) {
        QueuedMessage click{};
        click.msg.hwnd = window.handle;
        click.msg.message = WM_COMMAND;
        click.msg.wParam = MAKEWPARAM(IDCANCEL, BN_CLICKED);
        PostToWindow(window.handle, click);
    }
    return result;
}

}  // namespace posix

namespace {

// The window, when the calling thread owns it; else null with the error set.
std::shared_ptr<posix::Window> OwnedWindow(HWND hwnd) {
    std::shared_ptr<posix::Window> window = posix::LookUpWindow(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    if (window->owner != posix::CurrentQueue()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return window;
}

}  // namespace

// WM_INITDIALOG arrives before the handle is returned; a dialog that its
// procedure destroyed meanwhile yields null, as on Windows.
HWND WINAPI CreateDialogParamW(HINSTANCE, LPCWSTR, HWND, DLGPROC lpDialogFunc, LPARAM dwInitParam) {
    if (!lpDialogFunc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::shared_ptr<posix::Window> window = posix::AddWindow(lpDialogFunc);
    posix::CallDialogProcedure(*window, WM_INITDIALOG, 0, dwInitParam);
    if (!posix::LookUpWindow(window->handle)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return window->handle;
}

// The handle stays valid while WM_DESTROY runs; then it is retired, and what
// is still queued for it is dropped.
BOOL WINAPI DestroyWindow(HWND hWnd) {
    const std::shared_ptr<posix::Window> window = OwnedWindow(hWnd);
    if (!window) return FALSE;
    if (window->destroying) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    window->destroying = true;
    posix::CallDialogProcedure(*window, WM_DESTROY, 0, 0);
    posix::RemoveWindow(hWnd);
    std::vector<posix::QueuedMessage> dropped;
    window->owner->RemoveForWindow(hWnd, &dropped);
    posix::ReleasePayloads(dropped);
    return TRUE;
}

// No window is ever visible, so each was hidden before the call.
BOOL WINAPI ShowWindow(HWND, int) {
    return FALSE;
}

BOOL WINAPI UpdateWindow(HWND hWnd) {
    return posix::LookUpWindow(hWnd) ? TRUE : FALSE;
}

// Only the owner thread may send: a cross-thread send would have to wait for
// the owner's message loop, which nothing here needs, so it fails with
// ERROR_ACCESS_DENIED.
LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    const std::shared_ptr<posix::Window> window = OwnedWindow(hWnd);
    if (!window) return 0;
    return posix::CallDialogProcedure(*window, Msg, wParam, lParam);
}
