// pardulo-station at line rate (the host's side paced like a UART) in the
// fixtures' awkward moments: a board put in while the host still sends the
// record of the one pulled before it, and an adapter pulled mid-upload.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "map_bytes.h"
#include "pty_helper.h"
#include "simulated_device.h"
#include "station_records.h"
#include "test_support.h"

namespace {

using namespace testing_support;

class StationAtLineRate : public ::testing::Test {
protected:
    // Two small records around a big one, whose data are all CMD_PUT bytes:
    // a board that comes in during its tail takes them for a put message
    // of 16 MB, and so every byte after them, pings included.
    void SetUp() override {
        big_ = std::string(12000, '\x01');
        WriteFile(work_.file("zebmap.map"), MapFile({MapRecord(1, RandomBytes(100, 1)), MapRecord(2, big_),
                                                     MapRecord(3, RandomBytes(100, 3))}));
    }

    // The station on port until the shell condition holds (at most
    // wait_s), then SIGINT.
    RunResult Run(const std::string &port, const std::string &condition, int wait_s) {
        const auto adapter = PtyAdapterEnv();
        const std::string script =
            "env " + adapter.at(0) + " PARDULO_PTY_PACE=1 " + BuildPath("pardulo-station") + " " + port +
            " >station.out 2>station.err </dev/null & pid=$!\n"
            "for i in $(seq " + std::to_string(wait_s * 10) + "); do " + condition + " && break; sleep 0.1; done\n"
            "kill -INT $pid; wait $pid; status=$?; cat station.out; cat station.err >&2; exit $status";
        return RunProgram({"/bin/bash", "-c", script}, work_.path(), {adapter.at(1)}, wait_s + 60.0);
    }

    std::vector<std::string> Records() { return Lines(ReadFile(work_.file("station.jsonl"))); }

    TempDir work_;
    TempDir devices_;
    std::string big_;
};

TEST_F(StationAtLineRate, ABoardPutInDuringThePulledOnesRecordIsFlashedAfterAQuietSpell) {
    // Board 1 is pulled 2000 bytes into its puts; board 2 is in after a
    // 300 ms gap, with most of the 12000-byte record still to come.
    SimulatedDevice line(devices_.file("a"),
                         {"--baud", "115200", "--devices", "2", "--gap", "300", "--device", "1", "--pull-after", "2000"});
    ASSERT_FALSE(line.port().empty());
    // The line ends its simulator after board 2: its pty number must not go
    // to another test's device while the station still watches it.
    const int held = open(line.port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);

    const RunResult run = Run(line.port(), "[ \"$(wc -l <station.jsonl 2>/dev/null)\" -ge 2 ]", 45);
    if (held >= 0) close(held);
    ASSERT_FALSE(run.timed_out);
    const std::vector<std::string> records = Records();
    ASSERT_EQ(records.size(), 2u) << run.err;
    EXPECT_EQ(RecordField(records[0], "result"), "\"failed\"") << records[0];
    EXPECT_EQ(RecordField(records[0], "failed_block"), "2") << records[0];
    EXPECT_EQ(RecordField(records[1], "result"), "\"ok\"") << records[1];
    EXPECT_EQ(RecordField(records[1], "device"), "2") << records[1];
    EXPECT_EQ(ReadFile(devices_.file("a/store/device-00002/block-00002.bin")), big_);
}

TEST_F(StationAtLineRate, APulledAdapterIsADeviceGone) {
    SimulatedDevice device(devices_.file("b"), {"--baud", "115200", "--hangup-after", "3000"});
    ASSERT_FALSE(device.port().empty());
    const RunResult run = Run(device.port(), "[ -s station.jsonl ]", 30);
    ASSERT_FALSE(run.timed_out);
    const std::vector<std::string> records = Records();
    ASSERT_EQ(records.size(), 1u) << run.err;
    EXPECT_EQ(RecordField(records[0], "reason"), "\"device gone\"") << records[0];
    EXPECT_EQ(RecordField(records[0], "failed_block"), "2") << records[0];
}

}  // namespace
