// pardulo-station's settings: the command line, the config file under it,
// fixtures by name, the map by path and by hash. A setting that is wrong
// ends the station before any port is opened.
#include <gtest/gtest.h>

#include <cctype>
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
using testing_support::MakeDir;
using testing_support::PtyAdapterEnv;
using testing_support::ReadFile;
using testing_support::RecordField;
using testing_support::RunProgram;
using testing_support::RunResult;
using Device = testing_support::SimulatedDevice;
using testing_support::TempDir;
using testing_support::WriteFile;

// The map the tests flash, one record of "abc" in block 1, and its SHA-256.
const std::string kMap = "\r" + MapRecord(1, "abc");
const char kMapSha256[] = "acabeb6df3d1b1ea61de1dcb6150aa85ebbaf0e79f0648a8b527ee6d49cb8a5e";

class StationSettings : public ::testing::Test {
protected:
    RunResult Station(const std::vector<std::string> &args, double timeout_s = 60) {
        std::vector<std::string> command = {BuildPath("pardulo-station")};
        command.insert(command.end(), args.begin(), args.end());
        return RunProgram(command, work_.path(), PtyAdapterEnv(), timeout_s);
    }

    TempDir work_;
    TempDir devices_;
};

TEST_F(StationSettings, ABadCommandLineOrConfigFileEndsTheStationWithTheSpotNamed) {
    WriteFile(work_.file("zebmap.map"), kMap);
    struct Row {
        std::string config;  // "" for none
        std::vector<std::string> args;
        std::string message;
    };
    const Row rows[] = {
        {"", {"--bogus", "/dev/null"}, "The following argument was not expected: --bogus (see --help)"},
        {"", {"/dev/null", "--wait"}, "--wait: 1 required SECONDS missing (see --help)"},
        {"", {"--wait", "-3", "/dev/null"}, "--wait: must be from 0 to 31536000 seconds (see --help)"},
        {"", {"--hook-timeout", "1e999", "/dev/null"}, "--hook-timeout: '1e999' is not a number (see --help)"},
        {"", {"--expect-sha256", "b82f", "/dev/null"}, "--expect-sha256: must be a SHA-256 of 64 hex digits"},
        {"", {}, "no fixture given, on the command line or in a config file (see --help)"},
        {"", {"A=/dev/null", "A=/dev/zero"}, "two fixtures are named \"A\" (see --help)"},
        {"", {"A=/dev/null", "/dev/null"}, "the port /dev/null is both \"A\" and \"/dev/null\""},
        {"", {"=/dev/null"}, "=/dev/null: the fixture's name is empty"},
        {"", {"A="}, "A=: no port after the \"=\""},
        {"", {"--config", "missing.toml", "/dev/null"}, "cannot open missing.toml: No such file or directory"},
        {"once = true\nwiat = 3\n", {}, "cfg.toml:2:1: unknown key \"wiat\""},
        {"wait = \"3\"\n", {"/dev/null"}, "cfg.toml:1:8: wait: expected a number, not string"},
        {"once = 1\n", {"/dev/null"}, "cfg.toml:1:8: once: expected true or false, not integer"},
        {"\n\nhook_timeout = 0\n", {"/dev/null"}, "cfg.toml:3:16: hook_timeout: must be more than 0"},
        {"map_sha256 = \"xyz\"\n", {"/dev/null"}, "cfg.toml:1:14: map_sha256: must be a SHA-256 of 64 hex digits"},
        {"[http]\nport = 1\n", {"/dev/null"}, "cfg.toml:1:1: http: expected a string, not table"},
        {"wait = \n", {"/dev/null"}, "cfg.toml:1:8: "},
        {"fixture = \"COM3\"\n", {}, "cfg.toml:1:11: fixture: expected [[fixture]] tables, not string"},
        {"[[fixture]]\nname = \"A\"\n", {}, "cfg.toml:1:1: a [[fixture]] needs its port"},
        {"[[fixture]]\nport = \"/dev/null\"\nslot = 2\n", {}, "cfg.toml:3:1: unknown key \"fixture.slot\""},
        {"[[fixture]]\nport = \"/dev/null\"\nname = \"a/b\"\n", {}, "cfg.toml:3:8: fixture.name: a fixture's name has no"},
        {"[[fixture]]\nname = \"A\"\nport = \"/dev/null\"\n[[fixture]]\nname = \"B\"\nport = \"/dev/null\"\n", {},
         "cfg.toml:4:1: the port /dev/null is both \"A\" and \"B\""},
    };
    for (const Row &row : rows) {
        std::vector<std::string> args = row.args;
        if (!row.config.empty()) {
            WriteFile(work_.file("cfg.toml"), row.config);
            args.insert(args.begin(), {"--config", "cfg.toml"});
        }
        const RunResult run = Station(args, 30);
        EXPECT_EQ(run.status, 2) << row.config << row.message;
        EXPECT_NE(run.err.find("pardulo-station: " + row.message), std::string::npos) << row.config << run.err;
        EXPECT_FALSE(FileExists(work_.file("station"))) << row.message;  // nothing placed, nothing opened
    }
}

TEST_F(StationSettings, FixturesByNameFromTheFileOrTheCommandLineWhichWins) {
    Device first(devices_.file("a"));
    Device second(devices_.file("b"));
    ASSERT_FALSE(first.port().empty());
    ASSERT_FALSE(second.port().empty());
    MakeDir(work_.file("maps"));
    WriteFile(work_.file("maps/line.map"), kMap);
    // Any case of the hash: it is hex either way.
    std::string sha256 = kMapSha256;
    for (char &c : sha256) c = static_cast<char>(toupper(c));
    WriteFile(work_.file("line.toml"), "name = \"Line 3\"\nonce = true\nwait = 5\nlog = \"line.jsonl\"\n"
                                       "map = \"maps/line.map\"\nmap_sha256 = \"" + sha256 + "\"\n"
                                       "[[fixture]]\nname = \"Fixture 1\"\nport = \"" + first.port() + "\"\n");

    const RunResult from_file = Station({"--config", "line.toml"});
    ASSERT_EQ(from_file.status, 0) << from_file.err;
    EXPECT_EQ(first.Stored(1), "abc");
    const std::vector<std::string> records = Lines(ReadFile(work_.file("line.jsonl")));
    ASSERT_EQ(records.size(), 1u) << from_file.err;
    EXPECT_EQ(RecordField(records[0], "fixture"), "\"Fixture 1\"");
    EXPECT_EQ(RecordField(records[0], "port"), "\"" + first.port() + "\"");
    EXPECT_EQ(RecordField(records[0], "station"), "\"Line 3\"");
    EXPECT_EQ(RecordField(records[0], "map_sha256"), "\"" + std::string(kMapSha256) + "\"");
    EXPECT_TRUE(FileExists(work_.file("station/Fixture_1/00001.out")));
    // Standard output names the port, which scripts split at spaces as before.
    EXPECT_EQ(from_file.out.rfind(first.port() + " 1 ok ", 0), 0u) << from_file.out;

    // The command line's settings and fixtures over the file's; the rest
    // still from the file.
    const RunResult overridden =
        Station({"--config", "line.toml", "--name", "Line 4", "--log", "other.jsonl", "Bench-2=" + second.port()});
    ASSERT_EQ(overridden.status, 0) << overridden.err;
    EXPECT_EQ(second.Stored(1), "abc");
    const std::vector<std::string> others = Lines(ReadFile(work_.file("other.jsonl")));
    ASSERT_EQ(others.size(), 1u) << overridden.err;
    EXPECT_EQ(RecordField(others[0], "fixture"), "\"Bench-2\"");
    EXPECT_EQ(RecordField(others[0], "port"), "\"" + second.port() + "\"");
    EXPECT_EQ(RecordField(others[0], "station"), "\"Line 4\"");
    EXPECT_TRUE(FileExists(work_.file("station/Bench-2/00001.out")));
    EXPECT_EQ(Lines(ReadFile(work_.file("line.jsonl"))).size(), 1u);
}

TEST_F(StationSettings, AMapOfAnotherHashIsRefusedWithBothHashesNamedAndNothingFlashed) {
    Device device(devices_.file("a"));
    ASSERT_FALSE(device.port().empty());
    WriteFile(work_.file("zebmap.map"), kMap);
    const std::string expected(64, 'f');

    const RunResult run = Station({"--once", "--wait", "3", "--expect-sha256", expected, device.port()});
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_NE(run.err.find("./zebmap.map has the SHA-256 " + std::string(kMapSha256) + ", not the one expected, " +
                           expected + "; nothing was flashed"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(device.Stored(1), "<missing>");
    EXPECT_FALSE(FileExists(work_.file("station.jsonl")));
}

}  // namespace

// The example the package installs for the service reads as it stands: a
// config the station refused would fail every first start of the service.
TEST_F(StationSettings, TheInstalledExampleConfigReads) {
    WriteFile(work_.file("zebmap.map"), kMap);
    const RunResult run = Station({"--config", PARDULO_SOURCE_DIR "/station/service/example.toml", "--once",
                                   "--wait", "0", "--dir", "example", "--log", "example.jsonl"});
    EXPECT_EQ(run.status, 1) << run.err;  // read, then no device on its ports
    EXPECT_EQ(run.err.find("example.toml:"), std::string::npos) << run.err;
    EXPECT_TRUE(FileExists(work_.file("example/Fixture_1")));
}
