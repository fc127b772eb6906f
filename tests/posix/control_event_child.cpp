// Meets one console control event, for console_control_test. Usage:
//   control_event_child SIGNAL PLAN
// SIGNAL is the number of the signal the child sends itself; PLAN names the
// handlers it installs (see below). Every line is written to standard output
// without a flush, so it reaches the pipe only if the process flushes it.
#include <windows.h>

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

namespace {

pthread_t s_mainThread;
std::mutex s_lock;
std::condition_variable s_claimed;
bool s_wasClaimed;

const char* ThreadName() {
    return pthread_equal(pthread_self(), s_mainThread) ? "main" : "other";
}

BOOL WINAPI Decline(DWORD event) {
    printf("declined %u on %s thread\n", static_cast<unsigned>(event), ThreadName());
    return FALSE;
}

// Wakes the main thread only for the events after which a process goes on;
// after a close or shutdown event the process ends whatever Claim returns.
BOOL WINAPI Claim(DWORD event) {
    printf("claimed %u on %s thread\n", static_cast<unsigned>(event), ThreadName());
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        std::lock_guard<std::mutex> hold(s_lock);
        s_wasClaimed = true;
        s_claimed.notify_one();
    }
    return TRUE;
}

// "decline": one handler that returns FALSE.
// "claim": Decline, then Claim, which is called first and returns TRUE.
// "claim-removed": as "claim", then Claim removed again.
// "ignore": Ctrl+C ignored (a null handler added), and Claim.
bool Install(const char* plan) {
    if (strcmp(plan, "ignore") == 0) {
        return SetConsoleCtrlHandler(nullptr, TRUE) && SetConsoleCtrlHandler(Claim, TRUE);
    }
    if (!SetConsoleCtrlHandler(Decline, TRUE)) return false;
    if (strcmp(plan, "decline") == 0) return true;
    if (!SetConsoleCtrlHandler(Claim, TRUE)) return false;
    if (strcmp(plan, "claim") == 0) return true;
    return strcmp(plan, "claim-removed") == 0 && SetConsoleCtrlHandler(Claim, FALSE);
}

}  // namespace

int main(int argc, char** argv) {
    s_mainThread = pthread_self();
    const rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);  // SIGQUIT would dump one
    if (argc != 3) {
        fprintf(stderr, "usage: control_event_child SIGNAL PLAN\n");
        return 2;
    }
    printf("started\n");
    if (!Install(argv[2])) {
        fprintf(stderr, "control_event_child: cannot install plan %s\n", argv[2]);
        return 2;
    }
    const int signal = atoi(argv[1]);
    kill(getpid(), signal);
    // Ctrl+Break, which is not ignored, ends the wait once Ctrl+C was
    // passed over without a handler.
    if (strcmp(argv[2], "ignore") == 0) kill(getpid(), SIGQUIT);
    std::unique_lock<std::mutex> hold(s_lock);
    s_claimed.wait(hold, [] { return s_wasClaimed; });
    printf("main goes on\n");
    return 0;
}
