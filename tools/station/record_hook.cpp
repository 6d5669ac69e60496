#include "record_hook.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "device_record.h"
#include "platform_time.h"

extern char **environ;

namespace {

// What is kept of a hook's output for the hook log: its end.
constexpr std::size_t kOutputKept = 4096;

struct Fd {
    int fd = -1;
    Fd() = default;
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { Close(); }
    void Close() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
};

bool MakePipe(Fd *read_end, Fd *write_end) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    read_end->fd = fds[0];
    write_end->fd = fds[1];
    return true;
}

// The station's environment with the record's facts in place of any
// variables of the same names.
std::vector<std::string> HookEnvironment(const HookJob &job) {
    const std::vector<std::string> own = {"PARDULO_RESULT=" + job.result, "PARDULO_PORT=" + job.port,
                                          "PARDULO_DEVICE=" + std::to_string(job.device)};
    const auto name_of = [](const std::string &entry) { return entry.substr(0, entry.find('=') + 1); };
    std::vector<std::string> env;
    for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string name = name_of(*entry);
        bool replaced = false;
        for (const std::string &mine : own) replaced = replaced || name_of(mine) == name;
        if (!replaced) env.emplace_back(*entry);
    }
    env.insert(env.end(), own.begin(), own.end());
    return env;
}

// Starts command through the shell, in a process group of its own (so a
// Ctrl-C at the terminal leaves it alone and a time-out kills all of it),
// with input and output on the given descriptors. The pid, or -1 with errno.
pid_t StartHookProcess(const std::string &command, const std::vector<std::string> &env, int input, int output) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output, STDERR_FILENO);
    // Nothing else of the station's: the web side's client connections
    // (accepted by its library without close-on-exec) would stay open for
    // as long as a hook runs, and their clients would wait on them.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    // The station ignores SIGPIPE; a hook starts with every signal as usual.
    sigset_t defaults;
    sigset_t none;
    sigfillset(&defaults);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<char *> envp;
    for (const std::string &entry : env) envp.push_back(const_cast<char *>(entry.c_str()));
    envp.push_back(nullptr);
    char shell[] = "/bin/sh";
    char dash_c[] = "-c";
    char *argv[] = {shell, dash_c, const_cast<char *>(command.c_str()), nullptr};
    pid_t pid = -1;
    const int error = posix_spawn(&pid, shell, &actions, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return pid;
}

std::string EndStatus(int status) {
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) {
        const int number = WTERMSIG(status);
        return "ended by signal " + std::to_string(number) + " (" + strsignal(number) + ")";
    }
    return "ended with wait status " + std::to_string(status);
}

// Reads what the hook has written so far, keeping its end; closes the
// pipe once the hook (and all it started) closed its end.
void ReadAvailable(Fd *fd, std::string *output) {
    char buffer[4096];
    ssize_t got = 0;
    while (fd->fd >= 0 && (got = read(fd->fd, buffer, sizeof buffer)) > 0) {
        output->append(buffer, static_cast<std::size_t>(got));
        if (output->size() > kOutputKept) output->erase(0, output->size() - kOutputKept);
    }
    if (got == 0) fd->Close();
}

}  // namespace

HookEnd RunHook(const std::string &command, const HookJob &job, double timeout_s, const std::atomic<bool> *stop) {
    HookEnd end;
    Fd input_read, input_write, output_read, output_write;
    if (!MakePipe(&input_read, &input_write) || !MakePipe(&output_read, &output_write)) {
        end.status = std::string("could not be started: ") + strerror(errno);
        return end;
    }
    const pid_t pid = StartHookProcess(command, HookEnvironment(job), input_read.fd, output_write.fd);
    if (pid < 0) {
        end.status = std::string("could not be started: ") + strerror(errno);
        return end;
    }
    input_read.Close();
    output_write.Close();
    // Neither end may block the wait: a hook that reads nothing or writes
    // without end is still timed.
    fcntl(input_write.fd, F_SETFL, O_NONBLOCK);
    fcntl(output_read.fd, F_SETFL, O_NONBLOCK);

    const double deadline = static_cast<double>(MonotonicMs()) + timeout_s * 1000.0;
    std::size_t fed = 0;
    int status = 0;
    for (;;) {
        if (input_write.fd >= 0) {
            const ssize_t written = write(input_write.fd, job.line.data() + fed, job.line.size() - fed);
            if (written > 0) fed += static_cast<std::size_t>(written);
            // All of it, or a hook that closed its input (EPIPE): no more to give.
            if (fed == job.line.size() || (written < 0 && errno != EAGAIN && errno != EINTR)) input_write.Close();
        }
        ReadAvailable(&output_read, &end.output);
        if (waitpid(pid, &status, WNOHANG) == pid) {
            ReadAvailable(&output_read, &end.output);
            break;
        }
        const bool stopped = stop != nullptr && stop->load();
        if (stopped || static_cast<double>(MonotonicMs()) >= deadline) {
            kill(-pid, SIGKILL);  // the shell and whatever it started
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            char seconds[32];
            snprintf(seconds, sizeof seconds, "%g", timeout_s);
            end.status = stopped ? "killed: the station was told to stop waiting"
                                 : std::string("killed after ") + seconds + " s, still running";
            return end;
        }
        // Closed ends are -1, which poll passes over.
        struct pollfd wait_for[2] = {{output_read.fd, POLLIN, 0}, {input_write.fd, POLLOUT, 0}};
        poll(wait_for, 2, 10);
    }
    end.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    end.status = EndStatus(status);
    return end;
}

bool RecordHooksAvailable() { return true; }

RecordHook::RecordHook(std::string command, double timeout_s, std::string log_path)
    : command_(std::move(command)), timeout_s_(timeout_s), log_path_(std::move(log_path)) {}

RecordHook::~RecordHook() { Finish(); }

void RecordHook::Start() {
    if (!thread_.joinable()) thread_ = std::thread([this] { Loop(); });
}

void RecordHook::Add(HookJob job) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(job));
    }
    wake_.notify_one();
}

std::vector<std::string> RecordHook::TakeReports() {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> reports;
    reports.swap(reports_);
    return reports;
}

std::size_t RecordHook::Pending() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size() + (running_job_ ? 1 : 0);
}

void RecordHook::Abandon() {
    std::deque<HookJob> dropped;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        dropped.swap(queue_);
    }
    abandon_ = true;
    for (const HookJob &job : dropped) Report(job, "not run: the station was told to stop waiting", "");
}

void RecordHook::Finish() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        finishing_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void RecordHook::Loop() {
    for (;;) {
        HookJob job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return !queue_.empty() || finishing_; });
            if (queue_.empty()) return;
            job = std::move(queue_.front());
            queue_.pop_front();
            running_job_ = true;
        }
        const HookEnd end = RunHook(command_, job, timeout_s_, &abandon_);
        if (!end.ok) Report(job, end.status, end.output);
        const std::lock_guard<std::mutex> lock(mutex_);
        running_job_ = false;
    }
}

void RecordHook::Report(const HookJob &job, const std::string &status, const std::string &output) {
    const std::string what = "hook for device " + std::to_string(job.device) + " on " + job.port + " " + status;
    std::string entry = UtcTimestamp() + " " + what + "\n";
    std::size_t at = 0;
    while (at < output.size()) {
        const std::size_t line_end = output.find('\n', at);
        const std::size_t stop = line_end == std::string::npos ? output.size() : line_end;
        entry += "  | " + output.substr(at, stop - at) + "\n";
        at = stop + 1;
    }
    // One append per failure, so that two stations sharing a log never mix lines.
    const int fd = open(log_path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    const bool logged = fd >= 0 && write(fd, entry.data(), entry.size()) == static_cast<ssize_t>(entry.size());
    if (fd >= 0) close(fd);
    const std::lock_guard<std::mutex> lock(mutex_);
    reports_.push_back(what + (logged ? "" : " (and " + log_path_ + " could not be written)"));
}
