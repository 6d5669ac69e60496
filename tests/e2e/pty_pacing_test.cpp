// The pty adapter's line-rate pacing, in this process: main runs the tests
// again with the adapter preloaded and PARDULO_PTY_PACE=1, and each test
// plays the host on a pty slave and the device on its master.
#include <fcntl.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "pty_helper.h"
#include "test_support.h"

using namespace testing_support;

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The slave opened as libserialport opens a port, raw, at speed.
int OpenPort(const PtyPair &pty, speed_t speed) {
    const int fd = open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios settings{};
    if (fd < 0 || tcgetattr(fd, &settings) != 0) return -1;
    cfmakeraw(&settings);
    cfsetspeed(&settings, speed);
    return tcsetattr(fd, TCSANOW, &settings) == 0 ? fd : -1;
}

// Writes bytes one write call each, as the serial link does, each after
// waiting up to 500 ms for room as libserialport's blocking write does.
bool WriteByteByByte(int fd, const std::string &bytes) {
    for (const char byte : bytes) {
        fd_set room;
        FD_ZERO(&room);
        FD_SET(fd, &room);
        timeval timeout{0, 500000};
        if (select(fd + 1, nullptr, &room, nullptr, &timeout) != 1 || write(fd, &byte, 1) != 1) return false;
    }
    return true;
}

// Everything the device side can read at once, without waiting.
std::string Available(PtyPair &pty) {
    std::string got;
    for (std::string more; !(more = pty.ReadSome(8192, 0)).empty();) got += more;
    return got;
}

std::string Pattern(std::size_t size, char seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; i++) bytes[i] = static_cast<char>(seed + static_cast<char>(i * 7));
    return bytes;
}

}  // namespace

TEST(PtyPacing, WritesFillTheDriverBufferAtOnceAndTheDeviceGetsThemAtTheLineRate) {
    constexpr double kByte = 10.0 / 230400;  // seconds a byte takes on the line
    PtyPair fast_pty, slow_pty;
    const int fast = OpenPort(fast_pty, B230400), slow = OpenPort(slow_pty, B115200);
    ASSERT_GE(fast, 0);
    ASSERT_GE(slow, 0);
    const std::string slow_bytes = Pattern(500, 'a'), fast_bytes = Pattern(6000, 'b');

    const auto start = Clock::now();
    ASSERT_TRUE(WriteByteByByte(slow, slow_bytes));
    // A buffer's worth returns at once: the host does not sleep per byte.
    ASSERT_TRUE(WriteByteByByte(fast, fast_bytes.substr(0, 4096)));
    EXPECT_LT(SecondsSince(start), 4096 * kByte / 2);
    // The device never has a byte before the line could have carried it.
    const std::string early = Available(fast_pty);
    EXPECT_LE(static_cast<double>(early.size()), SecondsSince(start) / kByte);
    // The buffer holds no more than 4096 bytes that have not crossed the line.
    double most_ahead = 0;
    for (std::size_t k = 4096; k < fast_bytes.size(); k++) {
        ASSERT_TRUE(WriteByteByByte(fast, fast_bytes.substr(k, 1)));
        most_ahead = std::max(most_ahead, static_cast<double>(k + 1) - SecondsSince(start) / kByte);
    }
    EXPECT_LE(most_ahead, 4096);
    // The drain returns once the last byte has crossed the line, and then
    // the device has every byte: the answer window opens as on a UART.
    ASSERT_EQ(tcdrain(fast), 0);
    EXPECT_GE(SecondsSince(start), static_cast<double>(fast_bytes.size()) * kByte);
    EXPECT_EQ(early + Available(fast_pty), fast_bytes);
    // The other line kept its own rate and bytes.
    ASSERT_EQ(tcdrain(slow), 0);
    EXPECT_EQ(Available(slow_pty), slow_bytes);
    close(fast);
    close(slow);
}

TEST(PtyPacing, AReaderSlowerThanTheLineDoesNotHoldTheHostUp) {
    // On a UART the device's pace cannot hold the host's writes up; the pty
    // alone takes 20 KiB before its reader must read.
    constexpr double kByte = 10.0 / 921600;
    PtyPair pty;
    const int port = OpenPort(pty, B921600);
    ASSERT_GE(port, 0);
    const std::string bytes = Pattern(32768, 'e');
    const auto start = Clock::now();
    ASSERT_TRUE(WriteByteByByte(port, bytes));
    ASSERT_EQ(tcdrain(port), 0);
    EXPECT_GE(SecondsSince(start), static_cast<double>(bytes.size()) * kByte);
    EXPECT_EQ(pty.ReadExactly(bytes.size(), 5000), bytes);
    close(port);
}

TEST(PtyPacing, AnOutputFlushDropsWhatTheLineHasNotCarried) {
    PtyPair pty;
    const int port = OpenPort(pty, B115200);
    ASSERT_GE(port, 0);
    // More than the driver buffer holds: whatever a loaded machine does to
    // the writer, the buffer is full when the flush comes, so some bytes
    // have not crossed the line yet.
    const std::string bytes = Pattern(8000, 'c');
    ASSERT_TRUE(WriteByteByByte(port, bytes));
    ASSERT_EQ(tcflush(port, TCOFLUSH), 0);
    ASSERT_TRUE(WriteByteByByte(port, "Z"));
    ASSERT_EQ(tcdrain(port), 0);
    const std::string got = Available(pty);
    ASSERT_LT(got.size(), bytes.size());
    EXPECT_EQ(got, bytes.substr(0, got.size() - 1) + "Z");
    close(port);
}

TEST(PtyPacing, ExitSendsTheBufferedBytesAndAHungUpLineNeverHangsTheHost) {
    // A host that ends with exit() (an erase command, then nothing) still
    // gets its bytes onto the line, as closing a tty waits for them.
    PtyPair pty;
    const std::string bytes = Pattern(300, 'd');
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int port = OpenPort(pty, B115200);
        std::exit(port >= 0 && WriteByteByByte(port, bytes) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Available(pty), bytes);

    // The device hangs up with bytes still buffered: the drain and the close
    // return, and the next write reports the pty's own error.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master) | unlockpt(master), 0);
    const int port = open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios settings{};
    ASSERT_EQ(tcgetattr(port, &settings), 0);
    cfmakeraw(&settings);
    cfsetspeed(&settings, B115200);
    ASSERT_EQ(tcsetattr(port, TCSANOW, &settings), 0);
    ASSERT_TRUE(WriteByteByByte(port, bytes));
    close(master);
    const auto start = Clock::now();
    tcdrain(port);
    EXPECT_EQ(write(port, "x", 1), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(close(port), 0);
    EXPECT_LT(SecondsSince(start), 1.0);
}

// The adapter is loaded when a process starts or not at all: the tests run
// in a second start of this program, with it preloaded.
int main(int argc, char **argv) {
    if (std::getenv("PARDULO_PTY_PACE") == nullptr) {
        setenv("PARDULO_PTY_PACE", "1", 1);
        for (const std::string &entry : PtyAdapterEnv()) {
            const std::size_t equals = entry.find('=');
            setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
        }
        execv("/proc/self/exe", argv);
        std::perror("execv /proc/self/exe");
        return 2;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
