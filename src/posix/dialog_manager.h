// The dialog manager's side of message delivery: how a message reaches a
// dialog procedure, and what happens to the ones it leaves unhandled.
#pragma once

#include <windows.h>

#include "window_registry.h"

namespace posix {

// Calls the window's procedure on its owner thread. A WM_CLOSE that the
// procedure leaves unhandled posts the Cancel button's click, as Windows'
// dialog manager does.
LRESULT CallDialogProcedure(const Window& window, UINT msg, WPARAM wParam, LPARAM lParam);

}  // namespace posix
