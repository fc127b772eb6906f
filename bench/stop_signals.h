// The minimal readers' way to stop: SIGINT or SIGTERM sets s_stop and makes
// a blocked read return EINTR, so the reader leaves its loop.
#pragma once

#include <signal.h>
#include <string.h>

static volatile sig_atomic_t s_stop;

static void request_stop(int signo) {
    (void)signo;
    s_stop = 1;
}

// Installs the handler without SA_RESTART, so a blocked read returns EINTR.
static void catch_stop_signals(void) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = request_stop;
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);
}
