// SetConsoleCtrlHandler over the signals that stand for console control
// events: SIGINT is Ctrl+C, SIGQUIT Ctrl+Break, SIGHUP the console closing
// and SIGTERM shutdown. As on Windows, the handlers run on a thread of their
// own: the first call blocks the four signals in the calling thread, which
// every thread started later inherits, and starts a thread that takes them
// with sigwait. That first call must therefore come before the process
// starts other threads (the tool makes it first thing in main); a thread
// that already runs would otherwise take the signal with its default action.
#include <windows.h>

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <mutex>
#include <vector>

#include "standard_output.h"

// The run record of a build instrumented for profile-guided optimization,
// written by its runtime at a normal exit. Null in every other build.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the runtime names it so.
extern "C" void __gcov_dump() __attribute__((weak));

namespace {

constexpr int kEndGraceMs = 500;

struct ControlEvent {
    int signal;
    DWORD event;
};

constexpr ControlEvent kControlEvents[] = {
    {SIGINT, CTRL_C_EVENT},
    {SIGQUIT, CTRL_BREAK_EVENT},
    {SIGHUP, CTRL_CLOSE_EVENT},
    {SIGTERM, CTRL_SHUTDOWN_EVENT},
};

// Allocated once and never destroyed: the dispatch thread reads it until the
// process is gone.
struct Handlers {
    std::mutex lock;
    std::vector<PHANDLER_ROUTINE> routines;  // the last added is called first
    bool ignoreCtrlC = false;
};

Handlers& State() {
    static Handlers* s_handlers = new Handlers;
    return *s_handlers;
}

sigset_t ControlSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const ControlEvent& control : kControlEvents) sigaddset(&set, control.signal);
    return set;
}

DWORD EventOfSignal(int signal) {
    for (const ControlEvent& control : kControlEvents) {
        if (control.signal == signal) return control.event;
    }
    return CTRL_C_EVENT;
}

// The handlers run without the lock held, so one may add or remove handlers.
bool RunHandlers(DWORD event) {
    std::vector<PHANDLER_ROUTINE> routines;
    {
        std::lock_guard<std::mutex> hold(State().lock);
        if (event == CTRL_C_EVENT && State().ignoreCtrlC) return true;
        routines = State().routines;
    }
    for (auto it = routines.rbegin(); it != routines.rend(); ++it) {
        if ((*it)(event)) return true;
    }
    return false;
}

// What the process would have done without handlers. Text still held for
// standard output is written first, as the runtime does when a Windows
// process ends, so it is not lost; but a reader that does not take it, or a
// main thread blocked in a write to one, may not hold the end back for
// longer than kEndGraceMs. Then the signal takes its default action, so the
// parent sees the process end by that signal.
[[noreturn]] void EndLikeSignal(int signal) {
    posix::WriteHeldOutputWithin(kEndGraceMs);
    // An instrumented build ends this way too, and its record must survive it.
    if (__gcov_dump) __gcov_dump();
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigaction(signal, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal);
    _exit(128 + signal);
}

// Windows ends the process after the handlers of a close or shutdown event
// have returned, even when one of them reported it handled.
bool EndsProcessAnyway(DWORD event) {
    return event == CTRL_CLOSE_EVENT || event == CTRL_SHUTDOWN_EVENT;
}

void* DispatchControlEvents(void*) {
    const sigset_t signals = ControlSignals();
    for (;;) {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0) continue;
        const DWORD event = EventOfSignal(signal);
        const bool handled = RunHandlers(event);
        if (!handled || EndsProcessAnyway(event)) EndLikeSignal(signal);
    }
    return nullptr;
}

bool StartDispatch() {
    const sigset_t signals = ControlSignals();
    if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) return false;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, DispatchControlEvents, nullptr) != 0) return false;
    pthread_detach(thread);
    return true;
}

}  // namespace

// A null handler with Add TRUE makes the process ignore Ctrl+C, and with Add
// FALSE restores it, as on Windows.
BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) {
    static const bool s_dispatching = StartDispatch();
    if (!s_dispatching) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    std::lock_guard<std::mutex> hold(State().lock);
    std::vector<PHANDLER_ROUTINE>& routines = State().routines;
    if (!HandlerRoutine) {
        State().ignoreCtrlC = Add != FALSE;
    } else if (Add) {
        routines.push_back(HandlerRoutine);
    } else {
        auto last = std::find(routines.rbegin(), routines.rend(), HandlerRoutine);
        if (last == routines.rend()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        routines.erase(std::next(last).base());
    }
    return TRUE;
}
