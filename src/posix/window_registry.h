// The live windows of the process, by handle. A window belongs to the thread
// that created it: its messages go to that thread's queue, and only that
// thread may destroy it. Handles are never reused, so a stale handle can
// never reach a newer window.
#pragma once

#include <windows.h>

#include <memory>

#include "thread_queue.h"

namespace posix {

struct Window {
    HWND handle;
    DLGPROC procedure;
    std::shared_ptr<ThreadQueue> owner;
    // Set while WM_DESTROY runs; read and written by the owner thread only.
    bool destroying;
};

// Registers a new window owned by the calling thread.
std::shared_ptr<Window> AddWindow(DLGPROC procedure);

// The live window with this handle, or null.
std::shared_ptr<Window> LookUpWindow(HWND hwnd);

// The same, remembered by the calling thread until a window is retired: the
// reference lasts until the thread's next look-up.
const std::shared_ptr<Window>& LookUpWindowAgain(HWND hwnd);

// Retires the handle; later look-ups fail.
void RemoveWindow(HWND hwnd);

// Posts to the queue of the window's owner. On failure (no live window, or
// its thread ended) the payload is released at once and the last error set.
BOOL PostToWindow(HWND hwnd, const QueuedMessage& message);

// Retires every window of a thread that ends, without messages to them.
void RetireWindowsOf(DWORD threadId);

}  // namespace posix
