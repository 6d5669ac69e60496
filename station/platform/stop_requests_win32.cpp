// The console's events on Windows. Ctrl-C and Ctrl-Break are answered as
// handled, and the station goes on to stop by itself. A closing window, a
// log-off or a shut-down ends the process as soon as the handler returns
// (or the system's few seconds have passed), so the handler does not
// return: it holds the process until the station has ended on its own,
// with every upload under way stopped and recorded.
#include <windows.h>

#include <atomic>

#include "stop_requests.h"

namespace {

std::atomic<unsigned> stop_requests{0};

BOOL WINAPI OnConsoleEvent(DWORD event) {
    ++stop_requests;
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
    for (;;) Sleep(INFINITE);  // the station's exit ends this thread too
}

}  // namespace

void CatchStopRequests() {
    // A station started in a process group of its own would not hear Ctrl-C.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool StopRequested() { return stop_requests != 0; }

unsigned StopRequestCount() { return stop_requests; }
