// Faults around the program, end to end: files that cannot be written or are
// not regular files, a device that hangs up, answers garbage, late or twice,
// or streams without end, a map cut or replaced during its upload, and port
// names that name no serial port. For each: the messages, the exit status and
// what is left in every file. Rows already pinned down elsewhere are not
// repeated here (see the fault matrix in docs/testing.md).
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "device_run.h"
#include "map_bytes.h"
#include "simulated_device.h"
#include "test_support.h"

using namespace testing_support;

namespace {

// Two records: 1 + 10 + 9 = 20 bytes; the first put message is 14 bytes.
const std::string kTwoRecords = MapFile({MapRecord(1, "abc"), MapRecord(2, "de")});

bool Contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

bool IsDirectory(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

long FileSize(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// The resident memory of the pardulo process working in dir, in kB; -1 when
// there is none.
long PardulosResidentKb(const std::string &dir) {
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return -1;
    long rss = -1;
    while (const dirent *entry = readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        char cwd[4096];
        char exe[4096];
        const ssize_t cwd_length = readlink(("/proc/" + pid + "/cwd").c_str(), cwd, sizeof cwd - 1);
        const ssize_t exe_length = readlink(("/proc/" + pid + "/exe").c_str(), exe, sizeof exe - 1);
        if (cwd_length <= 0 || exe_length <= 0) continue;
        if (std::string(cwd, static_cast<size_t>(cwd_length)) != dir) continue;
        if (std::string(exe, static_cast<size_t>(exe_length)) != BuildPath("pardulo")) continue;
        std::ifstream status("/proc/" + pid + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("VmRSS:", 0) == 0) rss = std::stol(line.substr(6));
        }
    }
    closedir(proc);
    return rss;
}

// ---- files that cannot be written -----------------------------------------

TEST(FaultMatrixFiles, DevelopOutputsInTheWayAreNamedAndNothingIsClaimed) {
    struct Row {
        const char *blocked;  // the output replaced by a directory or /dev/full
        bool full;            // /dev/full instead of a directory
        const char *out_tail;
    };
    const Row rows[] = {
        // The map cannot be created: the build stops before the listing and
        // the check finds no map; the earlier snippet stays.
        {"zebmap.map", false, "* ERROR * Couldn't create the file zebmap.map\n** Reading for check....\n"},
        // The snippet cannot be created: the map was just emptied, so the
        // check finds no first line.
        {"zebmap.c", false,
         "* ERROR * Couldn't create the file zebmap.c\n** Reading for check....\n"
         "ERR: Unattended end of file in the first line\n"},
        // The snippet's bytes are lost at its close: reported by name; the map is whole.
        {"zebmap.c", true, " 4 bytes written\n* ERROR * writing 'zebmap.c'\n** Reading for check....\nfirst line=''\n"
                           "Reading from block 1  -> size 4\nOK...\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.blocked) + (row.full ? " on a full disk" : " is a directory"));
        TempDir dir;
        MakeDir(dir.file("resources"));
        WriteFile(dir.file("resources/one.rawh"), HeaderLine(2, 1, 4, 4) + "\n");
        WriteFile(dir.file("resources/one.raw"), "abcd");
        WriteFile(dir.file("zebmap.map"), "earlier map");
        WriteFile(dir.file("zebmap.c"), "earlier snippet");
        const std::string blocked = dir.file(row.blocked);
        ASSERT_EQ(unlink(blocked.c_str()), 0);
        if (row.full) {
            ASSERT_EQ(symlink("/dev/full", blocked.c_str()), 0);
        } else {
            MakeDir(blocked);
        }

        const RunResult run = RunPardulo(dir, {"d"});

        EXPECT_EQ(run.status, 1);
        ASSERT_GE(run.out.size(), strlen(row.out_tail)) << run.out;
        EXPECT_EQ(run.out.substr(run.out.size() - strlen(row.out_tail)), row.out_tail) << run.out;
        if (std::string(row.blocked) == "zebmap.map") {
            EXPECT_TRUE(IsDirectory(blocked));
            EXPECT_EQ(ReadFile(dir.file("zebmap.c")), "earlier snippet");
        } else if (!row.full) {
            EXPECT_EQ(ReadFile(dir.file("zebmap.map")), "");
        } else {
            EXPECT_EQ(ReadFile(dir.file("zebmap.map")), "\r" + std::string("\x00\x01\x00\x00\x00\x04", 6) + "abcd\r");
        }
    }
}

TEST(FaultMatrixFiles, AProgressLogInTheWayStopsProductionBeforeThePortOpens) {
    TempDir dir;
    WriteFile(dir.file("zebmap.map"), kTwoRecords);
    MakeDir(dir.file("zebmap.log"));

    const RunResult run = RunPardulo(dir, {"p", "/dev/pardulo-no-such-port"});

    EXPECT_EQ(run.status, 1);
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "** Unable to open log-progress file [zebmap.log]. Stopping procedure....");
    EXPECT_FALSE(Contains(run.out, "Working on port"));
    EXPECT_TRUE(IsDirectory(dir.file("zebmap.log")));
}

TEST(FaultMatrixFiles, AProgressLogOnAFullDiskDoesNotStopTheUpload) {
    // The log's writes are not looked at: the device gets every record and
    // the run succeeds, but the line's tooling sees no progress at all.
    TempDir dir;
    WriteFile(dir.file("zebmap.map"), kTwoRecords);
    ASSERT_EQ(symlink("/dev/full", dir.file("zebmap.log").c_str()), 0);

    const DeviceRun device = RunWithDevice(dir, {});

    EXPECT_EQ(device.run.status, 0) << device.run.out;
    EXPECT_EQ(ReadFile(dir.file("store/block-00001.bin")), "abc");
    EXPECT_EQ(ReadFile(dir.file("store/block-00002.bin")), "de");
}

TEST(FaultMatrixFiles, AScreenshotFileInTheWayFailsModeG) {
    for (const bool full : {false, true}) {
        SCOPED_TRACE(full ? "test.bgra on a full disk" : "test.bgra is a directory");
        TempDir dir;
        if (full) {
            ASSERT_EQ(symlink("/dev/full", dir.file("test.bgra").c_str()), 0);
        } else {
            MakeDir(dir.file("test.bgra"));
        }

        // A whole screenshot. The run ends at the failed open, or at the
        // first failed write, before the time-out line of a download, and
        // names the file.
        const DeviceRun device = RunWithDevice(dir, {}, "g", 20);

        EXPECT_EQ(device.run.status, 1);
        EXPECT_EQ(device.Sent('H'), (Bytes{0x02, 0x07, 0xD0, 0x00, 0x07, 0xF8, 0x00}));  // the request went out
        EXPECT_EQ(device.out,
                  (std::vector<std::string>{"Sending data...", "GetResource::Working on port '" + device.port + "'",
                                            full ? "* ERROR * writing 'test.bgra'"
                                                 : "* ERROR * Couldn't create the file test.bgra"}));
        if (!full) {
            EXPECT_TRUE(IsDirectory(dir.file("test.bgra")));
        }
    }
}

// ---- inputs that are not regular files ------------------------------------

TEST(FaultMatrixInputs, ResourceEntriesThatAreNotRegularFilesAreSkippedWithoutWaiting) {
    TempDir dir;
    MakeDir(dir.file("resources"));
    MakeDir(dir.file("resources/folder.rawh"));
    ASSERT_EQ(symlink("nowhere", dir.file("resources/dangling.rawh").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.file("resources/pipe.rawh").c_str(), 0600), 0);
    WriteFile(dir.file("resources/pipedata.rawh"), HeaderLine(1, 1, 2, 2) + "\n");
    ASSERT_EQ(mkfifo(dir.file("resources/pipedata.raw").c_str(), 0600), 0);

    const RunResult run = RunPardulo(dir, {"d"}, 10);

    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 1);
    for (const char *line : {"* ERROR * failed opening header file 'resources/folder.rawh'\n",
                             "* ERROR * failed opening header file 'resources/dangling.rawh'\n",
                             "* ERROR * failed opening header file 'resources/pipe.rawh'\n",
                             "* ERROR * failed opening binary file 'resources/pipedata.raw'\n"}) {
        EXPECT_TRUE(Contains(run.out, line)) << line << run.out;
    }
    // Every entry skipped: the map holds its first line only and checks.
    EXPECT_EQ(ReadFile(dir.file("zebmap.map")), "\r");
    EXPECT_TRUE(Contains(run.out, "** Reading for check....\nfirst line=''\n"));
}

TEST(FaultMatrixInputs, AMissingMapOrOneThatIsNotARegularFileIsNamedAndStopsProductionWithoutWaiting) {
    for (const char *kind : {"missing", "directory", "fifo", "/dev/zero"}) {
        SCOPED_TRACE(kind);
        TempDir dir;
        const std::string map = dir.file("zebmap.map");
        if (std::string(kind) == "missing") {
            // Develop mode's check stays silent about it: the build names its own failures.
            EXPECT_EQ(RunPardulo(dir, {"d"}).out.find("zebmap.map"), std::string::npos);
        } else if (std::string(kind) == "directory") {
            MakeDir(map);
        } else if (std::string(kind) == "fifo") {
            ASSERT_EQ(mkfifo(map.c_str(), 0600), 0);
        } else {
            ASSERT_EQ(symlink("/dev/zero", map.c_str()), 0);
        }

        const RunResult run = RunPardulo(dir, {"p", "/dev/pardulo-no-such-port"}, 10);

        EXPECT_FALSE(run.timed_out);
        EXPECT_LT(run.seconds, 5);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out,
                  "Production mode\n* ERROR * Couldn't open the file zebmap.map\n"
                  "** Some errors occurred. Stopping procedure....\n");
        EXPECT_FALSE(FileExists(dir.file("zebmap.log")));
    }
}

// ---- the device ------------------------------------------------------------

TEST(FaultMatrixDevice, AHangUpBeforeBetweenOrAfterRecordsIsAFailureAndTheLogClaimsOnlyAcceptedRecords) {
    // Which write meets the dropped line first depends on the pty, so past
    // the last certain line only the end of the upload is compared.
    const std::vector<std::string> first_accepted = {"Reading from block 1  -> size 3", "Sending data...",
                                                     "* Received CheckSum response 105 [69]", "* CHECKSUM OK!",
                                                     "* FLASH WRITE OK!", "Reading from block 2  -> size 2"};
    struct Row {
        const char *when;
        int host_bytes;                         // bytes the device takes before it hangs up
        std::vector<std::string> upload_start;  // after "Working on port"
        const char *log;
        bool first_stored;  // by the device, whatever the host heard
    };
    const Row rows[] = {
        // Gone before the port is opened.
        {"before the upload", 0, {"* SerialConnect Error [err=201]"}, "", false},
        // The first message is whole and the device keeps the record, but
        // its answer never reaches the host: the host claims nothing.
        {"after the first record's bytes",
         14,
         {"Reading from block 1  -> size 3", "Sending data...", "* SerialReceive Error -1"},
         "0",
         true},
        // Accepted first record, gone at the second put command.
        {"between records", 15, first_accepted, "55", true},
    };
    TempDir dirs[std::size(rows)];
    std::vector<DeviceRunPlan> plans;
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        WriteFile(dirs[i].file("zebmap.map"), kTwoRecords);
        plans.push_back({&dirs[i], {"--hangup-after", std::to_string(rows[i].host_bytes)}, "p", 20});
    }
    const std::vector<DeviceRun> runs = RunWithDevices(plans);
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row &row = rows[i];
        const TempDir &dir = dirs[i];
        const DeviceRun &device = runs[i];
        SCOPED_TRACE(row.when);

        EXPECT_EQ(device.run.status, 1);
        std::vector<std::string> lines = device.UploadLines();
        ASSERT_GE(lines.size(), 2u) << device.run.out;
        lines.erase(lines.begin());  // "Working on port"
        lines.pop_back();            // the transmission time
        ASSERT_GE(lines.size(), row.upload_start.size()) << device.run.out;
        EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + static_cast<long>(row.upload_start.size())),
                  row.upload_start)
            << device.run.out;
        if (row.host_bytes > 0) {
            EXPECT_EQ(lines.back(), "* SerialSend EXIT Fault !!") << device.run.out;
        }
        EXPECT_EQ(ReadFile(dir.file("zebmap.log")), row.log);
        EXPECT_EQ(FileExists(dir.file("store/block-00001.bin")), row.first_stored);
        EXPECT_FALSE(FileExists(dir.file("store/block-00002.bin")));
    }
}

TEST(FaultMatrixDevice, AGarbageOrLateAnswerEndsTheUploadAndKeepsTheLogAtTheLastAcceptedRecord) {
    struct Row {
        std::vector<std::string> options;
        std::string answer_line;
        bool second_stored;  // by the device: it keeps what it answered 0x69, even too late
    };
    const Row rows[] = {
        {{"--answer", "2=byte:0x42"}, "* Received CheckSum response 66 [42]", false},
        {{"--answer-delay", "2=700"}, "* SerialReceive Error -1", true},
    };
    TempDir dirs[std::size(rows)];
    std::vector<DeviceRunPlan> plans;
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        WriteFile(dirs[i].file("zebmap.map"), kTwoRecords);
        plans.push_back({&dirs[i], rows[i].options, "p", 20});
    }
    const std::vector<DeviceRun> runs = RunWithDevices(plans);
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row &row = rows[i];
        const TempDir &dir = dirs[i];
        const DeviceRun &device = runs[i];
        SCOPED_TRACE(row.options.front());

        EXPECT_EQ(device.run.status, 1);
        const std::vector<std::string> lines = device.UploadLines();
        ASSERT_GE(lines.size(), 3u) << device.run.out;
        EXPECT_EQ(lines[lines.size() - 3], row.answer_line);
        EXPECT_EQ(lines[lines.size() - 2], "* SerialSend EXIT [ok]");
        EXPECT_EQ(ReadFile(dir.file("zebmap.log")), "55");  // 11 of 20 bytes: the first record
        EXPECT_EQ(ReadFile(dir.file("store/block-00001.bin")), "abc");
        EXPECT_EQ(FileExists(dir.file("store/block-00002.bin")), row.second_stored);
    }
}

TEST(FaultMatrixDevice, AnAnswerSentTwiceIsNotTakenForTheNextRecordsAnswer) {
    // The second copy arrives during the pause after the record; the input
    // flush ahead of the next byte drops it, so each record is still decided
    // by its own answer: here the device refuses the second record.
    TempDir dir;
    TempDir good;
    WriteFile(dir.file("zebmap.map"), kTwoRecords);
    WriteFile(good.file("zebmap.map"), kTwoRecords);
    const std::vector<DeviceRun> runs =
        RunWithDevices({{&dir, {"--answer-twice", "--answer", "2=ko-flash"}, "p", 20},
                        {&good, {"--answer-twice"}, "p", 20}});

    const DeviceRun &device = runs[0];

    EXPECT_EQ(device.run.status, 1) << device.run.out;
    EXPECT_EQ(device.Sent('D'), (Bytes{0x69, 0x69, 0x89, 0x89}));
    EXPECT_TRUE(Contains(device.run.out, "* Received CheckSum response -119 [FFFFFF89]\n")) << device.run.out;
    EXPECT_EQ(ReadFile(dir.file("zebmap.log")), "55");
    EXPECT_FALSE(FileExists(dir.file("store/block-00002.bin")));

    // And with every answer doubled and good, the upload is whole.
    const DeviceRun &twice = runs[1];
    EXPECT_EQ(twice.run.status, 0) << twice.run.out;
    EXPECT_EQ(ReadFile(good.file("zebmap.log")), "100");
    EXPECT_EQ(ReadFile(good.file("store/block-00002.bin")), "de");
}

TEST(FaultMatrixDevice, AnEndlessScreenshotStreamIsBoundOnlyByTheRunsTimeLimitWithFlatMemory) {
    // The host stops a download only at half a second of silence; a stream
    // that never pauses is received for as long as the run lasts. What must
    // hold meanwhile: the bytes go to the file as they come, memory stays flat.
    TempDir dir;
    std::atomic<bool> done{false};
    long rss_early = -1;
    long rss_late = -1;
    long size_early = -1;
    long size_late = -1;
    std::thread watcher([&] {
        const auto start = std::chrono::steady_clock::now();
        auto elapsed = [&] { return std::chrono::steady_clock::now() - start; };
        while (!done && elapsed() < std::chrono::milliseconds(600)) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        rss_early = PardulosResidentKb(dir.path());
        size_early = FileSize(dir.file("test.bgra"));
        while (!done && elapsed() < std::chrono::milliseconds(1800)) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        rss_late = PardulosResidentKb(dir.path());
        size_late = FileSize(dir.file("test.bgra"));
    });
    const DeviceRun device = RunWithDevice(dir, {"--get-endless"}, "g", 2.0);
    done = true;
    watcher.join();

    EXPECT_TRUE(device.run.timed_out);
    ASSERT_GT(rss_early, 0);
    EXPECT_GT(size_early, 0);
    EXPECT_GT(size_late, size_early);
    // Flat: the memory grows by far less than what arrived meanwhile (the
    // stream comes byte by byte, some tens of kB a second on a busy machine),
    // so the bytes are not kept; two pages of room for the odd allocation.
    const long arrived_kb = (size_late - size_early) / 1024;
    EXPECT_LT(rss_late - rss_early, 8 + arrived_kb / 4)
        << rss_early << " kB, then " << rss_late << " kB; " << arrived_kb << " kB arrived";
}

// ---- the map changing under the upload ------------------------------------

TEST(FaultMatrixDevice, AMapCutDuringTheUploadFailsAndAReplacedOneIsUploadedAsItWasOpened) {
    std::string second(100000, '\0');
    for (size_t i = 0; i < second.size(); ++i) second[i] = static_cast<char>((i * 13) & 0xFF);
    const std::string map = MapFile({MapRecord(1, "abc"), MapRecord(2, second)});

    // Both cases at once, each with its own device: once the first answer is
    // on the line, the host is in its one-second pause, and the map is cut
    // inside the second record or another map is put in its place.
    const bool cases[] = {true, false};
    TempDir dirs[std::size(cases)];
    std::atomic<bool> done{false};
    std::atomic<bool> changed[std::size(cases)] = {};
    std::vector<std::thread> changers;
    std::vector<DeviceRunPlan> plans;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const TempDir &dir = dirs[i];
        WriteFile(dir.file("zebmap.map"), map);
        changers.emplace_back([&dir, &done, &changed, i, cut = cases[i]] {
            while (!done) {
                if (Contains(ReadFile(dir.file("transcript.txt")), " D 69")) {
                    if (cut) {
                        changed[i] = truncate(dir.file("zebmap.map").c_str(), 1 + 10 + 6 + 1000) == 0;
                    } else {
                        WriteFile(dir.file("other.map"), MapFile({MapRecord(7, "other")}));
                        changed[i] = rename(dir.file("other.map").c_str(), dir.file("zebmap.map").c_str()) == 0;
                    }
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        plans.push_back({&dir, {}});
    }
    const std::vector<DeviceRun> runs = RunWithDevices(plans);
    done = true;
    for (std::thread &changer : changers) changer.join();

    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const bool cut = cases[i];
        const TempDir &dir = dirs[i];
        const DeviceRun &device = runs[i];
        SCOPED_TRACE(cut ? "cut" : "replaced");
        ASSERT_TRUE(changed[i]);

        EXPECT_EQ(ReadFile(dir.file("store/block-00001.bin")), "abc");
        if (cut) {
            // The host reads on past its buffer, meets the end, and the short
            // message gets no answer: nothing more is claimed.
            EXPECT_EQ(device.run.status, 1);
            EXPECT_TRUE(Contains(device.run.out, "* SerialReceive Error -1\n")) << device.run.out;
            EXPECT_FALSE(FileExists(dir.file("store/block-00002.bin")));
            EXPECT_EQ(ReadFile(dir.file("zebmap.log")), "0");
        } else {
            // The open map is the one uploaded, whole.
            EXPECT_EQ(device.run.status, 0) << device.run.out;
            EXPECT_TRUE(ReadFile(dir.file("store/block-00002.bin")) == second);
            EXPECT_FALSE(FileExists(dir.file("store/block-00007.bin")));
            EXPECT_EQ(ReadFile(dir.file("zebmap.log")), "100");
        }
    }
}

// ---- port names ------------------------------------------------------------

TEST(FaultMatrixPorts, ALongNameOrAFileThatIsNoSerialPortIsRefusedInEveryDeviceMode) {
    TempDir dir;
    WriteFile(dir.file("zebmap.map"), kTwoRecords);
    WriteFile(dir.file("plain.txt"), "not a port");
    const std::string long_name = "/dev/" + std::string(295, 'x');
    struct Row {
        std::string port;
        std::string shown;
    };
    const Row rows[] = {
        {long_name, long_name.substr(0, 250)},
        {"/dev/null", "/dev/null"},
        {dir.file("plain.txt"), dir.file("plain.txt")},
    };
    for (const Row &row : rows) {
        for (const char *mode : {"p", "r", "g"}) {
            SCOPED_TRACE(std::string(mode) + " " + row.shown.substr(0, 20));
            const RunResult run = RunPardulo(dir, {mode, row.port});
            EXPECT_EQ(run.status, 1);
            const std::string working = std::string(mode) == "g" ? "GetResource::Working on port '" : "Working on port '";
            EXPECT_TRUE(Contains(run.out, working + row.shown + "'\n* SerialConnect Error [err=20")) << run.out;
            EXPECT_EQ(ReadFile(dir.file("zebmap.log")), "");
            EXPECT_FALSE(FileExists(dir.file("test.bgra")));
            EXPECT_EQ(ReadFile(dir.file("plain.txt")), "not a port");
        }
    }
}

// A fixture named by its position or adapter is a link to the device; the
// library refuses links, so the name must reach it resolved. Each mode is
// run on a link to a link, as udev's names and a line's own aliases stack.
TEST(FaultMatrixPorts, APortNamedByALinkWorksInEveryDeviceModeAndAPtyWithoutTheAdapterSaysSo) {
    TempDir dir;
    const std::string map = MapFile({MapRecord(1, "abc"), MapRecord(2, "de")});
    WriteFile(dir.file("zebmap.map"), map);
    SimulatedDevice device(dir.file("device"));
    ASSERT_FALSE(device.port().empty());
    const std::string by_path = dir.file("by-path-port0");
    const std::string alias = dir.file("fixture-1");
    ASSERT_EQ(symlink(device.port().c_str(), by_path.c_str()), 0);
    ASSERT_EQ(symlink(by_path.c_str(), alias.c_str()), 0);

    for (const char *mode : {"p", "g", "r"}) {
        SCOPED_TRACE(mode);
        const RunResult run = RunProgram({BuildPath("pardulo"), mode, alias}, dir.path(), PtyAdapterEnv());
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        // The name is shown as given.
        EXPECT_TRUE(Contains(run.out, "Working on port '" + alias + "'")) << run.out;
        if (std::string(mode) == "p") {
            EXPECT_EQ(ReadFile(dir.file("zebmap.log")), "100");
            EXPECT_EQ(device.Stored(2), "de");
        }
        if (std::string(mode) == "g") {
            EXPECT_EQ(ReadFile(dir.file("test.bgra")).size(), 522240u);
        }
    }

    // Without the adapter the library knows no pseudo-terminal: the hint
    // says what is missing rather than listing the machine's real ports.
    const RunResult bare = RunPardulo(dir, {"r", alias});
    EXPECT_EQ(bare.status, 1);
    EXPECT_TRUE(Contains(bare.out, "* SerialConnect Error [err=201]")) << bare.out;
    const std::string hint =
        "hint: " + alias + " is a pseudo-terminal, which opens only with the pty adapter preloaded";
    EXPECT_TRUE(Contains(bare.err, hint)) << bare.err;
}

}  // namespace
