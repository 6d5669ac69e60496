// A server program run in the background for a test (a broker, a
// scraper): started with posix_spawn, its output into a file, ended with
// SIGTERM and, when it does not end within a few seconds, SIGKILL. Also a
// free loopback port to give it.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// A port no one listens on now (the system's choice for a port 0 bind).
inline int FreeLoopbackPort() {
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    const bool ok = sock >= 0 && bind(sock, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0 &&
                    getsockname(sock, reinterpret_cast<sockaddr *>(&at), &length) == 0;
    if (sock >= 0) close(sock);
    return ok ? ntohs(at.sin_port) : -1;
}

class BackgroundServer {
public:
    BackgroundServer() = default;
    BackgroundServer(const BackgroundServer &) = delete;
    BackgroundServer &operator=(const BackgroundServer &) = delete;
    ~BackgroundServer() { Stop(); }

    // Starts argv (argv[0] a path), standard output and error into log.
    bool Start(const std::vector<std::string> &argv, const std::string &log) {
        Stop();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        std::vector<char *> args;
        for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        const int err = posix_spawn(&pid_, argv.at(0).c_str(), &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (err != 0) pid_ = -1;
        return pid_ > 0;
    }

    // SIGTERM, then SIGKILL after 5 s; waits for it.
    void Stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 100 && waitpid(pid_, &status, WNOHANG) == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (i == 99) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
            }
        }
        pid_ = -1;
    }

    bool Running() const { return pid_ > 0 && kill(pid_, 0) == 0; }

private:
    pid_t pid_ = -1;
};

}  // namespace testing_support
