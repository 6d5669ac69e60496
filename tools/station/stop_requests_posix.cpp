#include <csignal>

#include "stop_requests.h"

namespace {

volatile std::sig_atomic_t stop_signal = 0;

void OnStopSignal(int) { stop_signal = 1; }

}  // namespace

void CatchStopRequests() {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = OnStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

bool StopRequested() { return stop_signal != 0; }
