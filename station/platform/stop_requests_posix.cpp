#include <csignal>

#include "stop_requests.h"

namespace {

volatile std::sig_atomic_t stop_signals = 0;  // how many came

void OnStopSignal(int) { stop_signals = stop_signals + 1; }

}  // namespace

void CatchStopRequests() {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = OnStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

bool StopRequested() { return stop_signals != 0; }

unsigned StopRequestCount() { return static_cast<unsigned>(stop_signals); }
