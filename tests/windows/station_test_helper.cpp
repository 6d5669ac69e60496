// What wine_test needs inside Wine beside the Windows station:
//
//   station_test_helper copy-input FILE
//     Appends its standard input, byte for byte, to FILE (a hook that keeps
//     the line it is given; Wine's find and findstr do not read a pipe).
//
//   station_test_helper console-event break|close TRIGGER PROGRAM [ARG...]
//     Runs PROGRAM with this program's standard handles and, once the file
//     TRIGGER exists, hands it the console's Ctrl-Break or closing window as
//     the console does: a thread of PROGRAM's started at kernel32's
//     CtrlRoutine, which calls its handlers (Wine delivers neither by
//     itself). Windows ends a process whose window closes as soon as the
//     handler returns; so does this, with exit status 99, when the handler
//     thread ends while PROGRAM still runs. Otherwise the exit status is
//     PROGRAM's, and the time from the event to its end is told on
//     standard error.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int CopyInput(const char *path) {
    _setmode(_fileno(stdin), _O_BINARY);
    FILE *file = fopen(path, "ab");
    if (file == nullptr) return 2;
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, stdin)) > 0;) fwrite(buffer, 1, got, file);
    return fclose(file) == 0 ? 0 : 2;
}

int RunWithConsoleEvent(DWORD event, const char *trigger, char **program) {
    std::string command_line;
    for (char **arg = program; *arg != nullptr; ++arg) {
        command_line += (arg == program ? "\"" : " \"") + std::string(*arg) + "\"";
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    for (const HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    PROCESS_INFORMATION started{};
    if (!CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &started)) {
        return 2;
    }
    while (GetFileAttributesA(trigger) == INVALID_FILE_ATTRIBUTES &&
           WaitForSingleObject(started.hProcess, 50) == WAIT_TIMEOUT) {
    }
    // kernel32 lies at the same address in every process of a session.
    const auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CtrlRoutine")));
    const ULONGLONG sent = GetTickCount64();
    const HANDLE handler = CreateRemoteThread(started.hProcess, nullptr, 0, routine,
                                              reinterpret_cast<void *>(static_cast<ULONG_PTR>(event)), 0, nullptr);
    if (handler == nullptr) {
        TerminateProcess(started.hProcess, 2);
        return 2;
    }
    DWORD code = 0;
    const HANDLE both[2] = {started.hProcess, handler};
    if (WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_OBJECT_0 + 1 && event == CTRL_CLOSE_EVENT) {
        // The handler thread also ends when the program exits by itself,
        // at the same moment and with the program's exit status.
        DWORD thread_code = 0;
        GetExitCodeThread(handler, &thread_code);
        const bool ended = WaitForSingleObject(started.hProcess, 1000) == WAIT_OBJECT_0;
        GetExitCodeProcess(started.hProcess, &code);
        if (!ended || thread_code != code) {
            fputs("console-event: the handler returned while the program still ran\n", stderr);
            TerminateProcess(started.hProcess, STATUS_CONTROL_C_EXIT);
            return 99;
        }
    }
    WaitForSingleObject(started.hProcess, INFINITE);
    GetExitCodeProcess(started.hProcess, &code);
    fprintf(stderr, "console-event: the program ended %.1f s after the event\n",
            static_cast<double>(GetTickCount64() - sent) / 1000.0);
    return static_cast<int>(code);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "copy-input") == 0) return CopyInput(argv[2]);
    const bool close = argc >= 5 && strcmp(argv[2], "close") == 0;
    if (argc >= 5 && strcmp(argv[1], "console-event") == 0 && (close || strcmp(argv[2], "break") == 0)) {
        return RunWithConsoleEvent(close ? CTRL_CLOSE_EVENT : CTRL_BREAK_EVENT, argv[3], argv + 4);
    }
    fputs("usage: station_test_helper copy-input FILE | console-event break|close TRIGGER PROGRAM [ARG...]\n", stderr);
    return 2;
}
