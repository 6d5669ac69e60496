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
// standard output on a pipe. err holds what the terminal received. With
// interrupt_with, that signal is sent once as soon as a live line shows.
RunResult RunWithTerminalStderr(const std::vector<std::string> &argv, const std::string &cwd,
                                const std::vector<std::string> &extra_env, double timeout_s = 60,
                                int interrupt_with = 0) {
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
        if (interrupt_with != 0 && (result.err.find("\rupload ") != std::string::npos ||
                                    result.err.find("\rdownload ") != std::string::npos)) {
            kill(child, interrupt_with);
            interrupt_with = 0;
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
    EXPECT_EQ(live.err.find('\n'), std::string::npos) << "a short screenshot is no success to announce";
    ASSERT_GE(live.err.size(), 4u);
    EXPECT_EQ(live.err.substr(live.err.size() - 4), "\r\033[K");

    // A whole screenshot: its output ends on the receive time-out that ends
    // every download, so the terminal says where the bytes went.
    Device whole(devices_.file("whole"));
    ASSERT_FALSE(whole.port().empty());
    const std::string whole_dir = WorkDir();
    const RunResult saved = RunWithTerminalStderr(Pardulo("g", whole.port()), whole_dir, PtyAdapterEnv());
    EXPECT_EQ(saved.status, 0) << saved.out;
    const std::string note = "\r\033[K522240 bytes saved to test.bgra\r\n";
    ASSERT_GE(saved.err.size(), note.size());
    EXPECT_EQ(saved.err.substr(saved.err.size() - note.size()), note);
}

// SIGINT or SIGTERM in the middle of a transfer: the live line is cleared,
// one line says what that leaves on the device, and the process still ends
// by the signal, as the shell and the line's tooling expect.
TEST_F(Operator, AnInterruptedTransferClearsTheLineSaysWhatItLeavesAndEndsByTheSignal) {
    const struct {
        const char *mode;
        int signal_number;
    } rows[] = {{"p", SIGINT}, {"g", SIGTERM}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.mode);
        Device device(devices_.file(std::string("dev-") + row.mode));
        ASSERT_FALSE(device.port().empty());
        const RunResult live = RunWithTerminalStderr(Pardulo(row.mode, device.port()), WorkDir(), PtyAdapterEnv(),
                                                     60, row.signal_number);
        ASSERT_FALSE(live.timed_out);
        EXPECT_EQ(live.status, 128 + row.signal_number) << live.out;
        const std::string notice =
            "\r\033[Kinterrupted: the device may be in the middle of a record, so the next run can fail once\r\n";
        ASSERT_GE(live.err.size(), notice.size()) << live.err;
        EXPECT_EQ(live.err.substr(live.err.size() - notice.size()), notice);
        EXPECT_EQ(live.out.find("Transmission time"), std::string::npos);
    }
}

// A refused or unanswered record: one hint in plain words on a terminal,
// after the run's own lines; nothing when standard error is no terminal.
TEST_F(Operator, ARefusedRecordGetsOnePlainWordsHintOnATerminal) {
    const struct {
        const char *answer;
        std::string hint;
    } rows[] = {
        {"ko-checksum", "hint: the device refused block 1 (0x79): the checksum did not match"},
        {"ko-flash", "hint: the device refused block 1 (0x89): it could not write its flash"},
        {"none", "hint: the device did not answer block 1 within 500 ms"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.answer);
        Device device(devices_.file(std::string("dev-") + row.answer), {"--answer", row.answer});
        ASSERT_FALSE(device.port().empty());
        const RunResult plain = RunProgram(Pardulo("p", device.port()), WorkDir(), PtyAdapterEnv());
        const RunResult live = RunWithTerminalStderr(Pardulo("p", device.port()), WorkDir(), PtyAdapterEnv());
        EXPECT_EQ(live.status, 1);
        EXPECT_EQ(WithoutTimes(live.out), WithoutTimes(plain.out));
        EXPECT_EQ(plain.err, "");
        const std::string note = "\r\033[K" + row.hint + "\r\n";
        ASSERT_GE(live.err.size(), note.size()) << live.err;
        EXPECT_EQ(live.err.substr(live.err.size() - note.size()), note);
    }
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
    // A second upload from the same folder is refused at the port, and its
    // test of the log must not have emptied the first one's.
    const std::string before = ReadFile(first_dir + "/zebmap.log");
    const RunResult second_upload = RunProgram(Pardulo("p", device.port()), first_dir, PtyAdapterEnv());
    std::string after = ReadFile(first_dir + "/zebmap.log");
    // The first run rewrites the log whole; give such a rewrite a moment.
    for (int i = 0; i < 5 && after.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        after = ReadFile(first_dir + "/zebmap.log");
    }
    const RunResult second = RunProgram(Pardulo("r", device.port()), WorkDir(), PtyAdapterEnv());
    uploader.join();

    EXPECT_NE(second_upload.out.find("* SerialConnect Error [err=302]"), std::string::npos) << second_upload.out;
    EXPECT_EQ(second_upload.status, 1);
    EXPECT_FALSE(before.empty());
    EXPECT_FALSE(after.empty()) << "the refused run wiped the running upload's log";

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

// After a build, one summary line on a terminal: a failed build must not end
// on the check's "OK..." lines of an earlier map without a word. Standard
// output stays the same, and when standard error is no terminal it gets the
// build's warnings alone.
TEST_F(Operator, DevelopModeSummarisesTheBuildOnATerminalOnlyAndTheBannerWritesNothing) {
    struct Row {
        const char *what;
        std::vector<std::string> resources;  // names to create, "" for no resources/ at all
        bool earlier_map;
        int status;
        std::string summary;
        std::string warnings = "";
    };
    const Row rows[] = {
        {"packed and skipped", {"a", "b.rawh"}, false, 1, "develop: 1 packed, 1 skipped",
         "warning: resources/b.rawh skipped: zebmap.map has no record for block 2; the device will have no picture "
         "there\n"},
        {"none found", {"readme.txt"}, false, 0,
         "develop: no resources found in resources/ (no *.rawh files); the map holds no records"},
        {"no folder, earlier map", {""}, true, 1,
         "develop: resources/ could not be read; nothing was packed, the map checked above is an earlier one",
         "hint: resources/ could not be opened in {dir} (No such file or directory): pardulo d looks in the working "
         "directory for a folder resources/ with two files per resource, NAME.rawh (a header line: width, height, "
         "stride, size) and NAME.raw (the pixel data); run it in the folder that holds resources/\n"},
        {"no folder, no map", {""}, false, 1, "develop: resources/ could not be read; nothing was packed and there is no map",
         "hint: resources/ could not be opened in {dir} (No such file or directory): pardulo d looks in the working "
         "directory for a folder resources/ with two files per resource, NAME.rawh (a header line: width, height, "
         "stride, size) and NAME.raw (the pixel data); run it in the folder that holds resources/\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        dirs_.emplace_back(std::make_unique<TempDir>());
        const std::string dir = dirs_.back()->path();
        if (row.earlier_map) WriteFile(dir + "/zebmap.map", kMap);
        for (const std::string &name : row.resources) {
            if (name.empty()) continue;
            MakeDir(dir + "/resources");
            if (name == "a") {
                WriteFile(dir + "/resources/a.rawh", "/*('p', 'r', 2, 'x', 2, 'f', 'ARGB4', 's', 4, 't', 8)*/\n");
                WriteFile(dir + "/resources/a.raw", "ABCDEFGH");
            } else {
                WriteFile(dir + "/resources/" + name, "no header of a resource\n");
            }
        }
        const std::vector<std::string> argv = {BuildPath("pardulo"), "d"};
        const RunResult plain = RunProgram(argv, dir);
        const RunResult live = RunWithTerminalStderr(argv, dir, {});
        EXPECT_EQ(live.out, plain.out);
        EXPECT_EQ(live.status, row.status);
        EXPECT_EQ(plain.status, row.status);
        // The hint names the folder it looked in: this row's.
        std::string warnings = row.warnings;
        if (const std::size_t at = warnings.find("{dir}"); at != std::string::npos) warnings.replace(at, 5, dir);
        EXPECT_EQ(plain.err, warnings);
        std::string on_terminal;  // the terminal ends its lines with "\r\n"
        for (const std::string &line : Lines(warnings)) on_terminal += line + "\r\n";
        EXPECT_EQ(live.err, on_terminal + row.summary + "\r\n");
    }
    const RunResult banner = RunWithTerminalStderr({BuildPath("pardulo")}, WorkDir(), {});
    EXPECT_EQ(banner.status, 1);
    EXPECT_EQ(banner.err, "");
}

}  // namespace
