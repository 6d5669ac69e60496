#include "pty_helper.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "test_support.h"

namespace testing_support {

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until fd is ready for events or timeout_ms passes.
bool WaitFor(int fd, short events, int timeout_ms) {
    pollfd entry{fd, events, 0};
    for (;;) {
        const int ready = poll(&entry, 1, timeout_ms);
        if (ready >= 0) return ready > 0;
        if (errno != EINTR) return false;
    }
}

}  // namespace

PtyPair::PtyPair() {
    master_fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_fd_ < 0) throw std::runtime_error("posix_openpt failed");
    char name[128];
    if (grantpt(master_fd_) != 0 || unlockpt(master_fd_) != 0 ||
        ptsname_r(master_fd_, name, sizeof name) != 0) {
        close(master_fd_);
        throw std::runtime_error("cannot set up the pty");
    }
    slave_path_ = name;
    slave_fd_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings{};
    if (slave_fd_ < 0 || tcgetattr(slave_fd_, &settings) != 0) {
        if (slave_fd_ >= 0) close(slave_fd_);
        close(master_fd_);
        throw std::runtime_error("cannot open the pty slave " + slave_path_);
    }
    cfmakeraw(&settings);
    tcsetattr(slave_fd_, TCSANOW, &settings);
    fcntl(master_fd_, F_SETFL, fcntl(master_fd_, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair() {
    close(slave_fd_);
    close(master_fd_);
}

bool PtyPair::Write(const std::string &bytes, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(master_fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (!WaitFor(master_fd_, POLLOUT, MsLeft(deadline))) return false;
    }
    return true;
}

std::string PtyPair::ReadSome(std::size_t max_bytes, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string got(max_bytes, '\0');
    for (;;) {
        const ssize_t n = read(master_fd_, got.data(), max_bytes);
        if (n > 0) {
            got.resize(static_cast<std::size_t>(n));
            return got;
        }
        // EIO: no slave open at the moment (the program has closed the port).
        // Keep waiting until the deadline, a program may open it again.
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO)) return "";
        const int left = MsLeft(deadline);
        if (left == 0) return "";
        if (n < 0 && errno == EIO) {
            usleep(1000);
        } else {
            WaitFor(master_fd_, POLLIN, left);
        }
    }
}

std::string PtyPair::ReadExactly(std::size_t count, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string got;
    while (got.size() < count) {
        const int left = MsLeft(deadline);
        if (left == 0) break;
        got += ReadSome(count - got.size(), left);
    }
    return got;
}

std::string PtyPair::ReadUntilQuiet(int quiet_ms) {
    std::string got;
    for (;;) {
        const std::string more = ReadSome(65536, quiet_ms);
        if (more.empty()) return got;
        got += more;
    }
}

std::vector<std::string> PtyAdapterEnv() {
    // Last, so that it wins over a setting inherited from the tests' run.
    std::string asan;
    if (const char *current = std::getenv("ASAN_OPTIONS"); current != nullptr && *current != '\0') {
        asan = std::string(current) + ":";
    }
    asan += "verify_asan_link_order=0";
    return {"LD_PRELOAD=" + BuildPath("libpardulo_pty_adapter.so"), "ASAN_OPTIONS=" + asan};
}

}  // namespace testing_support
