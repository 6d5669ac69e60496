#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace testing_support {

TempDir::TempDir() {
    char pattern[] = "/tmp/pardulo-test-XXXXXX";
    const char *made = mkdtemp(pattern);
    if (made == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = made;
}

TempDir::~TempDir() {
    std::error_code ignored;
    // Tests may leave read-only folders behind; make them removable first.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
    }
    std::filesystem::remove_all(path_, ignored);
}

namespace {

// Reads whatever is available on fd into sink; false at end of file.
bool Drain(int fd, std::string &sink) {
    char buffer[65536];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
        sink.append(buffer, static_cast<size_t>(n));
        return true;
    }
    return n < 0 && (errno == EINTR || errno == EAGAIN);
}

}  // namespace

RunResult RunProgram(const std::vector<std::string> &argv, const std::string &cwd,
                     const std::vector<std::string> &extra_env, double timeout_s) {
    RunResult result;
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");

    std::vector<std::string> env_strings;
    for (char **e = environ; *e != nullptr; ++e) env_strings.emplace_back(*e);
    for (const std::string &extra : extra_env) {
        const std::string key = extra.substr(0, extra.find('=') + 1);
        for (auto it = env_strings.begin(); it != env_strings.end();) {
            it = it->compare(0, key.size(), key) == 0 ? env_strings.erase(it) : it + 1;
        }
        env_strings.push_back(extra);
    }
    std::vector<char *> envp;
    for (std::string &s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char *> argp;
    for (std::string &s : args) argp.push_back(s.data());
    argp.push_back(nullptr);

    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        // Own process group, so a time-out can stop the program and its children.
        setpgid(0, 0);
        const int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        execve(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);

    bool out_open = true;
    bool err_open = true;
    const auto deadline = start + std::chrono::duration<double>(timeout_s);
    while (out_open || err_open) {
        pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            kill(-pid, SIGKILL);
            break;
        }
        const int ready = poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 100)));
        if (ready < 0 && errno != EINTR) break;
        if (out_open && (fds[0].revents & (POLLIN | POLLHUP))) out_open = Drain(out_pipe[0], result.out);
        if (err_open && (fds[1].revents & (POLLIN | POLLHUP))) err_open = Drain(err_pipe[0], result.err);
    }
    close(out_pipe[0]);
    close(err_pipe[0]);

    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
    else if (WIFSIGNALED(wstatus)) result.status = 128 + WTERMSIG(wstatus);
    return result;
}

RunResult RunPardulo(const TempDir &dir, const std::vector<std::string> &args, double timeout_s) {
    std::vector<std::string> argv = {BuildPath("pardulo")};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, dir.path(), {}, timeout_s);
}

}  // namespace testing_support
