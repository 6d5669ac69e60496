// scripts/gang.sh, the thin wrapper over the station's one-batch mode,
// against several simulated devices at once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "map_bytes.h"
#include "pty_helper.h"
#include "simulated_device.h"
#include "test_support.h"

namespace {

using testing_support::BuildPath;
using testing_support::Lines;
using testing_support::MapRecord;
using testing_support::PtyAdapterEnv;
using testing_support::ReadFile;
using testing_support::RunProgram;
using testing_support::RunResult;
using Device = testing_support::SimulatedDevice;
using testing_support::SourcePath;
using testing_support::TempDir;
using testing_support::WriteFile;

class Gang : public ::testing::Test {
protected:
    void SetUp() override {
        WriteFile(work_.file("zebmap.map"), "\r" + MapRecord(1, std::string(300, 'a')) + MapRecord(2, "bcd"));
    }

    RunResult RunGang(const std::vector<std::string> &ports) {
        std::vector<std::string> argv = {"/bin/bash", SourcePath("scripts/gang.sh")};
        argv.insert(argv.end(), ports.begin(), ports.end());
        // Only the station gets the pty adapter, not the shell and its tools.
        const auto adapter = PtyAdapterEnv();
        return RunProgram(argv, work_.path(),
                          {"PARDULO_STATION=" + BuildPath("pardulo-station"), "PARDULO_WRAP=env " + adapter.at(0),
                           adapter.at(1), "GANG_WAIT=2"},
                          120);
    }

    TempDir work_;
    TempDir devices_;
};

TEST_F(Gang, FlashesEveryPortOnceAndPrintsTheCommandThatRetriesTheFailedOnes) {
    Device good(devices_.file("a"));
    Device refusing(devices_.file("b"), {"--answer", "2=ko-checksum"});
    ASSERT_FALSE(good.port().empty());
    ASSERT_FALSE(refusing.port().empty());
    const std::string missing = "/dev/pts/nonexistent";

    const RunResult run = RunGang({good.port(), refusing.port(), missing});
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    const auto lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 6u) << run.out;
    // One line per port as each finishes, in whatever order they do.
    const auto line_of = [&](const std::string &port) {
        for (std::size_t i = 0; i < 3; ++i) {
            if (lines[i].rfind(port + " ", 0) == 0) return lines[i].substr(port.size());
        }
        return std::string("<none>");
    };
    EXPECT_EQ(line_of(good.port()).rfind(" 1 ok ", 0), 0u) << run.out;
    EXPECT_NE(line_of(refusing.port()).find(" 1 failed "), std::string::npos) << run.out;
    EXPECT_NE(line_of(refusing.port()).find(" refused: answer 0x79"), std::string::npos) << run.out;
    EXPECT_EQ(line_of(missing), " 1 failed 0.0 no port: No such file or directory");
    EXPECT_EQ(Lines(ReadFile(work_.file("gang.jsonl"))).size(), 3u);
    EXPECT_EQ(good.Stored(2), "bcd");

    // Pasted into a shell without the gang's variables, the retry command
    // still reaches the device, which refused only its first upload's second record.
    const std::string retry_tail = " " + SourcePath("scripts/gang.sh") + " " + refusing.port() + " " + missing;
    ASSERT_GE(lines.back().size(), retry_tail.size());
    EXPECT_EQ(lines.back().substr(lines.back().size() - retry_tail.size()), retry_tail) << run.out;
    const RunResult retry =
        RunProgram({"/bin/bash", "-c", lines.back().substr(0, lines.back().size() - missing.size())}, work_.path(),
                   {"GANG_WAIT=2"}, 60);
    EXPECT_EQ(retry.status, 0) << retry.out << retry.err;
    EXPECT_EQ(refusing.Stored(2), "bcd");
}

TEST_F(Gang, RefusesWhatItCannotDo) {
    const auto gang = [&](const std::vector<std::string> &args, const std::string &cwd) {
        std::vector<std::string> argv = {"/bin/bash", SourcePath("scripts/gang.sh")};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv, cwd, {"PARDULO_STATION=" + BuildPath("pardulo-station")}, 30);
    };
    TempDir empty;
    const RunResult no_map = gang({"/dev/ttyUSB0"}, empty.path());
    EXPECT_EQ(no_map.status, 2);
    EXPECT_NE(no_map.err.find("cannot open ./zebmap.map: No such file or directory"), std::string::npos) << no_map.err;

    const RunResult twice = gang({"/dev/ttyUSB0", "/dev/ttyUSB0"}, work_.path());
    EXPECT_EQ(twice.status, 2);
    EXPECT_NE(twice.err.find("the port /dev/ttyUSB0 is given twice"), std::string::npos) << twice.err;

    EXPECT_EQ(gang({}, work_.path()).status, 2);
    const RunResult help = gang({"--help"}, work_.path());
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: "), std::string::npos);
}

}  // namespace
