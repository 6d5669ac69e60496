// What the person at the line sees on standard error (the live progress
// line on a terminal, the port hint, a busy port) and that standard output,
// which the line's tooling reads, stays the same whatever standard error is.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pty_helper.h"
#include "simulated_device.h"
#include "test_support.h"

namespace {

using testing_support::BuildPath;
using testing_support::FileExists;
using testing_support::Lines;
using testing_support::MakeDir;
using testing_support::PtyAdapterEnv;
using testing_support::ReadFile;
using testing_support::RunProgram;
using testing_support::RunResult;
using Device = testing_support::SimulatedDevice;
using testing_support::TempDir;
using testing_support::WriteFile;

// Runs argv with standard error on a terminal (a pty the test reads) and
// standard output on a pipe. err holds what the terminal received.
RunResult RunWithTerminalStderr(const std::vector<std::string> &argv, const std::string &cwd,
                                const std::vector<std::string> &extra_env, double timeout_s = 60) {
    RunResult result;
    int master = -1;
    int slave = -1;
    struct winsize size {};
    size.ws_col = 120;
    size.ws_row = 40;
    if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) return result;
    int out_pipe[2];
    if (pipe(out_pipe) != 0) return result;
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(cwd.c_str()) != 0) _exit(127);
        const int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        dup2(out_pipe[1], 1);
        dup2(slave, 2);
        for (const std::string &entry : extra_env) putenv(const_cast<char *>(entry.c_str()));
        setenv("TERM", "xterm", 1);
        std::vector<char *> args;
        for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(slave);
    close(out_pipe[1]);
    bool out_open = true;
    bool err_open = true;
    char buffer[4096];
    while (out_open || err_open) {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (elapsed > timeout_s) {
            result.timed_out = true;
            kill(child, SIGKILL);
            break;
        }
        struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {master, POLLIN, 0}};
        if (poll(fds, 2, 100) < 0) continue;
        if (out_open && (fds[0].revents & (POLLIN | POLLHUP))) {
            const ssize_t n = read(out_pipe[0], buffer, sizeof buffer);
            if (n > 0) result.out.append(buffer, static_cast<std::size_t>(n));
            else out_open = false;
        }
        if (err_open && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) result.err.append(buffer, static_cast<std::size_t>(n));
            else err_open = false;  // EIO: the program closed its side
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    close(out_pipe[0]);
    close(master);
    return result;
}

// The one line whose numbers differ from run to run.
std::string WithoutTimes(std::string out) {
    const std::string label = "Transmission time : ";
    const auto at = out.find(label);
    if (at != std::string::npos) out.replace(at + label.size(), out.find('\n', at) - at - label.size(), "...");
    return out;
}

// The output of a run on port, with the port's name and the times left out.
std::string WithoutTimesAndPort(const std::string &out, const std::string &port) {
    std::string text = WithoutTimes(out);
    const std::string quoted = "'" + port + "'";
    for (auto at = text.find(quoted); at != std::string::npos; at = text.find(quoted, at)) {
        text.replace(at, quoted.size(), "'PORT'");
    }
    return text;
}

std::string Record(int block, std::size_t size) {
    std::string record = {static_cast<char>(block >> 8), static_cast<char>(block & 0xFF), 0, 0,
                          static_cast<char>(size >> 8 & 0xFF), static_cast<char>(size & 0xFF)};
    for (std::size_t i = 0; i < size; ++i) record += static_cast<char>((i * 13 + block) & 0xFF);
    return record + "\r";
}

const std::string kMap = "\r" + Record(1, 3000) + Record(2, 1000);

std::vector<std::string> Pardulo(const std::string &mode, const std::string &port) {
    return {BuildPath("pardulo"), mode, port};
}

class Operator : public ::testing::Test {
protected:
    // A working directory with the map, a fresh one for every run.
    std::string WorkDir() {
        dirs_.emplace_back(std::make_unique<TempDir>());
        WriteFile(dirs_.back()->file("zebmap.map"), kMap);
        return dirs_.back()->path();
    }

    TempDir devices_;
    std::vector<std::unique_ptr<TempDir>> dirs_;
};

TEST_F(Operator, UploadShowsALiveLineOnATerminalAndStandardOutputStaysTheSame) {
    // Both runs at once, each against a device of its own.
    Device plain_device(devices_.file("plain"));
    Device live_device(devices_.file("live"));
    ASSERT_FALSE(plain_device.port().empty());
    ASSERT_FALSE(live_device.port().empty());

    const std::string plain_dir = WorkDir();
    auto plain_run = std::async(std::launch::async, [&] {
        return RunProgram(Pardulo("p", plain_device.port()), plain_dir, PtyAdapterEnv());
    });
    const RunResult live = RunWithTerminalStderr(Pardulo("p", live_device.port()), WorkDir(), PtyAdapterEnv());
    const RunResult plain = plain_run.get();
    ASSERT_FALSE(live.timed_out);
    EXPECT_EQ(plain.status, 0) << plain.out;
    EXPECT_EQ(live.status, 0) << live.out;

    EXPECT_EQ(WithoutTimesAndPort(live.out, live_device.port()), WithoutTimesAndPort(plain.out, plain_device.port()));
    EXPECT_NE(plain.out.find("* SerialSend EXIT [ok]"), std::string::npos) << plain.out;
    EXPECT_EQ(plain.err, "") << "nothing for people when standard error is no terminal";

    // Redrawn in place, the records counted, and cleared at the end.
    EXPECT_NE(live.err.find("\rupload "), std::string::npos) << live.err;
    EXPECT_NE(live.err.find("of 2 records"), std::string::npos);
    EXPECT_NE(live.err.find("1 of 2 records"), std::string::npos);
    EXPECT_EQ(live.err.find('\n'), std::string::npos) << "the line never scrolls";
    ASSERT_GE(live.err.size(), 4u);
    EXPECT_EQ(live.err.substr(live.err.size() - 4), "\r\033[K") << "ends cleared";
}

TEST_F(Operator, DownloadShowsTheBytesReceivedOnATerminalOnly) {
    Device plain_device(devices_.file("plain"), {"--get-bytes", "40000"});
    Device live_device(devices_.file("live"), {"--get-bytes", "40000"});
    ASSERT_FALSE(plain_device.port().empty());
    ASSERT_FALSE(live_device.port().empty());

    const std::string plain_dir = WorkDir();
    const std::string live_dir = WorkDir();
    auto plain_run = std::async(std::launch::async, [&] {
        return RunProgram(Pardulo("g", plain_device.port()), plain_dir, PtyAdapterEnv());
    });
    const RunResult live = RunWithTerminalStderr(Pardulo("g", live_device.port()), live_dir, PtyAdapterEnv());
    const RunResult plain = plain_run.get();
    ASSERT_FALSE(live.timed_out);

    EXPECT_EQ(WithoutTimesAndPort(live.out, live_device.port()), WithoutTimesAndPort(plain.out, plain_device.port()));
    EXPECT_EQ(live.status, plain.status);
    EXPECT_EQ(plain.err, "");
    EXPECT_EQ(ReadFile(live_dir + "/test.bgra").size(), 40000u);
    EXPECT_EQ(ReadFile(live_dir + "/test.bgra"), ReadFile(plain_dir + "/test.bgra"));

    EXPECT_NE(live.err.find("\rdownload "), std::string::npos) << live.err;
    EXPECT_NE(live.err.find("of 510.0 KiB"), std::string::npos);
    EXPECT_EQ(live.err.find('\n'), std::string::npos);
    ASSERT_GE(live.err.size(), 4u);
    EXPECT_EQ(live.err.substr(live.err.size() - 4), "\r\033[K");
}

TEST_F(Operator, APortThatCannotBeOpenedGetsOneHintAfterTheUsualLines) {
    const std::string missing = "/dev/pardulo-no-such-port";
    for (const std::string mode : {"p", "r", "g"}) {
        const RunResult plain = RunProgram(Pardulo(mode, missing), WorkDir());
        const RunResult live = RunWithTerminalStderr(Pardulo(mode, missing), WorkDir(), {});
        EXPECT_EQ(WithoutTimes(live.out), WithoutTimes(plain.out)) << mode;
        EXPECT_NE(plain.out.find("* SerialConnect Error [err="), std::string::npos) << plain.out;

        // In a log as on a terminal: a failure is when a person looks.
        const auto hint = Lines(plain.err);
        ASSERT_EQ(hint.size(), 1u) << mode << ": " << plain.err;
        const std::string listed = "hint: available serial ports: ";
        EXPECT_TRUE(hint[0] == "hint: no serial ports found" ||
                    (hint[0].rfind(listed, 0) == 0 && hint[0].size() > listed.size()))
            << hint[0];
        EXPECT_EQ(live.err, hint[0] + "\r\n") << mode;
    }
}

TEST_F(Operator, ASecondRunOnABusyPortIsRefusedAndTheFirstIsUndisturbed) {
    Device device(devices_.file("dev"));
    ASSERT_FALSE(device.port().empty());

    const std::string first_dir = WorkDir();
    RunResult first;
    std::thread uploader([&] { first = RunProgram(Pardulo("p", device.port()), first_dir, PtyAdapterEnv(), 120); });
    // The upload holds the port once it has written its first progress.
    for (int i = 0; i < 600 && ReadFile(first_dir + "/zebmap.log").empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const RunResult second = RunProgram(Pardulo("r", device.port()), WorkDir(), PtyAdapterEnv());
    uploader.join();

    EXPECT_NE(second.out.find("* SerialConnect Error [err=302]"), std::string::npos) << second.out;
    EXPECT_EQ(second.out.find("ERASE"), std::string::npos) << "nothing reached the line";
    EXPECT_NE(second.err.find("exists but could not be opened: another program may be using it"),
              std::string::npos)
        << second.err;

    EXPECT_EQ(first.status, 0) << first.out;
    EXPECT_EQ(ReadFile(first_dir + "/zebmap.log"), "100");

    // Released with the upload: the port is free again, and after a mode
    // that never closes it (r), too.
    for (int i = 0; i < 2; ++i) {
        const RunResult again = RunProgram(Pardulo("r", device.port()), WorkDir(), PtyAdapterEnv());
        EXPECT_NE(again.out.find("* SerialSend ERASE [ok]"), std::string::npos) << again.out;
    }
}

TEST_F(Operator, DevelopModeAndTheUsageBannerWriteNothingForPeople) {
    const std::string dir = WorkDir();
    MakeDir(dir + "/resources");
    WriteFile(dir + "/resources/a.rawh", "w=2, h=1, stride=8, size=8\n");
    WriteFile(dir + "/resources/a.raw", "ABCDEFGH");
    for (const std::vector<std::string> &argv :
         {std::vector<std::string>{BuildPath("pardulo"), "d"}, std::vector<std::string>{BuildPath("pardulo")}}) {
        const RunResult plain = RunProgram(argv, dir);
        const RunResult live = RunWithTerminalStderr(argv, dir, {});
        EXPECT_EQ(live.out, plain.out);
        EXPECT_EQ(live.status, plain.status);
        EXPECT_EQ(live.err, "");
    }
}

}  // namespace
