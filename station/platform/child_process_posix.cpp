// Children on POSIX systems: posix_spawn, pipes made close-on-exec so that
// each reaches only its own child, and a process group of the child's own,
// so that the terminal's Ctrl-C reaches the parent alone.
#include "child_process.h"
#include "system_error.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

struct ChildProcess::State {
    pid_t pid = -1;
    int input = -1;   // the write end of the child's standard input
    int output = -1;  // the read end of its standard output
    bool whole_tree = false;

    ~State() {
        if (input >= 0) close(input);
        if (output >= 0) close(output);
    }
};

ChildProcess::ChildProcess() : state(std::make_unique<State>()) {}
ChildProcess::~ChildProcess() = default;
ChildProcess::ChildProcess(ChildProcess &&other) noexcept = default;
ChildProcess &ChildProcess::operator=(ChildProcess &&other) noexcept = default;

namespace {

// A pipe's two ends, both close-on-exec; whichever the child gets is made
// its standard stream by the spawn's dup2, which clears the flag there.
struct Pipe {
    int read_end = -1;
    int write_end = -1;
    ~Pipe() {
        if (read_end >= 0) close(read_end);
        if (write_end >= 0) close(write_end);
    }
    bool Make() {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) return false;
        read_end = ends[0];
        write_end = ends[1];
        return true;
    }
    int Take(int *end) {
        const int taken = *end;
        *end = -1;
        return taken;
    }
};

// The parent's environment with extra's names added or replaced.
std::vector<std::string> ChildEnvironment(const std::vector<std::string> &extra) {
    std::vector<std::string> env;
    for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('=') + 1);
        bool replaced = false;
        for (const std::string &added : extra) replaced = replaced || added.compare(0, name.size(), name) == 0;
        if (!replaced) env.push_back(text);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char *> NullTerminated(std::vector<std::string> &strings) {
    std::vector<char *> pointers;
    for (std::string &text : strings) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// posix_spawn's attribute and file action objects, destroyed on every path.
struct SpawnSetup {
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    SpawnSetup() {
        posix_spawnattr_init(&attributes);
        posix_spawn_file_actions_init(&actions);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
};

// The parent's ends of its channel, when this process is a child.
int parent_in = -1;
int parent_out = -1;

}  // namespace

int StartChild(const ChildSpec &spec, ChildProcess *child, std::string *error_text) {
    std::vector<std::string> args = spec.argv;
    if (!spec.shell_command.empty()) args = {"/bin/sh", "-c", spec.shell_command};
    if (args.empty()) {
        *error_text = "no program given";
        return kChildNotStarted;
    }
    Pipe input, output;
    if ((spec.pipe_stdin && !input.Make()) || (spec.pipe_stdout && !output.Make())) {
        *error_text = "cannot make a pipe: " + SystemErrorText(errno);
        return kChildNotStarted;
    }
    SpawnSetup setup;
    if (spec.pipe_stdin) {
        posix_spawn_file_actions_adddup2(&setup.actions, input.read_end, STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    if (spec.pipe_stdout) posix_spawn_file_actions_adddup2(&setup.actions, output.write_end, STDOUT_FILENO);
    if (spec.merge_stderr) posix_spawn_file_actions_adddup2(&setup.actions, STDOUT_FILENO, STDERR_FILENO);
    // Nothing else of ours, close-on-exec or not: the web side's client
    // connections (accepted by its library without the flag) would stay
    // open for as long as a child runs, and their clients would wait on them.
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);
    // A group of its own: the terminal's interrupt goes to the parent only,
    // and the whole tree ends with one kill.
    // The signals the parent handles or ignores start with their defaults,
    // none blocked.
    sigset_t defaults, none;
    sigemptyset(&defaults);
    for (const int signal_number : {SIGINT, SIGTERM, SIGPIPE, SIGUSR1}) sigaddset(&defaults, signal_number);
    sigemptyset(&none);
    posix_spawnattr_setpgroup(&setup.attributes, 0);
    posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<std::string> env = ChildEnvironment(spec.extra_env);
    const std::vector<char *> argv = NullTerminated(args);
    const std::vector<char *> envp = NullTerminated(env);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, argv[0], &setup.actions, &setup.attributes, argv.data(), envp.data());
    if (failed != 0) {
        *error_text = "cannot start " + args[0] + ": " + SystemErrorText(failed);
        return kChildNotStarted;
    }
    *child = ChildProcess();
    child->state->pid = pid;
    child->state->whole_tree = spec.whole_tree;
    if (spec.pipe_stdin) child->state->input = input.Take(&input.write_end);
    if (spec.pipe_stdout) child->state->output = output.Take(&output.read_end);
    return kChildOk;
}

int WaitChild(ChildProcess &child, double timeout_ms, int *exit_status, int *end_signal) {
    ChildProcess::State &state = *child.state;
    if (state.pid <= 0) return kChildLost;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double, std::milli>(timeout_ms);
    int status = 0;
    for (;;) {
        const pid_t ended = waitpid(state.pid, &status, timeout_ms < 0 ? 0 : WNOHANG);
        if (ended == state.pid) break;
        if (ended < 0 && errno != EINTR) return kChildLost;
        if (ended == 0) {
            if (std::chrono::steady_clock::now() >= deadline) return kChildRunning;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    state.pid = -1;
    *exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (end_signal != nullptr) *end_signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return kChildOk;
}

std::string ChildEndText(int exit_status, int end_signal) {
    if (end_signal == 0) return "exited with status " + std::to_string(exit_status);
    return "ended by signal " + std::to_string(end_signal) + " (" + strsignal(end_signal) + ")";
}

void TerminateChild(ChildProcess &child) {
    const pid_t pid = child.state->pid;
    if (pid <= 0) return;
    // The group is the child's until it is collected, even once it has
    // ended itself.
    if (child.state->whole_tree) kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
}

namespace {

bool WriteAll(int fd, const std::string &bytes) {
    const char *data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t written = write(fd, data, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

long ReadSome(int fd, char *buffer, std::size_t size) {
    for (;;) {
        const ssize_t got = read(fd, buffer, size);
        if (got >= 0 || errno != EINTR) return static_cast<long>(got);
    }
}

}  // namespace

bool WriteToChild(ChildProcess &child, const std::string &bytes) {
    return child.state->input >= 0 && WriteAll(child.state->input, bytes);
}

void CloseChildInput(ChildProcess &child) {
    if (child.state->input >= 0) close(child.state->input);
    child.state->input = -1;
}

long ReadFromChild(ChildProcess &child, char *buffer, std::size_t size) {
    return child.state->output >= 0 ? ReadSome(child.state->output, buffer, size) : -1;
}

long WriteToChildNow(ChildProcess &child, const char *bytes, std::size_t size) {
    const int fd = child.state->input;
    const int flags = fd >= 0 ? fcntl(fd, F_GETFL) : -1;
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return -1;
    ssize_t written;
    do {
        written = write(fd, bytes, size);
    } while (written < 0 && errno == EINTR);
    const int error = errno;
    fcntl(fd, F_SETFL, flags);
    if (written >= 0) return static_cast<long>(written);
    return error == EAGAIN ? 0 : -1;
}

long ReadFromChildNow(ChildProcess &child, char *buffer, std::size_t size) {
    struct pollfd output = {child.state->output, POLLIN, 0};
    if (output.fd < 0) return -1;
    int ready;
    do {
        ready = poll(&output, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return -1;
    // Readable, or its end: the read does not wait.
    return ready == 0 ? kChildNothingYet : ReadSome(output.fd, buffer, size);
}

std::string OwnProgramPath() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

bool TakeParentChannel() {
    // A parent that has gone makes writes fail rather than end the program.
    signal(SIGPIPE, SIG_IGN);
    parent_in = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    parent_out = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    const int null_in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null_in >= 0) {
        dup2(null_in, STDIN_FILENO);
        close(null_in);
    }
    PointStdoutAt(nullptr);
    return parent_in >= 0 && parent_out >= 0;
}

long ReadFromParent(char *buffer, std::size_t size) { return parent_in >= 0 ? ReadSome(parent_in, buffer, size) : -1; }

bool WriteToParent(const std::string &bytes) { return parent_out >= 0 && WriteAll(parent_out, bytes); }

bool PointStdoutAt(const char *path) {
    fflush(stdout);
    int fd = path != nullptr ? open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644) : -1;
    const bool opened = fd >= 0 || path == nullptr;
    if (fd < 0) fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    dup2(fd, STDOUT_FILENO);
    close(fd);
    return opened;
}

std::string SystemErrorText(int code) { return strerror(code); }
