// The stop signals: marking a stop for the next batch boundary, and ending by
// the signal received once the position is saved.
#include "driver/stop_signals.h"

#include <csignal>
#include <cstdio>
#include <cstring>

#include "fatal_exit.h"
#include "quilbrex.h"

namespace {

const int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// Only marks the stop: the search ends at its next batch boundary with a
// checkpoint. A second signal means "now", and gets the default action.
void requestStop(int signal) {
    if (stopSignal) {
        ::signal(signal, SIG_DFL);
        raise(signal);
        return;
    }
    stopSignal = signal;
    AbandonRunningLaunches();
}

}  // namespace

void InstallStopHandlers() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : STOP_SIGNALS) {
        // One ignored at start stays ignored: nohup, or a background job of
        // a shell without job control, asked for exactly that.
        struct sigaction old;
        if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(signal, &action, nullptr);
    }
}

void EndByStopSignal() {
    fflush(stdout);
    fflush(stderr);
    int signal = stopSignal;
    ::signal(signal, SIG_DFL);
    raise(signal);
    // Only reached if the signal's default action does not end a process.
    FatalExit(128 + signal);
}
