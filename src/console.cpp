#include "console.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void MakeStdoutLineBuffered() { setvbuf(stdout, nullptr, _IOLBF, BUFSIZ); }

void WriteToStderr(const char *text, std::size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(STDERR_FILENO, text, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;  // nobody to tell; the display is best effort
        text += written;
        length -= static_cast<std::size_t>(written);
    }
}

int StderrColumns() {
    struct winsize size {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

bool StderrIsLiveTerminal() {
    if (isatty(STDERR_FILENO) != 1) return false;
    // A terminal that cannot erase a line ("dumb", as in editor shells)
    // would show every redraw as new text.
    const char *term = getenv("TERM");
    return term == nullptr || strcmp(term, "dumb") != 0;
}

namespace {

const char *interrupt_notice = "";

// Runs inside the signal: only write(2) and raise(3), both safe there.
void OnInterruptSignal(int signal_number) {
    const std::size_t length = strlen(interrupt_notice);  // async-signal-safe since POSIX.1-2016
    const ssize_t written = ::write(STDERR_FILENO, interrupt_notice, length);
    (void)written;  // nothing more can be done for the notice
    // SA_RESETHAND put the default action back; the signal is blocked until
    // this returns, and then ends the process as it would have at first.
    raise(signal_number);
}

}  // namespace

void WriteOnInterrupt(const char *notice) {
    interrupt_notice = notice;
    struct sigaction action {};
    action.sa_handler = OnInterruptSignal;
    sigemptyset(&action.sa_mask);
    // One notice: the other signal waits while the first is handled.
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
