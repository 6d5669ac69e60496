// The serial link on the real libserialport, talking through a
// pseudo-terminal to a peer played by the test.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "pty_helper.h"
#include "test_support.h"

namespace {

using testing_support::BuildPath;
using testing_support::Lines;
using testing_support::PtyAdapterEnv;
using testing_support::PtyPair;
using testing_support::RunProgram;
using testing_support::RunResult;
using testing_support::TempDir;

RunResult RunProbe(const std::vector<std::string> &args, double timeout_s = 60) {
    std::vector<std::string> argv = {BuildPath("pardulo-linkprobe")};
    argv.insert(argv.end(), args.begin(), args.end());
    TempDir dir;
    return RunProgram(argv, dir.path(), PtyAdapterEnv(), timeout_s);
}

// The probe's burst: byte i is (i * 7 + i / 251) mod 256, so that a lost,
// doubled or swapped byte shows.
std::string BurstPattern(std::size_t count) {
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

TEST(SerialPtyTest, LongBurstReachesASlowIrregularReaderWholeAndInOrder) {
    constexpr std::size_t kCount = 100000;
    PtyPair pty;
    std::string received;
    std::atomic<bool> program_done{false};
    std::thread device([&] {
        std::mt19937 random(20160111);
        while (received.size() < kCount && !program_done) {
            received += pty.ReadSome(1 + random() % 3000, 1000);
            // Mostly short pauses, now and then a long one, never as long
            // as the 500 ms a blocked write waits.
            const auto pause_ms = random() % 40 == 0 ? 250 : random() % 15;
            std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
        }
        received += pty.ReadUntilQuiet(200);
    });
    const RunResult run = RunProbe({"burst", pty.slave_path(), std::to_string(kCount)}, 120);
    program_done = true;
    device.join();

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out, "connect 0\nsent 100000\ndisconnect 0\n");
    ASSERT_EQ(received.size(), kCount);
    EXPECT_TRUE(received == BurstPattern(kCount)) << "the bytes arrived altered or out of order";
}

TEST(SerialPtyTest, OnlyBytesSentAfterTheHostsLastFlushAreReceived) {
    PtyPair pty;
    // Waiting in the line before the program even opens it.
    ASSERT_TRUE(pty.Write("\xAA"));
    std::string seen;
    std::thread device([&] {
        seen += pty.ReadExactly(1, 10000);
        // The answer, and right behind it a stray byte that the flush
        // ahead of the host's next byte must throw away.
        pty.Write("\x5A\xAA");
        seen += pty.ReadExactly(1, 10000);
        pty.Write("\xB2");
    });
    const RunResult run = RunProbe({"receive", pty.slave_path(), "11", "22"});
    device.join();

    EXPECT_EQ(seen, "\x11\x22");
    EXPECT_EQ(run.out,
              "connect 0\n"
              "send 11 0\nreceive 0 5A\n"
              "send 22 0\nreceive 0 B2\n"
              "disconnect 0\n")
        << run.err;
    EXPECT_EQ(run.status, 0);
}

TEST(SerialPtyTest, AConnectionRightAfterAnotherKeepsTheBytesTheReaderHasNotTakenYet) {
    PtyPair pty;
    // The device reads nothing until both connections are over: the first
    // one's bytes still wait in the pty when the second one opens the port,
    // more of them than the reader's side holds (4 KiB), as a slow device
    // leaves them.
    const RunResult first = RunProbe({"burst", pty.slave_path(), "12000"});
    const RunResult second = RunProbe({"burst", pty.slave_path(), "100"});
    EXPECT_EQ(first.status, 0) << first.out << first.err;
    EXPECT_EQ(second.status, 0) << second.out << second.err;
    const std::string received = pty.ReadUntilQuiet(200);
    EXPECT_EQ(received.size(), 12100u);
    EXPECT_TRUE(received == BurstPattern(12000) + BurstPattern(100))
        << "the second connection threw away bytes of the first";
}

TEST(SerialPtyTest, SilentPeerGivesATimeoutAfterHalfASecond) {
    PtyPair pty;
    const RunResult run = RunProbe({"receive", pty.slave_path(), "03"});
    EXPECT_EQ(run.out, "connect 0\nsend 03 0\nreceive -1 --\ndisconnect 0\n") << run.err;
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(pty.ReadUntilQuiet(50), "\x03");
}

TEST(SerialPtyTest, UnknownPortNamesAreRefusedAtTheLookup) {
    for (const std::string name : {"COM1", "/dev/ttyPARDULO-none", "/dev/pts/987654", "pts/0", ""}) {
        SCOPED_TRACE(name);
        const RunResult run = RunProbe({"connect", name});
        const auto lines = Lines(run.out);
        ASSERT_EQ(lines.size(), 1u) << run.out << run.err;
        ASSERT_EQ(lines[0].rfind("connect ", 0), 0u) << lines[0];
        const int code = std::stoi(lines[0].substr(8));
        EXPECT_GE(code, 201);
        EXPECT_LE(code, 204);
        EXPECT_EQ(run.status, 1);
    }
}

TEST(SerialPtyTest, PortIsLeftAt115200Baud8N1WithoutFlowControl) {
    PtyPair pty;
    const RunResult run = RunProbe({"connect", pty.slave_path()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "connect 0\n"
              "config baudrate=115200 bits=8 parity=none stopbits=1 rts=off cts=ignore dtr=off "
              "dsr=ignore xonxoff=disabled\n"
              "disconnect 0\n");

    // The same, as the terminal itself reports it after the program is gone.
    const int fd = open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    termios settings{};
    ASSERT_EQ(tcgetattr(fd, &settings), 0);
    close(fd);
    EXPECT_EQ(cfgetospeed(&settings), B115200);
    EXPECT_EQ(cfgetispeed(&settings), B115200);
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | IXANY), 0u);
}

}  // namespace
