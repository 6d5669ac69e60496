#include "console.h"

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
