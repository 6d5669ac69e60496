// pardulo-station against simulated devices, each a pardulo-devsim of its
// own on its own pseudo-terminal. The station runs under a small shell
// script that waits for what the test is about and then sends SIGINT.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "map_bytes.h"
#include "pty_helper.h"
#include "simulated_device.h"
#include "station_records.h"
#include "test_support.h"

namespace {

using testing_support::BuildPath;
using testing_support::FileExists;
using testing_support::Lines;
using testing_support::MapRecord;
using testing_support::PtyAdapterEnv;
using testing_support::ReadFile;
using testing_support::RunProgram;
using testing_support::RunResult;
using Device = testing_support::SimulatedDevice;
using testing_support::TempDir;
using testing_support::WriteFile;

const char *const kFields[] = {"id", "time", "started", "station", "port", "fixture", "device_path", "adapter_serial", "device",
                               "map_sha256", "map_records", "map_bytes", "records_accepted", "result",
                               "failed_block", "reason",    "serial",        "attempts",    "attempt_reasons",
                               "seconds"};

std::string Field(const std::string &line, const std::string &name) {
    return testing_support::RecordField(line, name);
}

std::string Quoted(const std::string &text) { return "\"" + text + "\""; }

std::string Pattern(std::size_t size, int seed) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + seed) & 0xFF);
    return data;
}

class Station : public ::testing::Test {
protected:
    void SetUp() override { WriteMap(2); }

    void WriteMap(int records) {
        data_.clear();
        std::string map = "\r";
        for (int block = 1; block <= records; ++block) {
            data_.push_back(Pattern(300, block));
            map += MapRecord(block, data_.back());
        }
        WriteFile(work_.file("zebmap.map"), map);
    }

    // Runs the station with args in the background of a shell; script runs
    // beside it with $STATION_PID set, and the shell ends with the
    // station's exit status.
    RunResult Run(const std::string &args, const std::string &script, double timeout_s = 120) {
        const auto adapter = PtyAdapterEnv();
        const std::string line = "env " + adapter.at(0) + " " + BuildPath("pardulo-station") + " " + args +
                                 " >station.out 2>station.err </dev/null & STATION_PID=$!\n" + script +
                                 "\nwait $STATION_PID; status=$?; cat station.out; cat station.err >&2; exit $status";
        return RunProgram({"/bin/bash", "-c", line}, work_.path(), {adapter.at(1)}, timeout_s);
    }

    std::vector<std::string> Records() { return Lines(ReadFile(work_.file("station.jsonl"))); }

    TempDir work_;
    TempDir devices_;
    std::vector<std::string> data_;
};

// Polls until the shell condition holds (at most seconds), then goes on.
std::string Until(const std::string &condition, int seconds = 90) {
    return "for i in $(seq " + std::to_string(seconds * 10) + "); do " + condition + " && break; sleep 0.1; done";
}

TEST_F(Station, FlashesALineOfDevicesOnThreePortsAndRecordsEachOnce) {
    // Port 0: four boards, each left in its fixture for a while after its
    // exit. Port 1: three, the second refusing its record 2. Port 2: two,
    // the first taken away in the middle of its upload.
    // Gaps well over the station's 2 s rule for a device that left (a pulled
    // device's gap also covers the rest of its upload).
    Device lingering(devices_.file("a"), {"--devices", "4", "--linger", "1500", "--gap", "3500"});
    Device refusing(devices_.file("b"),
                    {"--devices", "3", "--gap", "3500", "--device", "2", "--answer", "2=ko-checksum"});
    Device pulled(devices_.file("c"), {"--devices", "2", "--device", "1", "--pull-after", "100"});
    const std::vector<const Device *> devices = {&lingering, &refusing, &pulled};
    std::string ports;
    std::vector<int> held;
    for (const Device *device : devices) {
        ASSERT_FALSE(device->port().empty()) << "a simulated device did not start";
        ports += " " + device->port();
        // A line ends its simulator after its last device; the pty number
        // must not be handed to another test's device meanwhile, or the
        // station, still watching the port, would take that one for its own.
        held.push_back(open(device->port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    }
    const auto release = [&held] {
        for (const int fd : held) {
            if (fd >= 0) close(fd);
        }
        held.clear();
    };

    const RunResult run = Run(ports, Until("[ \"$(wc -l <station.jsonl 2>/dev/null)\" -ge 9 ]", 150) +
                                         "; sleep 2; kill -INT $STATION_PID", 240);
    release();
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 0) << run.err;

    const auto records = Records();
    ASSERT_EQ(records.size(), 9u) << ReadFile(work_.file("station.jsonl")) << run.err;
    std::map<std::string, std::vector<std::string>> by_port;
    for (const std::string &record : records) {
        // Every field, in this order, and no other.
        std::vector<std::string> names;
        const auto parsed = nlohmann::ordered_json::parse(record);
        for (const auto &field : parsed.items()) names.push_back(field.key());
        EXPECT_EQ(names, std::vector<std::string>(std::begin(kFields), std::end(kFields))) << record;
        EXPECT_EQ(Field(record, "map_records"), "2");
        EXPECT_EQ(Field(record, "adapter_serial"), "null");
        by_port[Field(record, "port")].push_back(record);
    }

    const std::string expected[3][4] = {{"ok", "ok", "ok", "ok"}, {"ok", "refused: answer 0x79", "ok"},
                                        {"no answer", "ok"}};
    for (int p = 0; p < 3; ++p) {
        const std::string port = devices[p]->port();
        const auto &lines = by_port[Quoted(port)];
        const std::size_t count = p == 0 ? 4 : p == 1 ? 3 : 2;
        ASSERT_EQ(lines.size(), count) << port;
        for (std::size_t d = 0; d < count; ++d) {
            const std::string &line = lines[d];
            EXPECT_EQ(Field(line, "device"), std::to_string(d + 1)) << line;
            const bool ok = expected[p][d] == "ok";
            EXPECT_EQ(Field(line, "result"), ok ? "\"ok\"" : "\"failed\"") << line;
            EXPECT_EQ(Field(line, "reason"), ok ? "null" : Quoted(expected[p][d])) << line;
            // A board with a record for each device of the line holds the map.
            char folder[64];
            snprintf(folder, sizeof folder, "/store/device-%05zu/", d + 1);
            const std::string store = devices_.file(std::string(1, static_cast<char>('a' + p))) + folder;
            if (ok) {
                EXPECT_EQ(Field(line, "records_accepted"), "2");
                EXPECT_EQ(ReadFile(store + "block-00001.bin"), data_[0]) << store;
                EXPECT_EQ(ReadFile(store + "block-00002.bin"), data_[1]) << store;
            }
            // Flashed once: the device saw exactly one upload's messages.
            const std::string status = ReadFile(store + "status.txt");
            if (ok || p == 1) {
                EXPECT_NE(status.find("puts 2\n"), std::string::npos) << store << "\n" << status;
            }
        }
    }
    printf("station line: upload seconds of the devices ok: %s\n", testing_support::OkSecondsSummary(records).c_str());
    EXPECT_EQ(Field(by_port[Quoted(devices[1]->port())][1], "failed_block"), "2");
    EXPECT_EQ(Field(by_port[Quoted(devices[1]->port())][1], "records_accepted"), "1");

    // Scripts get one line per device; each device's output is in its folder.
    EXPECT_EQ(Lines(run.out).size(), 9u) << run.out;
    const std::string port_folder = work_.file("station/pts_" + devices[0]->port().substr(9));
    EXPECT_TRUE(FileExists(port_folder + "/00004.out")) << port_folder;
    EXPECT_FALSE(FileExists(port_folder + "/00005.out"));
    EXPECT_EQ(ReadFile(port_folder + "/zebmap.log"), "100");
}

TEST_F(Station, SigintMidUploadSendsTheExitCommandAndRecordsInterrupted) {
    WriteMap(8);  // a second's pause after every record: about eight seconds
    Device device(devices_.file("a"), {"--transcript", devices_.file("a/transcript")});
    ASSERT_FALSE(device.port().empty());

    const std::string out = "station/pts_" + device.port().substr(9) + "/00001.out";
    const RunResult run = Run(device.port(), Until("[ \"$(grep -c 'CHECKSUM OK' " + out + " 2>/dev/null)\" -ge 2 ]") +
                                                 "; kill -INT $STATION_PID");
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 0) << run.err;

    const auto records = Records();
    ASSERT_EQ(records.size(), 1u) << run.err;
    EXPECT_EQ(Field(records[0], "result"), "\"failed\"");
    EXPECT_EQ(Field(records[0], "reason"), "\"interrupted\"");
    const int accepted = std::stoi(Field(records[0], "records_accepted"));
    EXPECT_GE(accepted, 2);
    EXPECT_LT(accepted, 8);
    // Stopped inside a record or in the pause after one: the block under way
    // is the first the device did not get.
    EXPECT_EQ(Field(records[0], "failed_block"), std::to_string(accepted + 1));
    EXPECT_NE(run.out.find(" 1 failed "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(" interrupted"), std::string::npos) << run.out;
    // The exit command went out: eight 0xAA from the host, after the last record.
    const std::string transcript = ReadFile(devices_.file("a/transcript"));
    const std::size_t exit_at = transcript.rfind(" H AA\n");
    ASSERT_NE(exit_at, std::string::npos);
    EXPECT_EQ(transcript.find(" H 01\n", exit_at), std::string::npos) << "a record after the exit command";
    EXPECT_NE(ReadFile(work_.file(out)).find("* SerialSend EXIT [ok]"), std::string::npos);
}

TEST_F(Station, AWorkerWhoseStationIsKilledStopsItsUploadWithTheExitCommand) {
    WriteMap(8);
    Device device(devices_.file("a"), {"--transcript", devices_.file("a/transcript")});
    ASSERT_FALSE(device.port().empty());

    // Nothing tells the worker but the end of its input.
    const std::string out = "station/pts_" + device.port().substr(9) + "/00001.out";
    const RunResult run = Run(device.port(), Until("[ \"$(grep -c 'CHECKSUM OK' " + out + " 2>/dev/null)\" -ge 2 ]") +
                                                 "; kill -KILL $STATION_PID; " +
                                                 Until("grep -q 'SerialSend EXIT' " + out + " 2>/dev/null", 20));
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 128 + 9);
    EXPECT_NE(ReadFile(work_.file(out)).find("* SerialSend EXIT [ok]"), std::string::npos) << ReadFile(work_.file(out));
    const std::string transcript = ReadFile(devices_.file("a/transcript"));
    const std::size_t exit_at = transcript.rfind(" H AA\n");
    ASSERT_NE(exit_at, std::string::npos);
    EXPECT_EQ(transcript.find(" H 01\n", exit_at), std::string::npos) << "a record after the exit command";
}

TEST_F(Station, ARecordFileThatCannotBeWrittenStopsTheStation) {
    Device device(devices_.file("a"), {"--devices", "2", "--gap", "500"});
    ASSERT_FALSE(device.port().empty());

    // No SIGINT: the station must end by itself, having taken one device.
    const RunResult run = Run("--log /dev/full " + device.port(), "", 60);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot write the record to /dev/full: No space left on device; no new devices are taken"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(Lines(run.out).size(), 1u) << run.out;
}

TEST_F(Station, OnceRecordsWhatEachPortFound) {
    Device device(devices_.file("a"));
    Device silent(devices_.file("b"), {"--ping-answer", "none"});
    // Hangs up after the ping and the first record's message, before its answer.
    Device hangs_up(devices_.file("c"), {"--hangup-after", std::to_string(8 + 7 + 300 + 4)});
    ASSERT_FALSE(device.port().empty());
    ASSERT_FALSE(silent.port().empty());
    ASSERT_FALSE(hangs_up.port().empty());
    // The fixture named by its position: a link to the device.
    const std::string by_path = work_.file("by-path-port1");
    ASSERT_EQ(symlink(device.port().c_str(), by_path.c_str()), 0);
    const std::string absent = work_.file("ttyUSB-unplugged");

    const RunResult run =
        Run("--once --wait 3 " + by_path + " " + silent.port() + " " + hangs_up.port() + " " + absent, "", 60);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_LT(run.seconds, 20);
    std::map<std::string, std::string> by_port;
    for (const std::string &record : Records()) by_port[Field(record, "port")] = record;
    struct Row {
        std::string port, device_path, result, reason, failed_block;
    };
    const Row rows[] = {
        {by_path, Quoted(device.port()), "\"ok\"", "null", "null"},
        {silent.port(), Quoted(silent.port()), "\"failed\"", "\"no device\"", "null"},
        {hangs_up.port(), Quoted(hangs_up.port()), "\"failed\"", "\"device gone\"", "1"},
        {absent, "null", "\"failed\"", "\"no port: No such file or directory\"", "null"},
    };
    ASSERT_EQ(by_port.size(), 4u) << ReadFile(work_.file("station.jsonl"));
    for (const Row &row : rows) {
        const std::string &record = by_port[Quoted(row.port)];
        EXPECT_EQ(Field(record, "device_path"), row.device_path) << record;
        EXPECT_EQ(Field(record, "result"), row.result) << record;
        EXPECT_EQ(Field(record, "reason"), row.reason) << record;
        EXPECT_EQ(Field(record, "failed_block"), row.failed_block) << record;
    }
    EXPECT_EQ(device.Stored(2), data_[1]);
    // The operator sees the missing port as such, not as an empty fixture.
    EXPECT_NE(run.err.find(absent + "  no port: No such file or directory"), std::string::npos) << run.err;

    // A map that does not check: exit 2, and nothing is flashed.
    WriteFile(work_.file("zebmap.map"), "\r" + MapRecord(1, "abc", 9));
    const RunResult bad = Run("--once --wait 1 " + device.port(), "", 60);
    EXPECT_EQ(bad.status, 2) << bad.err;
    EXPECT_NE(bad.err.find("does not check"), std::string::npos) << bad.err;
    EXPECT_EQ(Records().size(), 4u);
}

TEST_F(Station, TheHookGetsEveryRecordInOrderAndAHangingOneNeverHoldsUpTheLine) {
    // Device 1's hook hangs until it is killed; meanwhile device 2 is
    // flashed and its hook, which fails, waits its turn. The station is
    // stopped at once: the hooks of both records still run before it ends.
    Device line(devices_.file("a"), {"--devices", "2", "--gap", "3000"});
    ASSERT_FALSE(line.port().empty());
    const int held = open(line.port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const std::string hook =
        "'cat >>hooks.in; echo \"$PARDULO_RESULT $PARDULO_PORT $PARDULO_DEVICE\" >>hooks.env; "
        "echo said $PARDULO_DEVICE; "
        "case $PARDULO_DEVICE in 1) exec sleep 60;; 2) exit 3;; esac'";
    const RunResult run = Run("--on-record " + hook + " --hook-timeout 15 " + line.port(),
                              Until("[ \"$(wc -l <station.jsonl 2>/dev/null)\" -ge 2 ]", 60) +
                                  "; kill -INT $STATION_PID");
    if (held >= 0) close(held);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 0) << run.err;

    const auto records = Records();
    ASSERT_EQ(records.size(), 2u) << run.err;
    EXPECT_EQ(ReadFile(work_.file("hooks.in")), ReadFile(work_.file("station.jsonl")));
    EXPECT_EQ(ReadFile(work_.file("hooks.env")), "ok " + line.port() + " 1\nok " + line.port() + " 2\n");

    const auto log = Lines(ReadFile(work_.file("station/hooks.log")));
    ASSERT_EQ(log.size(), 4u) << ReadFile(work_.file("station/hooks.log"));
    EXPECT_NE(log[0].find(" hook for device 1 on " + line.port() + " killed after 15 s, still running"),
              std::string::npos) << log[0];
    EXPECT_EQ(log[1], "  | said 1");
    EXPECT_NE(log[2].find(" hook for device 2 on " + line.port() + " exited with status 3"), std::string::npos);
    // The second device's record was on disk before the first hook was killed.
    EXPECT_LT(Field(records[1], "time"), Quoted(log[0].substr(0, log[0].find(' '))));
    EXPECT_NE(run.err.find("station: hook for device 1 on " + line.port() + " killed after 15 s"), std::string::npos)
        << run.err;
}

TEST_F(Station, AMapWithAHoleInItsBlocksIsRefusedUnlessGapsAreAllowed) {
    Device device(devices_.file("a"));
    ASSERT_FALSE(device.port().empty());
    WriteFile(work_.file("zebmap.map"), "\r" + MapRecord(1, "one") + MapRecord(4, "four"));

    const RunResult refused = Run("--once --wait 5 " + device.port(), "", 60);
    EXPECT_EQ(refused.status, 2) << refused.err;
    EXPECT_NE(refused.err.find("./zebmap.map has no record for blocks 2-3: it was built with a resource skipped; "
                               "nothing was flashed (--allow-gaps flashes it all the same)"),
              std::string::npos)
        << refused.err;
    EXPECT_EQ(device.Stored(1), "<missing>");
    EXPECT_TRUE(Records().empty());

    const RunResult allowed = Run("--once --allow-gaps --wait 5 " + device.port(), "", 60);
    EXPECT_EQ(allowed.status, 0) << allowed.err;
    EXPECT_NE(allowed.err.find("flashed all the same (--allow-gaps)"), std::string::npos) << allowed.err;
    EXPECT_EQ(device.Stored(4), "four");
}

// Retries and the read-back, one port per case in one run: what each board's
// single record says, and the attempts it took.
TEST_F(Station, RetriesAfterARefusalAndTheReadBackCatchesABlockKeptWrong) {
    struct Row {
        std::vector<std::string> faults;
        std::string result, reason, failed_block, attempt_reasons;
    };
    const Row rows[] = {
        {{}, "\"ok\"", "null", "null", "[null]"},
        // Answered 0x69 but kept wrong: only the read-back finds it.
        {{"--corrupt-block", "2:5"}, "\"failed\"", "\"read back differs at byte 5\"", "2",
         "[\"read back differs at byte 5\"]"},
        {{"--answer", "2=ko-checksum"}, "\"ok\"", "null", "null", "[\"refused: answer 0x79\",null]"},
        {{"--answer", "ko-flash"}, "\"failed\"", "\"refused: answer 0x89\"", "1",
         "[\"refused: answer 0x89\",\"refused: answer 0x89\",\"refused: answer 0x89\"]"},
        // Pulled in its first record: silent, and not flashed again.
        {{"--devices", "2", "--device", "1", "--pull-after", "100"}, "\"failed\"", "\"no answer\"", "1", "[\"no answer\"]"},
    };
    std::vector<std::unique_ptr<Device>> devices;
    std::string ports;
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        devices.push_back(std::make_unique<Device>(devices_.file("d" + std::to_string(i)), rows[i].faults));
        ASSERT_FALSE(devices.back()->port().empty());
        ports += " " + devices.back()->port();
    }
    const RunResult run = Run("--once --wait 5 --retries 2 --verify" + ports, "", 120);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 1) << run.err;
    std::map<std::string, std::string> by_port;
    for (const std::string &record : Records()) by_port[Field(record, "port")] = record;
    ASSERT_EQ(by_port.size(), std::size(rows)) << ReadFile(work_.file("station.jsonl"));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const std::string &record = by_port[Quoted(devices[i]->port())];
        EXPECT_EQ(Field(record, "result"), rows[i].result) << record;
        EXPECT_EQ(Field(record, "reason"), rows[i].reason) << record;
        EXPECT_EQ(Field(record, "failed_block"), rows[i].failed_block) << record;
        EXPECT_EQ(Field(record, "attempt_reasons"), rows[i].attempt_reasons) << record;
        EXPECT_EQ(Field(record, "serial"), "null") << record;
    }
    EXPECT_EQ(devices[0]->Stored(2), data_[1]);

    // Without --verify the same corrupted board passes: the read-back is
    // what catches it, and costs nothing unless asked for.
    Device corrupting(devices_.file("e"), {"--corrupt-block", "1"});
    ASSERT_FALSE(corrupting.port().empty());
    const RunResult plain = Run("--once --wait 5 " + corrupting.port(), "", 60);
    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(Field(Records().back(), "result"), "\"ok\"") << Records().back();
}

}  // namespace
