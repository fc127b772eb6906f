// What the change source needs from the message queues beyond the Win32
// calls: messages that carry a payload the layer releases.
#pragma once

#include <windows.h>

namespace posix {

// Releases a payload that travels in a message's wParam.
typedef void (*PayloadRelease)(WPARAM wParam);

// Posts to the queue of the thread that owns hwnd. After the window's
// procedure has returned from the message, or when the message is dropped,
// release(wParam) runs. tag names the sender, for DropTaggedMessages.
// Returns FALSE, releasing the payload at once, when hwnd is no live window.
BOOL PostOwnedMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, PayloadRelease release,
                      ULONG tag);

// Removes every queued message posted with tag, releasing its payload, on
// whichever thread calls it. A message that its thread has taken but not yet
// dispatched is not delivered, and released when the thread comes to it; one
// whose procedure is running keeps its payload until the procedure returns.
// Messages posted with tag after the call are queued as usual, so the sender
// stops posting first.
void DropTaggedMessages(ULONG tag);

}  // namespace posix
