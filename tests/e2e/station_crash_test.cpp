// pardulo-station killed with SIGKILL, its workers with it, at a spread of
// moments of an upload, then started again, over and over on one fixture:
// the record file must end with exactly one record of every device that got
// a byte of a put message, ids unique, device numbers going on across the
// restarts without a gap or a repeat, and no "ok" for a device whose store
// lacks a record of the map. The fixture is a link the test points at a
// fresh simulated device before each start, so every device sees one
// station run only and its transcript and store tell what that run did.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <fcntl.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "map_bytes.h"
#include "pty_helper.h"
#include "simulated_device.h"
#include "station_records.h"
#include "test_support.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;
using testing_support::BuildPath;
using testing_support::Lines;
using testing_support::MapRecord;
using testing_support::PtyAdapterEnv;
using testing_support::ReadFile;
using testing_support::RecordField;
using Device = testing_support::SimulatedDevice;
using testing_support::TempDir;
using testing_support::WriteFile;
using Clock = std::chrono::steady_clock;

// Two records, each long enough on a paced line (115200 baud: about 175 ms)
// to be killed inside, with the one-second pause after each.
constexpr int kRecords = 2;
constexpr std::size_t kRecordBytes = 2000;

// What a kill waits for before its delay.
enum class From {
    kStart,     // the station was started
    kJournal,   // the device's upload journal is in the fixture's folder
    kStored1,   // the device holds record 1 (its answer goes now)
    kStored2,   // ... record 2, the last
    kRecorded,  // the device's record is in the record file
};

struct Moment {
    const char *name;
    From from;
    int delay_ms;
};

const Moment kMoments[] = {
    {"at the start", From::kStart, 0},
    {"while it starts", From::kStart, 30},
    {"while its worker starts", From::kStart, 70},
    {"as the journal appears", From::kJournal, 0},
    {"just after the journal", From::kJournal, 20},
    {"early in put 1", From::kJournal, 60},
    {"inside put 1", From::kJournal, 110},
    {"late in put 1", From::kJournal, 180},
    {"right after record 1's answer", From::kStored1, 0},
    {"in the pause after record 1", From::kStored1, 500},
    {"as put 2 begins", From::kStored1, 1000},
    {"inside put 2", From::kStored1, 1080},
    {"right after the last answer", From::kStored2, 0},
    {"in the last pause", From::kStored2, 600},
    {"around the exit command", From::kStored2, 1000},
    {"around the record's write", From::kStored2, 1030},
    {"as the record reaches the file", From::kRecorded, 0},
    {"just after the record", From::kRecorded, 2},
};

std::string Pattern(std::size_t size, int seed) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 13 + seed * 7) & 0xFF);
    return data;
}

std::size_t LineCount(const std::string &path) { return Lines(ReadFile(path)).size(); }

// Whether folder holds a journal, of the device on port when one is given
// (the last run's may still wait for the start that records it).
bool HasJournal(const std::string &folder, const std::string &port = "") {
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (it->path().extension() != ".journal") continue;
        if (port.empty() || ReadFile(it->path().string()).find("\"device_path\":\"" + port + "\"") != std::string::npos) {
            return true;
        }
    }
    return false;
}

// Whether a record of the device on port is in the file.
bool HasRecordOf(const std::string &records, const std::string &port) {
    for (const std::string &record : Lines(ReadFile(records))) {
        if (RecordField(record, "device_path") == "\"" + port + "\"") return true;
    }
    return false;
}

// Whether the device's transcript shows a host byte of a put message: any
// byte from the host that is not a ping's (0x03) starts one, since the put
// command comes first and nothing else goes before it.
bool GotPutBytes(const std::string &transcript) {
    std::istringstream lines(ReadFile(transcript));
    for (std::string time, direction, hex; lines >> time >> direction >> hex;) {
        if (direction == "H" && hex != "03") return true;
    }
    return false;
}

// Whether the process is gone or only waits to be reaped.
bool Ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return true;
    const std::size_t close = text.rfind(')');
    return close == std::string::npos || text.compare(close + 2, 1, "Z") == 0;
}

// The station's children, read while it is stopped, so that none it starts
// escapes the kill.
std::vector<pid_t> Children(pid_t pid) {
    std::vector<pid_t> children;
    std::error_code error;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/task", error), end; !error && it != end;
         it.increment(error)) {
        std::ifstream list(it->path() / "children");
        for (pid_t child; list >> child;) children.push_back(child);
    }
    return children;
}

class StationCrash : public ::testing::Test {
protected:
    void SetUp() override {
        std::string map = "\r";
        for (int block = 1; block <= kRecords; ++block) {
            data_.push_back(Pattern(kRecordBytes, block));
            map += MapRecord(block, data_.back());
        }
        WriteFile(work_.file("zebmap.map"), map);
    }

    // A fresh device, the fixture's link pointed at it.
    Device &NewDevice() {
        const std::string dir = devices_.file("d" + std::to_string(devices.size()));
        devices.push_back(std::make_unique<Device>(dir, std::vector<std::string>{"--transcript", dir + "/transcript",
                                                                                  "--baud", "115200"}));
        fs::remove(work_.file("fixture"));
        fs::create_symlink(devices.back()->port(), work_.file("fixture"));
        return *devices.back();
    }

    // The station on the fixture, its first device only, in a session of
    // its own; its workers are in groups of their own.
    pid_t Start() {
        std::vector<std::string> env;
        for (char **e = environ; *e != nullptr; ++e) env.push_back(*e);
        for (const std::string &more : PtyAdapterEnv()) env.push_back(more);
        env.push_back("PARDULO_PTY_PACE=1");
        std::vector<std::string> argv = {BuildPath("pardulo-station"), "--once", "--wait", "20",
                                         "fixture=" + work_.file("fixture")};
        const pid_t pid = fork();
        if (pid == 0) {
            setsid();
            if (chdir(work_.path().c_str()) != 0) _exit(127);
            const int out = open("station.out", O_WRONLY | O_CREAT | O_APPEND, 0644);
            const int in = open("/dev/null", O_RDONLY);
            if (out < 0 || in < 0) _exit(127);
            dup2(in, 0);
            dup2(out, 1);
            dup2(out, 2);
            std::vector<char *> args, envp;
            for (std::string &arg : argv) args.push_back(arg.data());
            for (std::string &e : env) envp.push_back(e.data());
            args.push_back(nullptr);
            envp.push_back(nullptr);
            execve(args[0], args.data(), envp.data());
            _exit(127);
        }
        return pid;
    }

    // Every process of the station dies at once, as in a power cut.
    static void KillAll(pid_t station) {
        kill(station, SIGSTOP);
        const std::vector<pid_t> children = Children(station);
        for (const pid_t child : children) kill(child, SIGKILL);
        kill(station, SIGKILL);
        int status = 0;
        waitpid(station, &status, 0);
        // Their ends release the port and its lock before the next start.
        const auto until = Clock::now() + std::chrono::seconds(5);
        for (const pid_t child : children) {
            while (!Ended(child) && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // The fixture's folder, named after the fixture.
    std::string Folder() const { return work_.file("station/fixture"); }

    bool Reached(From from, const Device &device) const {
        switch (from) {
            case From::kStart: return true;
            case From::kJournal: return HasJournal(Folder(), device.port());
            case From::kStored1: return device.Stored(1) != "<missing>";
            case From::kStored2: return device.Stored(2) != "<missing>";
            case From::kRecorded: return HasRecordOf(work_.file("station.jsonl"), device.port());
        }
        return true;
    }

    // Starts the station on a fresh device and kills it at the moment; false
    // when the moment never came (the kill goes all the same).
    bool RunAndKill(const Moment &moment) {
        const Device &device = NewDevice();
        const pid_t station = Start();
        const auto give_up = Clock::now() + std::chrono::seconds(10);
        bool reached = false;
        while (!(reached = Reached(moment.from, device)) && Clock::now() < give_up) {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(moment.delay_ms));
        KillAll(station);
        return reached;
    }

    bool HoldsTheMap(const Device &device) const {
        for (int block = 1; block <= kRecords; ++block) {
            if (device.Stored(block) != data_[static_cast<std::size_t>(block - 1)]) return false;
        }
        return true;
    }

    TempDir work_;
    TempDir devices_;
    std::vector<std::string> data_;
    std::vector<std::unique_ptr<Device>> devices;
};

TEST_F(StationCrash, EveryDeviceThatGotBytesHasExactlyOneRecordWhereverTheStationDied) {
    const auto began = Clock::now();
    std::vector<std::size_t> after_kill;
    for (const Moment &moment : kMoments) {
        EXPECT_TRUE(RunAndKill(moment)) << "never reached: " << moment.name;
        after_kill.push_back(LineCount(work_.file("station.jsonl")));
    }
    // The last start records what the last kill left, then flashes its device whole.
    NewDevice();
    const pid_t last = Start();
    int status = -1;
    waitpid(last, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadFile(work_.file("station.out"));
    const std::vector<std::string> records = Lines(ReadFile(work_.file("station.jsonl")));
    // Stopped, the devices' transcripts and stores are complete.
    std::vector<std::string> ports;
    for (const auto &device : devices) ports.push_back(device->port());
    const std::vector<bool> held = [&] {
        std::vector<bool> whole;
        for (const auto &device : devices) whole.push_back(HoldsTheMap(*device));
        return whole;
    }();
    for (auto &device : devices) device.reset();

    std::set<std::string> ids;
    uint32_t expected_device = 1;
    for (const std::string &record : records) {
        EXPECT_EQ(nlohmann::ordered_json::parse(record).begin().key(), "id") << record;
        ids.insert(RecordField(record, "id"));
        EXPECT_EQ(RecordField(record, "device"), std::to_string(expected_device++)) << "numbers go on\n" << record;
    }
    EXPECT_EQ(ids.size(), records.size()) << "ids unique";
    for (std::size_t d = 0; d < ports.size(); ++d) {
        const bool got_bytes = GotPutBytes(devices_.file("d" + std::to_string(d) + "/transcript"));
        std::vector<std::string> mine;
        for (const std::string &record : records) {
            if (RecordField(record, "device_path") == "\"" + ports[d] + "\"") mine.push_back(record);
        }
        const std::string moment = d < std::size(kMoments) ? kMoments[d].name : "the last run";
        printf("[ figures  ] killed %-32s put bytes %-3s its record %-13s records after the kill %zu\n",
               moment.c_str(), got_bytes ? "yes" : "no", mine.empty() ? "none" : RecordField(mine[0], "result").c_str(),
               d < after_kill.size() ? after_kill[d] : records.size());
        if (got_bytes) {
            EXPECT_EQ(mine.size(), 1u) << moment;
        } else {
            EXPECT_LE(mine.size(), 1u) << moment;  // journaled, killed before the first byte
        }
        for (const std::string &record : mine) {
            const std::string result = RecordField(record, "result");
            if (result == "\"ok\"") {
                EXPECT_TRUE(held[d]) << "ok without the map: " << record;
            }
            if (d + 1 == ports.size()) {
                EXPECT_EQ(result, "\"ok\"") << record;
            }
            if (result == "\"interrupted\"") {
                EXPECT_EQ(RecordField(record, "reason"), "\"station stopped during the upload\"");
                EXPECT_NE(RecordField(record, "started"), "null");
            }
            EXPECT_TRUE(result == "\"ok\"" || result == "\"interrupted\"") << moment << ": " << record;
        }
    }
    EXPECT_FALSE(HasJournal(Folder()));
    EXPECT_EQ(ReadFile(Folder() + "/last-device"), std::to_string(records.size()) + "\n");
    printf("[ figures  ] %zu kills, %zu records, %.1f s\n", std::size(kMoments), records.size(),
           std::chrono::duration<double>(Clock::now() - began).count());
}

}  // namespace

namespace {

// What a start makes of the journals it finds: one recorded already (the
// station died between the line and the removal) writes nothing, one not
// recorded writes its interrupted record, a torn one is reported and set
// aside, its number used; then the station goes on, numbering after the
// highest it saw.
TEST_F(StationCrash, AStartRecordsEachJournalOnceAndGoesOnPastTornOnes) {
    const Device &device = NewDevice();
    const std::string folder = Folder();
    fs::create_directories(folder);
    const auto journal = [&](uint32_t number) {
        return "{\"version\":1,\"port\":\"/dev/old\",\"fixture\":\"old\",\"facts\":{\"station\":\"s\",\"map_sha256\":\"ab\","
               "\"map_records\":2,\"map_bytes\":9},\"run\":{\"id\":\"feedfacefeedface-0-" +
               std::to_string(number) + "\",\"device\":" + std::to_string(number) +
               ",\"started\":\"2026-12-07T15:52:22.623Z\",\"present\":true,\"port_failure\":\"\",\"ok\":false,"
               "\"outcome\":{\"map_records\":0,\"map_bytes\":0,\"records_accepted\":0,\"bytes_sent\":0,"
               "\"failure\":\"none\",\"failed_block\":-1,\"answer\":0},\"seconds\":0,\"device_path\":\"/dev/ttyUSB9\","
               "\"adapter_serial\":null,\"stopped_during_upload\":false}}\n";
    };
    WriteFile(work_.file("station.jsonl"), "{\"id\":\"feedfacefeedface-0-6\",\"device\":6}\n");
    WriteFile(folder + "/00006.journal", journal(6));
    WriteFile(folder + "/00007.journal", journal(7));
    WriteFile(folder + "/00008.journal", journal(8).substr(0, 50));
    WriteFile(folder + "/last-device", "5\n");

    const pid_t station = Start();
    int status = -1;
    waitpid(station, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::vector<std::string> records = Lines(ReadFile(work_.file("station.jsonl")));
    ASSERT_EQ(records.size(), 3u) << ReadFile(work_.file("station.out"));
    EXPECT_EQ(RecordField(records[1], "id"), "\"feedfacefeedface-0-7\"");
    EXPECT_EQ(RecordField(records[1], "result"), "\"interrupted\"");
    EXPECT_EQ(RecordField(records[1], "port"), "\"/dev/old\"");
    EXPECT_EQ(RecordField(records[1], "fixture"), "\"old\"");
    EXPECT_EQ(RecordField(records[1], "map_sha256"), "\"ab\"");  // the map of its own run
    EXPECT_EQ(RecordField(records[1], "started"), "\"2026-12-07T15:52:22.623Z\"");
    EXPECT_EQ(RecordField(records[2], "device"), "9");  // 8 was the torn journal's
    EXPECT_EQ(RecordField(records[2], "result"), "\"ok\"");
    EXPECT_EQ(RecordField(records[2], "device_path"), "\"" + device.port() + "\"");
    EXPECT_NE(ReadFile(work_.file("station.out")).find("00008.journal: not a journal"), std::string::npos);
    EXPECT_TRUE(fs::exists(folder + "/00008.journal.unreadable"));
    EXPECT_FALSE(HasJournal(folder));
    EXPECT_EQ(ReadFile(folder + "/last-device"), "9\n");
}

}  // namespace
