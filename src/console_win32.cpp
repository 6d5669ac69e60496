// Standard streams on Windows. The C runtime takes line buffering for full
// buffering, so standard output is unbuffered instead: every line leaves
// when it is printed. The live line needs a console that understands the
// erase sequence, which Windows 10 and later do once virtual-terminal
// processing is switched on; on a console that refuses it, no live line is
// drawn rather than a garbled one.
#include "console.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

void MakeStdoutLineBuffered() { setvbuf(stdout, nullptr, _IONBF, 0); }

void WriteToStderr(const char *text, std::size_t length) {
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    while (length > 0) {
        DWORD written = 0;
        const DWORD chunk = length > 65536 ? 65536 : static_cast<DWORD>(length);
        if (!WriteFile(err, text, chunk, &written, nullptr) || written == 0) return;  // best effort
        text += written;
        length -= written;
    }
}

int StderrColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

bool StderrIsLiveTerminal() {
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(err, &mode)) return false;  // a file or a pipe
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
    return SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

namespace {

const char *interrupt_notice = "";

// Runs on a thread of its own that the console starts. Returning FALSE
// passes the event on to the default handler, which ends the process.
BOOL WINAPI OnConsoleInterrupt(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        WriteToStderr(interrupt_notice, strlen(interrupt_notice));
    }
    return FALSE;
}

}  // namespace

void WriteOnInterrupt(const char *notice) {
    interrupt_notice = notice;
    SetConsoleCtrlHandler(OnConsoleInterrupt, TRUE);
}
