// Children on Windows: CreateProcess with the child's ends of its pipes
// inherited, and nothing else of ours (the child's handle list names them). Handles are inheritable only while
// one child is being created (a lock keeps two starts apart), so a child
// never holds another child's pipe, and the end of a pipe is seen when its
// one writer closes it. The child is started without a console (its
// standard handles are all it needs) and in a process group of its own:
// Ctrl-C, Ctrl-Break and the closing of the parent's console window reach
// the parent alone, and no console host is started beside every child. A
// console program the child starts in turn would open a console of its own,
// so a shell command gets one without a window instead, which whatever it
// runs shares. A whole tree is started suspended and put into a job object
// before it runs, so that nothing it starts escapes the job's end.
#include "child_process.h"
#include "system_error.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

struct ChildProcess::State {
    HANDLE process = nullptr;
    HANDLE input = nullptr;   // the write end of the child's standard input
    HANDLE output = nullptr;  // the read end of its standard output
    HANDLE job = nullptr;     // a whole tree's; closing it leaves what still runs running

    ~State() {
        for (const HANDLE handle : {process, input, output, job}) {
            if (handle != nullptr) CloseHandle(handle);
        }
    }
};

ChildProcess::ChildProcess() : state(std::make_unique<State>()) {}
ChildProcess::~ChildProcess() = default;
ChildProcess::ChildProcess(ChildProcess &&other) noexcept = default;
ChildProcess &ChildProcess::operator=(ChildProcess &&other) noexcept = default;

namespace {

// A handle closed when it goes out of scope.
struct OwnedHandle {
    HANDLE handle = nullptr;
    OwnedHandle() = default;
    OwnedHandle(const OwnedHandle &) = delete;
    OwnedHandle &operator=(const OwnedHandle &) = delete;
    ~OwnedHandle() {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
    HANDLE Take() {
        const HANDLE taken = handle;
        handle = nullptr;
        return taken;
    }
};

// The null device, inheritable.
bool NullDevice(DWORD access, OwnedHandle *null) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    null->handle = CreateFileA("NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    return null->handle != INVALID_HANDLE_VALUE;
}

// An inheritable copy of one of our standard output handles for the child,
// or the null device when there is none.
bool InheritableCopy(DWORD which, OwnedHandle *copy) {
    const HANDLE own = GetStdHandle(which);
    if (own != nullptr && own != INVALID_HANDLE_VALUE &&
        DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy->handle, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
        return true;
    }
    return NullDevice(GENERIC_WRITE, copy);
}

// A pipe whose ends are not inheritable; the child's end is made so just
// for its start.
bool MakePipe(OwnedHandle *read_end, OwnedHandle *write_end, OwnedHandle *childs_end) {
    if (!CreatePipe(&read_end->handle, &write_end->handle, nullptr, 0)) return false;
    return SetHandleInformation(childs_end->handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) != 0;
}

// One argument as the C runtime's parser reads it back: quoted when it
// holds a space, a tab or a quote (or is empty); backslashes doubled only
// where a quote follows them.
std::string QuotedArgument(const std::string &arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + "\"";
}

// The parent's environment with extra's names added or replaced (names are
// compared without case, as Windows does), as the block CreateProcess takes.
std::string EnvironmentBlock(const std::vector<std::string> &extra) {
    const auto same_name = [](const std::string &a, const std::string &b) {
        const std::size_t length = a.find('=');
        return length != std::string::npos && length > 0 && b.size() > length && b[length] == '=' &&
               CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.data(), static_cast<int>(length), b.data(),
                              static_cast<int>(length)) == CSTR_EQUAL;
    };
    std::string block;
    if (char *strings = GetEnvironmentStringsA()) {
        for (const char *entry = strings; *entry != '\0'; entry += strlen(entry) + 1) {
            const std::string text = entry;
            bool replaced = false;
            for (const std::string &added : extra) replaced = replaced || same_name(added, text);
            if (!replaced) block.append(text).push_back('\0');
        }
        FreeEnvironmentStringsA(strings);
    }
    for (const std::string &added : extra) block.append(added).push_back('\0');
    block.push_back('\0');
    return block;
}

// The command line of a shell command: cmd with /s takes everything
// between the first and the last quote as the command, as it stands; /d
// leaves out the AutoRun commands of the registry, as sh -c reads no
// start-up file. cmd is the system's own, never one found in the working
// folder.
bool ShellCommandLine(const std::string &command, std::string *program, std::string *command_line) {
    char folder[MAX_PATH];
    const UINT length = GetSystemDirectoryA(folder, sizeof folder);
    if (length == 0 || length >= sizeof folder) return false;
    *program = std::string(folder, length) + "\\cmd.exe";
    *command_line = "\"" + *program + "\" /d /s /c \"" + command + "\"";
    return true;
}

// Puts a child started suspended into a new job object, then lets it run.
bool StartInJob(const PROCESS_INFORMATION &started, HANDLE *job) {
    *job = CreateJobObjectA(nullptr, nullptr);
    return *job != nullptr && AssignProcessToJobObject(*job, started.hProcess) &&
           ResumeThread(started.hThread) != static_cast<DWORD>(-1);
}

// The one list of handles a child inherits: its three standard handles,
// whatever else of the station's is inheritable at the time (Winsock may
// make the web side's sockets so, and a child holding a client's connection
// would keep it open after the station has dropped it).
class InheritedHandles {
public:
    InheritedHandles(const InheritedHandles &) = delete;
    InheritedHandles &operator=(const InheritedHandles &) = delete;
    explicit InheritedHandles(const STARTUPINFOA &startup) {
        for (const HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
            // The same handle twice makes the list invalid.
            if (std::find(handles, handles + count, handle) == handles + count) handles[count++] = handle;
        }
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage.resize(size);
        const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
        if (InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            initialized = list;
            if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, count * sizeof(HANDLE),
                                          nullptr, nullptr)) {
                ready = list;
            }
        }
    }
    ~InheritedHandles() {
        if (initialized != nullptr) DeleteProcThreadAttributeList(initialized);
    }
    // The list for STARTUPINFOEX, or null when the system refused to make it.
    LPPROC_THREAD_ATTRIBUTE_LIST List() const { return ready; }

private:
    HANDLE handles[3] = {};
    std::size_t count = 0;
    std::vector<char> storage;
    LPPROC_THREAD_ATTRIBUTE_LIST initialized = nullptr;
    LPPROC_THREAD_ATTRIBUTE_LIST ready = nullptr;
};

std::mutex starting;  // handles are inheritable only inside one start

HANDLE parent_in = nullptr;
HANDLE parent_out = nullptr;

}  // namespace

namespace {

// The program (a shell command's cmd.exe; null: the command line's first
// word) and the command line of spec; false with the reason.
bool ChildCommandLine(const ChildSpec &spec, std::string *program, std::string *command_line,
                      std::string *error_text) {
    const bool shell = !spec.shell_command.empty();
    if (!shell && spec.argv.empty()) {
        *error_text = "no program given";
        return false;
    }
    if (shell && !ShellCommandLine(spec.shell_command, program, command_line)) {
        *error_text = "cannot find cmd.exe: " + SystemErrorText(static_cast<int>(GetLastError()));
        return false;
    }
    for (const std::string &arg : shell ? std::vector<std::string>() : spec.argv) {
        *command_line += (command_line->empty() ? "" : " ") + QuotedArgument(arg);
    }
    return true;
}

// The child's standard handles and our ends of its pipes, all closed with
// it unless taken.
struct ChildHandles {
    OwnedHandle input_read, input_write, output_read, output_write, in, out, err;
};

// Makes the pipes spec asks for and the other standard handles the child
// gets, and sets them into startup; false with the reason.
bool MakeChildHandles(const ChildSpec &spec, ChildHandles *h, STARTUPINFOA *startup, std::string *error_text) {
    const bool pipes_made = (!spec.pipe_stdin || MakePipe(&h->input_read, &h->input_write, &h->input_read)) &&
                            (!spec.pipe_stdout || MakePipe(&h->output_read, &h->output_write, &h->output_write));
    if (!pipes_made) {
        *error_text = "cannot make a pipe: " + SystemErrorText(static_cast<int>(GetLastError()));
        return false;
    }
    if ((!spec.pipe_stdin && !NullDevice(GENERIC_READ, &h->in)) ||
        (!spec.pipe_stdout && !InheritableCopy(STD_OUTPUT_HANDLE, &h->out)) ||
        (!spec.merge_stderr && !InheritableCopy(STD_ERROR_HANDLE, &h->err))) {
        *error_text = "cannot pass the standard handles: " + SystemErrorText(static_cast<int>(GetLastError()));
        return false;
    }
    startup->dwFlags = STARTF_USESTDHANDLES;
    startup->hStdInput = spec.pipe_stdin ? h->input_read.handle : h->in.handle;
    startup->hStdOutput = spec.pipe_stdout ? h->output_write.handle : h->out.handle;
    startup->hStdError = spec.merge_stderr ? startup->hStdOutput : h->err.handle;
    return true;
}

// Puts a whole tree's child, started suspended, into its job and lets it
// run; a child that cannot be is ended, and nothing of it is left open.
bool RunInJob(const PROCESS_INFORMATION &started, const std::string &name, HANDLE *job, std::string *error_text) {
    if (StartInJob(started, job)) return true;
    *error_text = "cannot start " + name + " in a job object: " + SystemErrorText(static_cast<int>(GetLastError()));
    TerminateProcess(started.hProcess, 1);
    WaitForSingleObject(started.hProcess, INFINITE);
    for (const HANDLE handle : {started.hThread, started.hProcess, *job}) {
        if (handle != nullptr) CloseHandle(handle);
    }
    *job = nullptr;
    return false;
}

}  // namespace

int StartChild(const ChildSpec &spec, ChildProcess *child, std::string *error_text) {
    const bool shell = !spec.shell_command.empty();
    std::string program, command_line;
    if (!ChildCommandLine(spec, &program, &command_line, error_text)) return kChildNotStarted;
    const std::string &name = shell ? program : spec.argv[0];
    std::string environment = spec.extra_env.empty() ? std::string() : EnvironmentBlock(spec.extra_env);

    const std::lock_guard<std::mutex> one_at_a_time(starting);
    ChildHandles handles;
    STARTUPINFOEXA startup{};
    startup.StartupInfo.cb = sizeof startup;
    if (!MakeChildHandles(spec, &handles, &startup.StartupInfo, error_text)) return kChildNotStarted;
    const InheritedHandles inherited(startup.StartupInfo);
    if (inherited.List() == nullptr) {
        *error_text = "cannot list the handles to pass: " + SystemErrorText(static_cast<int>(GetLastError()));
        return kChildNotStarted;
    }
    startup.lpAttributeList = inherited.List();
    const DWORD flags = CREATE_NEW_PROCESS_GROUP | (shell ? CREATE_NO_WINDOW : DETACHED_PROCESS) |
                        (spec.whole_tree ? CREATE_SUSPENDED : 0) | EXTENDED_STARTUPINFO_PRESENT;
    PROCESS_INFORMATION started{};
    if (!CreateProcessA(shell ? program.c_str() : nullptr, command_line.data(), nullptr, nullptr, TRUE, flags,
                        environment.empty() ? nullptr : environment.data(), nullptr, &startup.StartupInfo,
                        &started)) {
        *error_text = "cannot start " + name + ": " + SystemErrorText(static_cast<int>(GetLastError()));
        return kChildNotStarted;
    }
    HANDLE job = nullptr;
    if (spec.whole_tree && !RunInJob(started, name, &job, error_text)) return kChildNotStarted;
    CloseHandle(started.hThread);
    *child = ChildProcess();
    child->state->process = started.hProcess;
    child->state->job = job;
    if (spec.pipe_stdin) child->state->input = handles.input_write.Take();
    if (spec.pipe_stdout) child->state->output = handles.output_read.Take();
    return kChildOk;
}

int WaitChild(ChildProcess &child, double timeout_ms, int *exit_status, int *end_signal) {
    ChildProcess::State &state = *child.state;
    if (state.process == nullptr) return kChildLost;
    const DWORD wait = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
    const DWORD waited = WaitForSingleObject(state.process, wait);
    if (waited == WAIT_TIMEOUT) return kChildRunning;
    DWORD code = 0;
    if (waited != WAIT_OBJECT_0 || !GetExitCodeProcess(state.process, &code)) return kChildLost;
    CloseHandle(state.process);
    state.process = nullptr;
    *exit_status = static_cast<int>(code);
    if (end_signal != nullptr) *end_signal = 0;
    return kChildOk;
}

std::string ChildEndText(int exit_status, int /*end_signal*/) {
    // Statuses from 0xC0000000 on are the system's errors and exceptions,
    // known by their hex form (0xC0000005, an access violation).
    const auto code = static_cast<unsigned>(exit_status);
    if (code < 0xC0000000u) return "exited with status " + std::to_string(code);
    char text[48];
    snprintf(text, sizeof text, "ended with status 0x%08X", code);
    return text;
}

void TerminateChild(ChildProcess &child) {
    ChildProcess::State &state = *child.state;
    if (state.process == nullptr) return;
    if (state.job != nullptr) TerminateJobObject(state.job, 1);
    TerminateProcess(state.process, 1);
}

namespace {

bool WriteAll(HANDLE handle, const std::string &bytes) {
    const char *data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        DWORD written = 0;
        const DWORD chunk = left > 65536 ? 65536 : static_cast<DWORD>(left);
        if (!WriteFile(handle, data, chunk, &written, nullptr) || written == 0) return false;
        data += written;
        left -= written;
    }
    return true;
}

// A pipe whose writer has gone reads as its end.
long ReadSome(HANDLE handle, char *buffer, std::size_t size) {
    DWORD got = 0;
    const DWORD wanted = size > 65536 ? 65536 : static_cast<DWORD>(size);
    if (ReadFile(handle, buffer, wanted, &got, nullptr)) return static_cast<long>(got);
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
}

}  // namespace

bool WriteToChild(ChildProcess &child, const std::string &bytes) {
    return child.state->input != nullptr && WriteAll(child.state->input, bytes);
}

void CloseChildInput(ChildProcess &child) {
    if (child.state->input != nullptr) CloseHandle(child.state->input);
    child.state->input = nullptr;
}

long ReadFromChild(ChildProcess &child, char *buffer, std::size_t size) {
    return child.state->output != nullptr ? ReadSome(child.state->output, buffer, size) : -1;
}

long WriteToChildNow(ChildProcess &child, const char *bytes, std::size_t size) {
    const HANDLE input = child.state->input;
    // A pipe in no-wait mode takes what fits and returns; pieces smaller
    // than any pipe's buffer, so that one that takes all or nothing still
    // takes them as the child reads.
    DWORD mode = PIPE_NOWAIT;
    if (input == nullptr || !SetNamedPipeHandleState(input, &mode, nullptr, nullptr)) return -1;
    constexpr std::size_t kPiece = 512;
    std::size_t taken = 0;
    bool broken = false;
    while (taken < size) {
        DWORD written = 0;
        const DWORD piece = static_cast<DWORD>(size - taken < kPiece ? size - taken : kPiece);
        if (!WriteFile(input, bytes + taken, piece, &written, nullptr)) {
            broken = true;  // ERROR_NO_DATA: the child has closed its end
            break;
        }
        if (written == 0) break;
        taken += written;
    }
    mode = PIPE_WAIT;
    SetNamedPipeHandleState(input, &mode, nullptr, nullptr);
    return taken == 0 && broken ? -1 : static_cast<long>(taken);
}

long ReadFromChildNow(ChildProcess &child, char *buffer, std::size_t size) {
    const HANDLE output = child.state->output;
    DWORD waiting = 0;
    if (output == nullptr) return -1;
    if (!PeekNamedPipe(output, nullptr, 0, nullptr, &waiting, nullptr)) {
        return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;  // read to its end
    }
    if (waiting == 0) return kChildNothingYet;
    return ReadSome(output, buffer, size < waiting ? size : waiting);
}

std::string OwnProgramPath() {
    char path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    return length > 0 && length < sizeof path ? std::string(path, length) : std::string();
}

bool TakeParentChannel() {
    // Copies of the handles: the C runtime closes what its descriptor 1 held
    // when standard output is pointed elsewhere.
    const HANDLE self = GetCurrentProcess();
    const bool taken =
        DuplicateHandle(self, GetStdHandle(STD_INPUT_HANDLE), self, &parent_in, 0, FALSE, DUPLICATE_SAME_ACCESS) &&
        DuplicateHandle(self, GetStdHandle(STD_OUTPUT_HANDLE), self, &parent_out, 0, FALSE, DUPLICATE_SAME_ACCESS);
    PointStdoutAt(nullptr);
    return taken;
}

long ReadFromParent(char *buffer, std::size_t size) {
    return parent_in != nullptr ? ReadSome(parent_in, buffer, size) : -1;
}

bool WriteToParent(const std::string &bytes) { return parent_out != nullptr && WriteAll(parent_out, bytes); }

bool PointStdoutAt(const char *path) {
    fflush(stdout);
    // Text mode, as the program's own output on Windows: CRLF line ends.
    int fd = path != nullptr ? _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_NOINHERIT, _S_IREAD | _S_IWRITE) : -1;
    const bool opened = fd >= 0 || path == nullptr;
    if (fd < 0) fd = _open("NUL", _O_WRONLY | _O_NOINHERIT);
    if (fd < 0) return false;
    _dup2(fd, 1);
    _close(fd);
    return opened;
}

std::string SystemErrorText(int code) {
    char text[512] = "";
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(code),
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
    std::string message(text, length);
    // One line, without the full stop the system ends it with.
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n' || message.back() == '.' ||
                                message.back() == ' ')) {
        message.pop_back();
    }
    return message.empty() ? "error " + std::to_string(code) : message;
}
