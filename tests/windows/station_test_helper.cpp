// What wine_test needs inside Wine beside the Windows station:
//
//   station_test_helper copy-input FILE
//     Appends its standard input, byte for byte, to FILE (a hook that keeps
//     the line it is given; Wine's find and findstr do not read a pipe).
//
//   station_test_helper console-event EVENT TRIGGER PROGRAM [ARG...]
//     Runs PROGRAM with this program's standard handles and, once the file
//     TRIGGER exists, hands it EVENT (break, close or shutdown) the way the
//     console does: a thread of PROGRAM's started at kernel32's CtrlRoutine,
//     which calls its handlers. Wine delivers neither Ctrl-Break nor a
//     closing window to a console program by itself. For close and
//     shutdown, Windows ends the process as soon as the handler returns; so
//     does this, with exit status 99, when the handler thread ends while
//     PROGRAM still runs. Otherwise the exit status is PROGRAM's, and the
//     time from the event to PROGRAM's end is told on standard error.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int kHandlerReturnedFirst = 99;

int CopyInput(const char *path) {
    _setmode(_fileno(stdin), _O_BINARY);
    FILE *file = fopen(path, "ab");
    if (file == nullptr) return 2;
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, stdin)) > 0;) fwrite(buffer, 1, got, file);
    return fclose(file) == 0 ? 0 : 2;
}

bool EventNamed(const char *name, DWORD *event) {
    if (strcmp(name, "break") == 0) *event = CTRL_BREAK_EVENT;
    else if (strcmp(name, "close") == 0) *event = CTRL_CLOSE_EVENT;
    else if (strcmp(name, "shutdown") == 0) *event = CTRL_SHUTDOWN_EVENT;
    else return false;
    return true;
}

// One argument as the C runtime reads it back (no backslash runs before
// quotes in what the tests pass).
std::string Quoted(const char *arg) { return std::string("\"") + arg + "\""; }

int RunWithConsoleEvent(DWORD event, const char *trigger, char **program) {
    std::string command_line;
    for (char **arg = program; *arg != nullptr; ++arg) command_line += (command_line.empty() ? "" : " ") + Quoted(*arg);
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
        fprintf(stderr, "console-event: cannot start %s: error %lu\n", program[0], GetLastError());
        return 2;
    }
    while (GetFileAttributesA(trigger) == INVALID_FILE_ATTRIBUTES) {
        if (WaitForSingleObject(started.hProcess, 50) == WAIT_OBJECT_0) break;
    }
    DWORD code = 0;
    if (WaitForSingleObject(started.hProcess, 0) == WAIT_OBJECT_0) {
        fprintf(stderr, "console-event: %s ended before the event\n", program[0]);
        GetExitCodeProcess(started.hProcess, &code);
        return static_cast<int>(code);
    }

    // kernel32 lies at the same address in every process of a session.
    const auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CtrlRoutine")));
    const ULONGLONG sent = GetTickCount64();
    HANDLE handler = routine == nullptr ? nullptr
                                        : CreateRemoteThread(started.hProcess, nullptr, 0, routine,
                                                             reinterpret_cast<void *>(static_cast<ULONG_PTR>(event)), 0,
                                                             nullptr);
    if (handler == nullptr) {
        fprintf(stderr, "console-event: cannot start the handler thread: error %lu\n", GetLastError());
        TerminateProcess(started.hProcess, 2);
        return 2;
    }
    const bool ends_process = event != CTRL_BREAK_EVENT;
    const HANDLE both[2] = {started.hProcess, handler};
    if (WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_OBJECT_0 + 1 && ends_process) {
        // The handler thread also ends when the program exits by itself;
        // then it ends with the program's exit status, at the same moment.
        DWORD thread_code = 0;
        GetExitCodeThread(handler, &thread_code);
        const bool ended = WaitForSingleObject(started.hProcess, 1000) == WAIT_OBJECT_0;
        GetExitCodeProcess(started.hProcess, &code);
        if (!ended || thread_code != code) {
            fprintf(stderr, "console-event: the handler returned while %s still ran\n", program[0]);
            TerminateProcess(started.hProcess, STATUS_CONTROL_C_EXIT);
            return kHandlerReturnedFirst;
        }
    }
    WaitForSingleObject(started.hProcess, INFINITE);
    GetExitCodeProcess(started.hProcess, &code);
    fprintf(stderr, "console-event: %s ended %.1f s after the event\n", program[0],
            static_cast<double>(GetTickCount64() - sent) / 1000.0);
    return static_cast<int>(code);
}

}  // namespace

int main(int argc, char **argv) {
    DWORD event = 0;
    if (argc == 3 && strcmp(argv[1], "copy-input") == 0) return CopyInput(argv[2]);
    if (argc >= 5 && strcmp(argv[1], "console-event") == 0 && EventNamed(argv[2], &event)) {
        return RunWithConsoleEvent(event, argv[3], argv + 4);
    }
    fputs("usage: station_test_helper copy-input FILE\n"
          "       station_test_helper console-event break|close|shutdown TRIGGER PROGRAM [ARG...]\n",
          stderr);
    return 2;
}
