// scripts/gang.sh against several simulated devices at once, each a
// pardulo-devsim of its own on its own pseudo-terminal.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pty_helper.h"
#include "map_bytes.h"
#include "simulated_device.h"
#include "test_support.h"

namespace {

using testing_support::BuildPath;
using testing_support::FileExists;
using testing_support::Lines;
using testing_support::MakeDir;
using testing_support::MapRecord;
using testing_support::PtyAdapterEnv;
using testing_support::ReadFile;
using testing_support::RunProgram;
using testing_support::RunResult;
using Device = testing_support::SimulatedDevice;
using testing_support::SourcePath;
using testing_support::TempDir;
using testing_support::WriteFile;

std::string Pattern(std::size_t size, int seed) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + seed) & 0xFF);
    return data;
}

class Gang : public ::testing::Test {
protected:
    void SetUp() override {
        data1_ = Pattern(300, 1);
        data2_ = Pattern(200, 2);
        WriteFile(work_.file("zebmap.map"), "\r" + MapRecord(1, data1_) + MapRecord(2, data2_));
    }

    RunResult RunGang(const std::vector<std::string> &ports) {
        std::vector<std::string> argv = {"/bin/bash", SourcePath("scripts/gang.sh")};
        argv.insert(argv.end(), ports.begin(), ports.end());
        // Only the program gets the pty adapter, not the shell and its tools.
        const auto adapter = PtyAdapterEnv();
        return RunProgram(argv, work_.path(),
                          {"PARDULO=" + BuildPath("pardulo"), "PARDULO_WRAP=env " + adapter.at(0), adapter.at(1),
                           "GANG_POLL=0.2"},
                          180);
    }

    // gang-<port>/ for /dev/pts/N
    std::string RunDir(const std::string &port) {
        return work_.file("gang-pts_" + port.substr(port.rfind('/') + 1));
    }

    TempDir work_;
    TempDir devices_;
    std::string data1_;
    std::string data2_;
};

TEST_F(Gang, UploadsToEveryDeviceAtOnceAndNamesTheOneThatFailed) {
    Device good_a(devices_.file("a"), {});
    Device refusing(devices_.file("b"), {"--answer", "2=ko-checksum"});
    Device good_c(devices_.file("c"), {});
    const std::vector<std::string> ports = {good_a.port(), refusing.port(), good_c.port()};
    for (const auto &port : ports) ASSERT_FALSE(port.empty()) << "a simulated device did not start";

    const RunResult run = RunGang(ports);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 1) << run.out << run.err;

    // The devices that accepted everything hold the map's records exactly.
    for (const Device *device : {&good_a, &good_c}) {
        EXPECT_EQ(device->Stored(1), data1_);
        EXPECT_EQ(device->Stored(2), data2_);
    }
    EXPECT_EQ(refusing.Stored(1), data1_);
    EXPECT_EQ(refusing.Stored(2), "<missing>");

    // Each run kept its own progress log and output.
    EXPECT_EQ(ReadFile(RunDir(ports[0]) + "/zebmap.log"), "100");
    EXPECT_EQ(ReadFile(RunDir(ports[1]) + "/zebmap.log"), "59");  // 308 of 515 bytes
    EXPECT_EQ(ReadFile(RunDir(ports[2]) + "/zebmap.log"), "100");
    EXPECT_NE(ReadFile(RunDir(ports[1]) + "/pardulo.out").find("*ERR CHECKSUM FAILED!"), std::string::npos);
    EXPECT_EQ(ReadFile(RunDir(ports[0]) + "/pardulo.out").find("CHECKSUM FAILED"), std::string::npos);

    // The table and the retry command, on standard output.
    const auto lines = Lines(run.out);
    ASSERT_GE(lines.size(), 7u) << run.out;
    EXPECT_EQ(lines[0].rfind("PORT", 0), 0u);
    const std::string expected_result[] = {"ok", "failed", "ok"};
    for (int i = 0; i < 3; ++i) {
        std::istringstream row(lines[1 + i]);
        std::string port, result;
        row >> port >> result;
        EXPECT_EQ(port, ports[i]);
        EXPECT_EQ(result, expected_result[i]) << lines[1 + i];
        EXPECT_NE(lines[1 + i].find(" s"), std::string::npos) << "with its time: " << lines[1 + i];
    }
    // A failed row says how far it got and why.
    EXPECT_NE(lines[2].find("failed at 59% (exit status 1): *ERR CHECKSUM FAILED!"), std::string::npos) << lines[2];
    // The retry command runs the program as this run did: pasted into a
    // shell without the gang's variables, it still reaches the device, which
    // refused only its second message.
    const std::string retry_tail = " " + SourcePath("scripts/gang.sh") + " " + ports[1];
    ASSERT_GE(lines.back().size(), retry_tail.size());
    EXPECT_EQ(lines.back().substr(lines.back().size() - retry_tail.size()), retry_tail) << run.out;
    EXPECT_NE(lines.back().find(" PARDULO_WRAP="), std::string::npos) << lines.back();
    const RunResult retry = RunProgram({"/bin/bash", "-c", lines.back()}, work_.path(), {}, 60);
    EXPECT_EQ(retry.status, 0) << retry.out;
    EXPECT_EQ(refusing.Stored(2), data2_);

    // Without a terminal: plain status lines on standard error, no redraws.
    EXPECT_EQ(run.err.find('\033'), std::string::npos);
    EXPECT_NE(run.err.find("gang: " + ports[0] + "  ok"), std::string::npos) << run.err;

    // The runs overlapped: each took over a second (one pause per accepted
    // record), and they all were under way at the same time.
    double latest_start = 0;
    double earliest_end = 1e18;
    for (const std::string &port : {ports[0], ports[2]}) {
        std::istringstream result(ReadFile(RunDir(port) + "/result"));
        int status = -1;
        double start = 0, end = 0;
        result >> status >> start >> end;
        EXPECT_EQ(status, 0);
        EXPECT_GT(end - start, 1.5);
        latest_start = std::max(latest_start, start);
        earliest_end = std::min(earliest_end, end);
    }
    EXPECT_LT(latest_start, earliest_end) << "the uploads ran one after the other";
}

TEST_F(Gang, ExitsZeroOnlyWhenEveryDeviceGotTheWholeMap) {
    Device a(devices_.file("a"), {});
    Device b(devices_.file("b"), {});
    ASSERT_FALSE(a.port().empty());
    ASSERT_FALSE(b.port().empty());
    // A stale log saying 100 must not pass for this run's.
    MakeDir(RunDir(b.port()));
    WriteFile(RunDir(b.port()) + "/zebmap.log", "100");

    const RunResult run = RunGang({a.port(), b.port()});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(Lines(run.out).back(), "All 2 devices got the whole map.");
    EXPECT_EQ(b.Stored(2), data2_);
}

TEST_F(Gang, ADeviceThatNeverAnswersFailsAndTheOthersStillFinish) {
    Device a(devices_.file("a"), {});
    Device silent(devices_.file("b"), {"--answer", "none"});
    ASSERT_FALSE(a.port().empty());
    ASSERT_FALSE(silent.port().empty());
    const std::string missing = "/dev/pts/nonexistent";

    const RunResult run = RunGang({a.port(), silent.port(), missing});
    EXPECT_EQ(run.status, 1);
    const auto lines = Lines(run.out);
    ASSERT_GE(lines.size(), 4u) << run.out;
    EXPECT_NE(lines[1].find(" ok "), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("failed"), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find("failed"), std::string::npos) << lines[3];
    EXPECT_NE(lines[2].find("failed at 0% (exit status 1): * SerialReceive Error -1"), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find("failed at 0% (exit status 1): * SerialConnect Error [err="), std::string::npos)
        << lines[3];
    const std::string retry_tail = " " + SourcePath("scripts/gang.sh") + " " + silent.port() + " " + missing;
    ASSERT_GE(lines.back().size(), retry_tail.size());
    EXPECT_EQ(lines.back().substr(lines.back().size() - retry_tail.size()), retry_tail);
}

// The result comes from the exit status and the progress log alone, not
// from the wording of the output: a stand-in program that prints nothing
// passes with 0 and 100, and fails with anything else. Each port name tells
// it what to do: STATUS_PERCENT.
TEST_F(Gang, TrustsTheExitStatusAndTheLogNotTheOutput) {
    const std::string program = work_.file("stand-in.sh");
    WriteFile(program,
              "#!/bin/sh\n"
              "printf %s \"${2#*_}\" >zebmap.log\n"
              "exit \"${2%_*}\"\n");
    ASSERT_EQ(chmod(program.c_str(), 0755), 0);

    const RunResult run =
        RunProgram({"/bin/bash", SourcePath("scripts/gang.sh"), "0_100", "0_40", "3_100"}, work_.path(),
                   {"PARDULO=" + program, "GANG_POLL=0.05"}, 30);
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    const auto lines = Lines(run.out);
    ASSERT_GE(lines.size(), 4u) << run.out;
    EXPECT_NE(lines[1].find(" ok "), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("failed at 40% (exit status 0, log not at 100)"), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find("failed at 100% (exit status 3)"), std::string::npos) << lines[3];
    const std::string retry_tail = " " + SourcePath("scripts/gang.sh") + " 0_40 3_100";
    ASSERT_GE(lines.back().size(), retry_tail.size());
    EXPECT_EQ(lines.back().substr(lines.back().size() - retry_tail.size()), retry_tail);
}

TEST_F(Gang, RefusesWhatItCannotDo) {
    const auto gang = [&](const std::vector<std::string> &args, const std::string &cwd) {
        std::vector<std::string> argv = {"/bin/bash", SourcePath("scripts/gang.sh")};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv, cwd, {"PARDULO=" + BuildPath("pardulo")}, 30);
    };
    TempDir empty;
    const RunResult no_map = gang({"/dev/ttyUSB0"}, empty.path());
    EXPECT_EQ(no_map.status, 2);
    EXPECT_NE(no_map.err.find("no zebmap.map"), std::string::npos);

    const RunResult twice = gang({"/dev/ttyUSB0", "/dev/ttyUSB0"}, work_.path());
    EXPECT_EQ(twice.status, 2);
    EXPECT_NE(twice.err.find("port given twice: /dev/ttyUSB0"), std::string::npos);

    const RunResult clash = gang({"/dev/tty:0", "/dev/tty_0"}, work_.path());
    EXPECT_EQ(clash.status, 2) << "both would run in ./gang-tty_0";

    const RunResult none = gang({}, work_.path());
    EXPECT_EQ(none.status, 2);
    EXPECT_FALSE(FileExists(work_.file("gang-ttyUSB0"))) << "nothing started for a refused command line";
}

}  // namespace
