// The message loop's calls: GetMessageA, TranslateMessage, DispatchMessageA,
// the posting calls and PostQuitMessage, and the owned messages of
// messages.h. Each thread has its own queue (thread_queue.h); a message
// posted to a window goes to the queue of the thread that owns it.
#include "messages.h"

#include <vector>

#include "dialog_manager.h"
#include "hand_over.h"
#include "standard_output.h"

namespace {

posix::QueuedMessage Plain(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    posix::QueuedMessage message{};
    message.msg.hwnd = hwnd;
    message.msg.message = msg;
    message.msg.wParam = wParam;
    message.msg.lParam = lParam;
    return message;
}

}  // namespace

namespace posix {

BOOL PostOwnedMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, PayloadRelease release,
                      ULONG tag) {
    QueuedMessage message = Plain(hwnd, msg, wParam, lParam);
    message.owned = true;
    message.release = release;
    message.tag = tag;
    return PostToWindow(hwnd, message);
}

// The payloads are released outside the queues' locks, so a release may
// take locks of its own, whoever posts meanwhile.
void DropTaggedMessages(ULONG tag) {
    std::vector<QueuedMessage> dropped;
    for (const std::shared_ptr<ThreadQueue>& queue : AllQueues()) queue->DropTag(tag, &dropped);
    ReleasePayloads(dropped);
}

}  // namespace posix

// Only the whole queue can be read: the tool's loop takes every message of
// the thread, and nothing here needs filters, so they are refused.
BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    if (!lpMsg || hWnd || wMsgFilterMin || wMsgFilterMax) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    // Lines held back while more messages were queued go out before the
    // thread could wait: nothing known stays unwritten while the tool idles.
    std::vector<posix::QueuedMessage> undispatched;
    posix::CurrentQueue()->Take(lpMsg, &undispatched, posix::WriteHeldOutput, posix::SourcesAtWork);
    posix::ReleasePayloads(undispatched);
    return lpMsg->message == WM_QUIT ? FALSE : TRUE;
}

// There is no keyboard input to translate.
BOOL WINAPI TranslateMessage(const MSG*) {
    return FALSE;
}

// A message for a window that was destroyed, or dropped by its sender, since
// it was posted is not delivered. The payload of an owned message is
// released once the procedure has returned.
LRESULT WINAPI DispatchMessageA(const MSG* lpMsg) {
    if (!lpMsg) return 0;
    posix::QueuedMessage taken{};
    bool dropped = false;
    const bool owned = posix::CurrentQueue()->ClaimTaken(*lpMsg, &taken, &dropped);
    LRESULT result = 0;
    const std::shared_ptr<posix::Window> window = posix::LookUpWindowAgain(lpMsg->hwnd);
    if (!dropped && window && window->owner == posix::CurrentQueue()) {
        posix::SetDispatching(true);
        result = posix::CallDialogProcedure(*window, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
        posix::SetDispatching(false);
    }
    if (owned && taken.release) taken.release(taken.msg.wParam);
    return result;
}

// Windows would post a null window's message to the calling thread; here
// posting needs a live window, so a registration made without one fails
// visibly instead of filling a queue nobody reads.
BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return posix::PostToWindow(hWnd, Plain(hWnd, Msg, wParam, lParam));
}

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return PostMessageW(hWnd, Msg, wParam, lParam);
}

BOOL WINAPI PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
    const std::shared_ptr<posix::ThreadQueue> queue = posix::FindQueue(idThread);
    if (!queue || !queue->Post(Plain(nullptr, Msg, wParam, lParam))) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return PostThreadMessageW(idThread, Msg, wParam, lParam);
}

void WINAPI PostQuitMessage(int nExitCode) {
    posix::CurrentQueue()->PostQuit(nExitCode);
}
