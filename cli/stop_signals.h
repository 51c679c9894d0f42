// The signals that end a run cleanly, SIGINT, SIGTERM and SIGHUP, shared by
// chain20 and chain20-batch.
#pragma once

#include <csignal>

// Catches each of them with `handler`, except one that was ignored when the
// program started (nohup, a background job of a script): it stays ignored.
// Installed without SA_RESTART, so that a blocking open or write returns.
inline void catchStopSignals(void (*handler)(int)) {
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous {};
        if (::sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction action {};
        action.sa_handler = handler;
        sigemptyset(&action.sa_mask);
        ::sigaction(signalNumber, &action, nullptr);
    }
}
