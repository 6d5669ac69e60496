// The Windows programs under Wine, checked against the Linux build: the
// develop mode on the bundled examples, and the device modes through a COM
// port that Wine maps onto the simulated device's pseudo-terminal.
//
// Run by tests/windows/run.sh, which builds both sides, gives the Windows
// build folder in PARDULO_WINDOWS_BUILD and keeps a Wine server running for
// WINEPREFIX, so that no Wine process holds on to the captured outputs.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "map_bytes.h"
#include "simulated_device.h"
#include "station_records.h"
#include "station_web_client.h"
#include "test_support.h"

namespace {

using testing_support::BuildPath;
using testing_support::Lines;
using testing_support::MapRecord;
using testing_support::RandomBytes;
using testing_support::RecordField;
using testing_support::ReadFile;
using testing_support::RunProgram;
using testing_support::RunResult;
using testing_support::SimulatedDevice;
using testing_support::SourcePath;
using testing_support::TempDir;
using testing_support::WriteFile;

constexpr const char *kComPort = "COM5";

std::string WindowsProgram(const std::string &name) {
    const char *dir = getenv("PARDULO_WINDOWS_BUILD");
    return std::string(dir != nullptr ? dir : "build-windows") + "/" + name;
}

// The name a Windows program gives a file of ours: Wine shows / as Z:.
std::string WindowsPath(const std::string &path) {
    std::string windows = "Z:" + std::filesystem::absolute(path).string();
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return windows;
}

std::string WithoutCarriageReturns(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

// The shell command that runs a Windows program under Wine with its
// outputs in files (prefix + "out", prefix + "err"). Wine's own service
// processes inherit the outputs and outlive the program: a pipe would be
// held open by them.
std::string WineCommand(const std::vector<std::string> &args, const std::string &prefix) {
    std::string command = "wine";
    for (const std::string &arg : args) command += " '" + arg + "'";
    return command + " >'" + prefix + "out' 2>'" + prefix + "err' </dev/null";
}

// Standard output comes in text mode, with CRLF line ends; they are taken
// out, so it reads as the Linux build's.
void ReadOutputs(RunResult &result, const std::string &prefix) {
    result.out = WithoutCarriageReturns(ReadFile(prefix + "out"));
    result.err = ReadFile(prefix + "err");
}

RunResult RunUnderWine(const std::vector<std::string> &args, const std::string &cwd, double timeout_s = 120) {
    const TempDir outputs;
    RunResult result =
        RunProgram({"/bin/sh", "-c", "exec " + WineCommand(args, outputs.file(""))}, cwd, {"WINEDEBUG=-all"}, timeout_s);
    ReadOutputs(result, outputs.file(""));
    return result;
}

// A working folder holding a copy of the bundled examples.
void CopyExamples(const TempDir &dir) {
    std::filesystem::copy(SourcePath("examples/resources"), dir.file("resources"));
}

// A resource map cut into its records, in file order.
struct Record {
    int block;
    std::string data;
};

std::vector<Record> ParseMap(const std::string &map) {
    std::vector<Record> records;
    std::size_t at = map.find('\r');
    if (at == std::string::npos) return records;
    ++at;
    while (at + 6 <= map.size()) {
        const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(map[at + i]); };
        const int block = byte(0) << 8 | byte(1);
        const std::size_t size = std::size_t{byte(2)} << 24 | std::size_t{byte(3)} << 16 | std::size_t{byte(4)} << 8 | byte(5);
        if (at + 6 + size + 1 > map.size()) break;
        records.push_back({block, map.substr(at + 6, size)});
        at += 6 + size + 1;
    }
    return records;
}

// What one develop run made: its output cut at the "File:" lines, and the
// flash block each resource got.
struct DevelopRun {
    RunResult run;
    std::vector<std::string> file_lines;                // the "File:" lines, in listing order
    std::map<std::string, std::string> entry_output;    // resource name -> the lines after its header's "File:" line
    std::map<std::string, int> block_of;                // resource name -> its flash block
    std::vector<std::string> check_output;              // the lines after "** Reading for check...."
    std::vector<Record> records;
    std::string snippet;
};

DevelopRun ParseDevelop(const RunResult &run, const TempDir &dir) {
    DevelopRun parsed;
    parsed.run = run;
    static const std::regex file_line("File: '(.*)' \\[reclen=\\d+\\]");
    std::string current;
    bool checking = false;
    int candidates = 0;
    for (const std::string &line : Lines(run.out)) {
        std::smatch match;
        if (checking) {
            parsed.check_output.push_back(line);
        } else if (line == "** Reading for check....") {
            checking = true;
        } else if (std::regex_match(line, match, file_line)) {
            parsed.file_lines.push_back(line);
            const std::string name = match[1];
            current.clear();
            if (name.size() > 5 && name.compare(name.size() - 5, 5, ".rawh") == 0) {
                current = name.substr(0, name.size() - 5);
                parsed.block_of[current] = ++candidates;
            }
        } else if (!current.empty()) {
            parsed.entry_output[current] += line + "\n";
        }
    }
    parsed.records = ParseMap(ReadFile(dir.file("zebmap.map")));
    parsed.snippet = ReadFile(dir.file("zebmap.c"));
    return parsed;
}

// The snippet's block for one resource, with its flash block numbers taken
// out (they follow the platform's listing order).
std::string SnippetBlock(const std::string &snippet, const std::string &resource) {
    const std::size_t begin = snippet.find("Bitmap_header_t " + resource + "_header[]");
    if (begin == std::string::npos) return "<missing>";
    const std::size_t end = snippet.find("Bitmap_header_t ", begin + 1);
    std::string block = snippet.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    block.erase(block.find_last_not_of('\n') + 1);  // the blank line before the next block
    return std::regex_replace(block, std::regex("(flash block |NULL, 0,  1, )\\d+"), "$1#");
}

TEST(wine_develop, BuildsTheSameRecordsAsLinuxInItsOwnListingOrder) {
    TempDir linux_dir;
    TempDir windows_dir;
    CopyExamples(linux_dir);
    CopyExamples(windows_dir);
    const DevelopRun on_linux = ParseDevelop(RunProgram({BuildPath("pardulo"), "d"}, linux_dir.path()), linux_dir);
    const DevelopRun on_windows = ParseDevelop(RunUnderWine({WindowsProgram("pardulo.exe"), "d"}, windows_dir.path()),
                                               windows_dir);
    ASSERT_EQ(on_linux.run.status, 0) << on_linux.run.out;
    ASSERT_EQ(on_windows.run.status, 0) << on_windows.run.out << on_windows.run.err;

    // The directory listing of Windows reports no record length.
    ASSERT_EQ(on_windows.file_lines.size(), on_linux.file_lines.size());
    for (const std::string &line : on_windows.file_lines) EXPECT_NE(line.find("' [reclen=0]"), std::string::npos) << line;

    // Every resource: the same data, the same report, under the block its
    // "File:" line gave it; the map's records follow that order.
    ASSERT_EQ(on_windows.block_of.size(), 5u);
    ASSERT_EQ(on_windows.records.size(), on_windows.block_of.size());
    for (std::size_t i = 0; i < on_windows.records.size(); ++i) EXPECT_EQ(on_windows.records[i].block, static_cast<int>(i) + 1);
    for (const auto &[resource, block] : on_windows.block_of) {
        SCOPED_TRACE(resource);
        const int linux_block = on_linux.block_of.at(resource);
        EXPECT_EQ(on_windows.records.at(block - 1).data, on_linux.records.at(linux_block - 1).data);
        const std::string expected_output =
            std::regex_replace(on_linux.entry_output.at(resource), std::regex("resources/"), "resources\\");
        EXPECT_EQ(on_windows.entry_output.at(resource), expected_output);
        // The snippet: text-mode line ends, the same declarations.
        EXPECT_EQ(SnippetBlock(WithoutCarriageReturns(on_windows.snippet), resource), SnippetBlock(on_linux.snippet, resource));
        EXPECT_NE(on_windows.snippet.find("from flash block " + std::to_string(block) + " \r\n"), std::string::npos);
    }
    EXPECT_EQ(std::count(on_windows.snippet.begin(), on_windows.snippet.end(), '\n'),
              std::count(on_windows.snippet.begin(), on_windows.snippet.end(), '\r'));
    EXPECT_EQ(WithoutCarriageReturns(on_windows.snippet).size(), on_linux.snippet.size());

    // The check reads the map back record by record.
    std::vector<std::string> expected_check = {"first line=''"};
    for (const Record &record : on_windows.records) {
        expected_check.push_back("Reading from block " + std::to_string(record.block) + "  -> size " +
                                 std::to_string(record.data.size()));
        expected_check.push_back("OK...");
    }
    EXPECT_EQ(on_windows.check_output, expected_check);
}

// Points Wine's COM ports at the devices' pseudo-terminals; the Wine server
// reads the mapping when it starts, so it is started afresh, detached from
// our captured outputs.
void MapComPorts(const std::vector<std::pair<std::string, std::string>> &com_to_pty) {
    std::string command;
    for (const auto &[com, pty] : com_to_pty) {
        command += "wine reg add 'HKLM\\Software\\Wine\\Ports' /v " + com + " /d " + pty + " /f >/dev/null 2>&1 && ";
    }
    const RunResult mapped = RunProgram(
        {"/bin/sh", "-c", command + "wineserver -k; wineserver -w; wineserver -p 60 </dev/null >/dev/null 2>&1"}, ".",
        {"WINEDEBUG=-all"}, 120);
    ASSERT_EQ(mapped.status, 0) << mapped.err;
}

TEST(wine_device, UploadScreenshotAndEraseThroughAComPort) {
    TempDir dir;
    CopyExamples(dir);
    ASSERT_EQ(RunProgram({BuildPath("pardulo"), "d"}, dir.path()).status, 0);
    const std::vector<Record> map = ParseMap(ReadFile(dir.file("zebmap.map")));
    ASSERT_EQ(map.size(), 5u);

    SimulatedDevice device(dir.file("device"));
    ASSERT_FALSE(device.port().empty());
    MapComPorts({{kComPort, device.port()}});

    // Upload: every record stored byte for byte.
    const RunResult upload = RunUnderWine({WindowsProgram("pardulo.exe"), "p", kComPort}, dir.path());
    EXPECT_EQ(upload.status, 0) << upload.out << upload.err;
    std::size_t stored = 0;
    for (const Record &record : map) {
        SCOPED_TRACE(record.block);
        EXPECT_EQ(device.Stored(record.block), record.data);
        stored += device.Stored(record.block) == record.data ? 1 : 0;
    }
    EXPECT_EQ(ReadFile(dir.file("zebmap.log")), "100");
    std::smatch time;
    const std::string out = upload.out;
    const bool timed = std::regex_search(out, time, std::regex("Transmission time : (\\d+) ms"));
    EXPECT_TRUE(timed) << out;
    printf("wine upload: %zu of %zu records stored, transmission time %s ms, run %.1f s\n", stored, map.size(),
           timed ? time[1].str().c_str() : "?", upload.seconds);

    // Screenshot: the same bytes the Linux build downloads.
    TempDir linux_dir;
    const RunResult linux_get =
        RunProgram({BuildPath("pardulo-devsim"), "--", BuildPath("pardulo"), "g", "{port}"}, linux_dir.path());
    ASSERT_EQ(linux_get.status, 0) << linux_get.out;
    const RunResult get = RunUnderWine({WindowsProgram("pardulo.exe"), "g", kComPort}, dir.path());
    EXPECT_EQ(get.status, 0) << get.out << get.err;
    const std::string screenshot = ReadFile(dir.file("test.bgra"));
    EXPECT_EQ(screenshot.size(), 522240u);
    EXPECT_TRUE(screenshot == ReadFile(linux_dir.file("test.bgra")));
    printf("wine screenshot: %zu bytes in %.1f s\n", screenshot.size(), get.seconds);

    // Erase: the device forgets every record.
    const RunResult erase = RunUnderWine({WindowsProgram("pardulo.exe"), "r", kComPort}, dir.path());
    EXPECT_EQ(erase.status, 0) << erase.out << erase.err;
    EXPECT_EQ(erase.out, "Sending data...\nWorking on port 'COM5'\n* SerialSend ERASE [ok]\n");
    EXPECT_EQ(device.Stored(map.front().block), "<missing>");

    // A port that is not there: the code of the Linux link, and the hint
    // names the ports that are.
    const RunResult missing = RunUnderWine({WindowsProgram("pardulo.exe"), "r", "COM9"}, dir.path());
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.out.find("* SerialConnect Error [err=201]\n"), std::string::npos) << missing.out;
    EXPECT_NE(missing.err.find("COM5"), std::string::npos) << missing.err;
}

// ---- the production station, pardulo-station.exe --------------------------

// A map of records of 300 bytes each in dir, as the Linux station tests
// flash; the records' data, in block order.
std::vector<std::string> WriteStationMap(const TempDir &dir, int records) {
    std::vector<std::string> data;
    std::string map = "\r";
    for (int block = 1; block <= records; ++block) {
        data.push_back(RandomBytes(300, static_cast<unsigned>(block)));
        map += MapRecord(block, data.back());
    }
    WriteFile(dir.file("zebmap.map"), map);
    return data;
}

// Runs the station under Wine in the background of a shell; script runs
// beside it with $STATION_PID set (the Windows program's own process), and
// the shell ends with the station's exit status.
RunResult RunStationUnderWine(const std::vector<std::string> &args, const std::string &cwd, const std::string &script,
                              double timeout_s) {
    const TempDir outputs;
    std::vector<std::string> command = {WindowsProgram("pardulo-station.exe")};
    command.insert(command.end(), args.begin(), args.end());
    const std::string line = WineCommand(command, outputs.file("")) + " & STATION_PID=$!\n" + script +
                             "\nwait $STATION_PID";
    RunResult result = RunProgram({"/bin/bash", "-c", line}, cwd, {"WINEDEBUG=-all"}, timeout_s);
    ReadOutputs(result, outputs.file(""));
    return result;
}

// Polls until the shell condition holds (at most seconds).
std::string Until(const std::string &condition, int seconds) {
    return "for i in $(seq " + std::to_string(seconds * 10) + "); do " + condition + " && break; sleep 0.1; done";
}

// Keeps a line's pseudo-terminal open after its simulator has ended, so that
// its number goes to nobody else while the station still watches it.
class HeldPort {
public:
    explicit HeldPort(const std::string &path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
    ~HeldPort() {
        if (fd_ >= 0) close(fd_);
    }
    HeldPort(const HeldPort &) = delete;
    HeldPort &operator=(const HeldPort &) = delete;

private:
    int fd_;
};

// The hook of the line test, for cmd: it keeps its input in "hooks in.txt"
// and its variables in hooks.env; it hangs for COM6's first device, and
// fails with status 3 for a device that failed.
std::string LineHook() {
    return "\"" + WindowsPath(WindowsProgram("station_test_helper.exe")) +
           "\" copy-input \"hooks in.txt\" & >>hooks.env echo %PARDULO_RESULT% %PARDULO_PORT% %PARDULO_DEVICE%& "
           "if %PARDULO_PORT%%PARDULO_DEVICE%==COM61 (echo hanging& ping -n 60 127.0.0.1 >nul) "
           "else if %PARDULO_RESULT%==failed (echo said %PARDULO_DEVICE%& exit 3)";
}

TEST(wine_station, FlashesALineOfDevicesOnThreeComPortsAndRecordsEachOnce) {
    // The Linux station test's line: four boards left in their fixture a
    // while after their exit; three, the second refusing its record 2; two,
    // the first taken away in the middle of its upload. Every record goes to
    // a hook through cmd, which hangs once and fails for the failed devices.
    TempDir work, devices;
    const std::vector<std::string> data = WriteStationMap(work, 2);
    const SimulatedDevice lingering(devices.file("a"), {"--devices", "4", "--linger", "1500", "--gap", "3500"});
    const SimulatedDevice refusing(devices.file("b"),
                                   {"--devices", "3", "--gap", "3500", "--device", "2", "--answer", "2=ko-checksum"});
    const SimulatedDevice pulled(devices.file("c"), {"--devices", "2", "--device", "1", "--pull-after", "100"});
    const std::vector<const SimulatedDevice *> lines = {&lingering, &refusing, &pulled};
    const std::vector<std::string> coms = {"COM6", "COM7", "COM8"};
    std::vector<std::unique_ptr<HeldPort>> held;
    std::vector<std::pair<std::string, std::string>> mapping;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        ASSERT_FALSE(lines[i]->port().empty()) << "a simulated device did not start";
        held.push_back(std::make_unique<HeldPort>(lines[i]->port()));
        mapping.emplace_back(coms[i], lines[i]->port());
    }
    MapComPorts(mapping);

    std::vector<std::string> args = {"--on-record", LineHook(), "--hook-timeout", "5"};
    args.insert(args.end(), coms.begin(), coms.end());
    const RunResult run = RunStationUnderWine(
        args, work.path(),
        Until("[ \"$(wc -l <station.jsonl 2>/dev/null)\" -ge 9 ]", 150) + "; sleep 2; kill -INT $STATION_PID", 240);
    held.clear();
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 0) << run.err;

    // Exactly one record per device, in the device's order on its port, each
    // as the device's own status has it; every board flashed once.
    const std::vector<std::string> records = Lines(ReadFile(work.file("station.jsonl")));
    ASSERT_EQ(records.size(), 9u) << ReadFile(work.file("station.jsonl")) << run.err;
    const std::size_t count[3] = {4, 3, 2};
    for (std::size_t p = 0; p < coms.size(); ++p) {
        std::vector<std::string> port_records;
        for (const std::string &record : records) {
            if (RecordField(record, "port") == "\"" + coms[p] + "\"") port_records.push_back(record);
        }
        ASSERT_EQ(port_records.size(), count[p]) << coms[p];
        for (std::size_t d = 0; d < count[p]; ++d) {
            const std::string &record = port_records[d];
            char folder[64];
            snprintf(folder, sizeof folder, "/store/device-%05zu/", d + 1);
            const std::string store = devices.file(std::string(1, static_cast<char>('a' + p))) + folder;
            const std::string status = ReadFile(store + "status.txt");
            const std::string reason = testing_support::ReasonOfDeviceStatus(status);
            SCOPED_TRACE(record + "\n" + status);
            EXPECT_EQ(RecordField(record, "device"), std::to_string(d + 1));
            EXPECT_EQ(RecordField(record, "result"), reason.empty() ? "\"ok\"" : "\"failed\"");
            EXPECT_EQ(RecordField(record, "reason"), reason.empty() ? "null" : "\"" + reason + "\"");
            EXPECT_EQ(RecordField(record, "adapter_serial"), "null");
            if (reason.empty()) {
                EXPECT_EQ(ReadFile(store + "block-00001.bin"), data[0]);
                EXPECT_EQ(ReadFile(store + "block-00002.bin"), data[1]);
            }
            if (status.find("pulled yes") == std::string::npos) {
                EXPECT_NE(status.find("puts 2\n"), std::string::npos);
            }
        }
    }
    EXPECT_EQ(Lines(run.out).size(), 9u) << run.out;
    // The port's folder: COM6 is a device name of Windows, not a folder's.
    EXPECT_EQ(ReadFile(work.file("station/COM6_/zebmap.log")), "100");
    EXPECT_TRUE(testing_support::FileExists(work.file("station/COM6_/00004.out")));
    printf("wine station line: upload seconds of the devices ok: %s\n",
           testing_support::OkSecondsSummary(records).c_str());

    // The hook got every record line as it is on disk, in record order, with
    // its variables; the hanging one was killed with what it started, and
    // the failing ones are logged with their output.
    EXPECT_TRUE(ReadFile(work.file("hooks in.txt")) == ReadFile(work.file("station.jsonl")));
    std::string expected_env, expected_log;
    std::size_t hanging = records.size();
    const auto text = [](const std::string &json_string) { return json_string.substr(1, json_string.size() - 2); };
    for (std::size_t i = 0; i < records.size(); ++i) {
        const std::string result = text(RecordField(records[i], "result"));
        const std::string port = text(RecordField(records[i], "port"));
        const std::string device = RecordField(records[i], "device");
        const std::string about = "hook for device " + device + " on " + port;
        expected_env += result + " " + port + " " + device + "\n";
        if (port == "COM6" && device == "1") {
            hanging = i;
            expected_log += about + " killed after 5 s, still running\n  | hanging\n";
        } else if (result == "failed") {
            expected_log += about + " exited with status 3\n  | said " + device + "\n";
        }
    }
    EXPECT_EQ(WithoutCarriageReturns(ReadFile(work.file("hooks.env"))), expected_env);
    const std::string log = ReadFile(work.file("station/hooks.log"));
    EXPECT_EQ(std::regex_replace(log, std::regex("(^|\n)\\S+ hook"), "$1hook"), expected_log) << log;
    EXPECT_NE(run.err.find("station: hook for device 1 on COM6 killed after 5 s"), std::string::npos) << run.err;
    // Records went on being written while the hook hung.
    ASSERT_LT(hanging + 1, records.size());
    const std::size_t kill_entry = log.find(" hook for device 1 on COM6 killed");
    const std::size_t entry_start = log.rfind('\n', kill_entry) + 1;  // 0 for the first entry
    const std::string killed_at = "\"" + log.substr(entry_start, kill_entry - entry_start) + "\"";
    EXPECT_LT(RecordField(records[hanging + 1], "time"), killed_at);
}

TEST(wine_station, EveryConsoleStopEndsTheUploadUnderWayWithTheExitCommandAndRecordsInterrupted) {
    // One station per way to stop it, side by side, each on a COM port of its
    // own, stopped once its device has taken two of eight records (a
    // second's pause after each). SIGINT to the Windows program's process
    // reaches its console handler as Ctrl-C; Wine delivers neither
    // Ctrl-Break nor a closing window, so station_test_helper hands them
    // over as the console does, and ends the station as Windows does should
    // the handler of the closing window return before the station has ended.
    struct Row {
        const char *stop;
        const char *com;
        const char *event;  // station_test_helper's, "" for SIGINT
    };
    const Row rows[] = {{"Ctrl-C", "COM6", ""}, {"Ctrl-Break", "COM7", "break"}, {"window closed", "COM8", "close"}};
    TempDir devices;
    std::vector<std::unique_ptr<TempDir>> works;
    std::vector<std::unique_ptr<SimulatedDevice>> lines;
    std::vector<std::pair<std::string, std::string>> mapping;
    std::string script, waits;
    for (const Row &row : rows) {
        works.push_back(std::make_unique<TempDir>());
        const TempDir &work = *works.back();
        WriteStationMap(work, 8);
        const std::vector<std::string> options = {"--transcript", devices.file(std::string(row.com) + ".transcript")};
        lines.push_back(std::make_unique<SimulatedDevice>(devices.file(row.com), options));
        ASSERT_FALSE(lines.back()->port().empty());
        mapping.emplace_back(row.com, lines.back()->port());

        std::vector<std::string> command = {WindowsProgram("pardulo-station.exe"), row.com};
        if (*row.event != '\0') {
            command = {WindowsProgram("station_test_helper.exe"), "console-event", row.event, "stop-now",
                       WindowsPath(WindowsProgram("pardulo-station.exe")), row.com};
        }
        const std::string pid = "$pid_" + std::string(row.com);
        const std::string stop = *row.event != '\0' ? "touch '" + work.file("stop-now") + "'" : "kill -INT " + pid;
        const std::string out = work.file(std::string("station/") + row.com + "_/00001.out");
        script += "(cd '" + work.path() + "' && exec " + WineCommand(command, work.file("wine.")) + ") & " +
                  pid.substr(1) + "=$!\n(" + Until("[ \"$(grep -c 'CHECKSUM OK' '" + out + "' 2>/dev/null)\" -ge 2 ]", 90) +
                  "; " + stop + ") &\n";
        waits += "wait " + pid + "; echo $? >'" + work.file("status") + "'\n";
    }
    MapComPorts(mapping);
    script += waits;
    const RunResult run = RunProgram({"/bin/bash", "-c", script}, ".", {"WINEDEBUG=-all"}, 150);
    ASSERT_FALSE(run.timed_out);

    for (std::size_t i = 0; i < works.size(); ++i) {
        const Row &row = rows[i];
        const TempDir &work = *works[i];
        const std::string err = ReadFile(work.file("wine.err"));
        SCOPED_TRACE(std::string(row.stop) + "\n" + err);
        EXPECT_EQ(ReadFile(work.file("status")), "0\n");
        const std::vector<std::string> records = Lines(ReadFile(work.file("station.jsonl")));
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(RecordField(records[0], "reason"), "\"interrupted\"");
        const int accepted = std::stoi(RecordField(records[0], "records_accepted"));
        EXPECT_GE(accepted, 2);
        EXPECT_LT(accepted, 8);
        // The exit command went out after the last record, and the device saw it.
        const std::string transcript = ReadFile(devices.file(std::string(row.com) + ".transcript"));
        const std::size_t exit_at = transcript.rfind(" H AA\n");
        ASSERT_NE(exit_at, std::string::npos);
        EXPECT_EQ(transcript.find(" H 01\n", exit_at), std::string::npos) << "a record after the exit command";
        const std::size_t ended = err.find("console-event: ");
        if (ended != std::string::npos) printf("wine station, %s: %s", row.stop, err.substr(ended).c_str());
    }
}

TEST(wine_station, OnceWithASilentComPortRecordsNoDeviceAndFails) {
    TempDir work, devices;
    WriteStationMap(work, 2);
    const SimulatedDevice silent(devices.file("a"), {"--ping-answer", "none"});
    ASSERT_FALSE(silent.port().empty());
    MapComPorts({{"COM6", silent.port()}});

    const RunResult run = RunStationUnderWine({"--once", "--wait", "3", "COM6"}, work.path(), "", 60);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 1) << run.err;
    const std::vector<std::string> records = Lines(ReadFile(work.file("station.jsonl")));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(RecordField(records[0], "reason"), "\"no device\"");
    EXPECT_EQ(run.out, "COM6 1 failed 0.0 no device\n");
}

TEST(wine_station, ARecordThatCannotBeWrittenStopsTheStation) {
    TempDir work, devices;
    WriteStationMap(work, 2);
    const SimulatedDevice device(devices.file("a"), {"--devices", "2", "--gap", "500"});
    ASSERT_FALSE(device.port().empty());
    MapComPorts({{"COM6", device.port()}});

    // Wine shows Linux's /dev/full on its drive Z:. No SIGINT: the station
    // must end by itself, having taken one device.
    const RunResult run = RunStationUnderWine({"--log", "Z:\\dev\\full", "COM6"}, work.path(), "", 60);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot write the record to Z:\\dev\\full: "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("; no new devices are taken"), std::string::npos) << run.err;
    EXPECT_EQ(Lines(run.out).size(), 1u) << run.out;
}

TEST(wine_station, APortThatGoesAwayEndsTheUploadAsDeviceGoneAndIsWatchedUntilItComesBack) {
    // COM6 is mapped onto a link of ours, so the port can come back on
    // another pseudo-terminal while the station runs.
    TempDir work, devices;
    WriteStationMap(work, 2);
    const std::string link = devices.file("com6");
    const SimulatedDevice dropping(devices.file("a"), {"--hangup-after", "200"});
    ASSERT_FALSE(dropping.port().empty());
    ASSERT_EQ(symlink(dropping.port().c_str(), link.c_str()), 0);
    MapComPorts({{"COM6", link}});

    // The line drops inside record 1; a device on a fresh line comes later.
    const std::string comes_back = "mkdir -p " + devices.file("b") + "; " + BuildPath("pardulo-devsim") +
                                   " --port-file " + devices.file("b/port") + " --store " + devices.file("b/store") +
                                   " >/dev/null 2>&1 & DEVICE_PID=$!; " +
                                   Until("[ -s " + devices.file("b/port") + " ]", 30) + "; ln -sfn $(cat " +
                                   devices.file("b/port") + ") " + link + "; ";
    const RunResult run = RunStationUnderWine(
        {"COM6"}, work.path(),
        Until("grep -q 'device gone' station.jsonl 2>/dev/null", 60) + "; sleep 2; " + comes_back +
            Until("[ \"$(wc -l <station.jsonl)\" -ge 2 ]", 60) + "; kill -INT $STATION_PID; wait $STATION_PID; " +
            "status=$?; kill $DEVICE_PID; exit $status",
        150);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> records = Lines(ReadFile(work.file("station.jsonl")));
    ASSERT_EQ(records.size(), 2u) << run.err;
    EXPECT_EQ(RecordField(records[0], "reason"), "\"device gone\"");
    EXPECT_EQ(RecordField(records[0], "failed_block"), "1");
    EXPECT_EQ(RecordField(records[1], "device"), "2");
    EXPECT_EQ(RecordField(records[1], "result"), "\"ok\"");
}

// ---- the station's web side, pardulo-station.exe --http --------------------

// The Windows station in the background until Stop() asks it to end with
// SIGINT (the console's Ctrl-C under Wine); outputs in station.out, .err.
class BackgroundStation {
public:
    BackgroundStation(std::vector<std::string> command, const TempDir &work) : work_(work) {
        command.insert(command.begin(), WindowsProgram("pardulo-station.exe"));
        const std::string line = WineCommand(command, work.file("station.")) + " & STATION_PID=$!\n" +
                                 Until("[ -e stop ]", 150) + "; kill -INT $STATION_PID; wait $STATION_PID";
        runner_ = std::thread([this, line] {
            // A UTF-8 locale, so that Wine reads the arguments' bytes as UTF-8.
            run_ = RunProgram({"/bin/bash", "-c", line}, work_.path(), {"WINEDEBUG=-all", "LANG=C.UTF-8"}, 200);
            ReadOutputs(run_, work_.file("station."));
        });
    }
    ~BackgroundStation() { Stop(); }
    // The run, once ended; seconds: how long it took after SIGINT.
    const RunResult &Stop(double *seconds = nullptr) {
        const auto asked = std::chrono::steady_clock::now();
        WriteFile(work_.file("stop"), "");
        if (runner_.joinable()) runner_.join();
        if (seconds != nullptr) *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
        return run_;
    }

private:
    const TempDir &work_;
    RunResult run_;
    std::thread runner_;
};

TEST(wine_web, ServesTheLineRefusesASecondStationAndEndsOnCtrlCWithAClientConnected) {
    TempDir work, other, devices;
    WriteStationMap(work, 2);
    WriteStationMap(other, 2);
    const SimulatedDevice device(devices.file("a"));
    ASSERT_FALSE(device.port().empty());
    MapComPorts({{"COM6", device.port()}});

    // Windows hands argv over in its ANSI code page, which has no room for
    // most of the world's letters (the last one here): the name must come
    // through whole all the same.
    const std::string name = "Linie-\xc3\xa9 7 \xe7\xba\xbf";
    BackgroundStation station({"--http", "127.0.0.1:0", "--name", name, "COM6"}, work);
    const int port = testing_support::ServedPort(work.file("station.err"), 60);
    ASSERT_GT(port, 0) << ReadFile(work.file("station.err"));
    // An event client that reads nothing until the station has ended.
    const int events = testing_support::ConnectTo(port);
    const std::string request = "GET /api/events HTTP/1.1\r\nHost: test\r\n\r\n";
    ASSERT_EQ(write(events, request.data(), request.size()), static_cast<ssize_t>(request.size()));

    ASSERT_TRUE(testing_support::Eventually([&] { return !ReadFile(work.file("station.jsonl")).empty(); }, 60));
    const nlohmann::json records = testing_support::RecordsOfFile(work.file("station.jsonl"));
    const nlohmann::json status = testing_support::GetJson(port, "/api/status");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["result"], "ok");
    EXPECT_EQ(records[0]["station"], name);
    EXPECT_EQ(status["station"], name);
    EXPECT_EQ(status["ports"][0]["port"], "COM6");
    EXPECT_EQ(status["ports"][0]["last"], records[0]);
    EXPECT_EQ(testing_support::GetJson(port, "/api/records"), records);
    httplib::Client client("127.0.0.1", port);
    const auto page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(page->body.find("\"station\":\"" + name + "\""), std::string::npos);  // the status of its moment
    int code = 0;
    testing_support::GetJson(port, "/station.jsonl", &code);
    EXPECT_EQ(code, 404);
    const auto post = client.Post("/api/status");
    ASSERT_TRUE(post);
    EXPECT_EQ(post->status, 405);
    EXPECT_EQ(post->get_header_value("Allow"), "GET, HEAD");

    // An address that cannot be served, the first station's among them,
    // ends a second station before anything; the first serves on.
    const std::string in_use = "127.0.0.1:" + std::to_string(port);
    const std::pair<std::string, std::string> rows[] = {
        {in_use, "cannot serve http on " + in_use + ": Address already in use; nothing was flashed"},
        {"no-such-host.invalid:8380", "cannot serve http on no-such-host.invalid:8380: no-such-host.invalid: "},
    };
    for (const auto &[http, message] : rows) {
        const RunResult second =
            RunUnderWine({WindowsProgram("pardulo-station.exe"), "--once", "--http", http, "COM7"}, other.path(), 60);
        EXPECT_EQ(second.status, 2) << http;
        EXPECT_NE(second.err.find(message), std::string::npos) << second.err;
        EXPECT_FALSE(testing_support::FileExists(other.file("station.jsonl"))) << http;
    }
    EXPECT_EQ(testing_support::GetJson(port, "/api/status")["station"], name);

    // Ctrl-C with the client connected: the station ends with status 0, the
    // stream with the port stopped after the record as written.
    double stop_s = 0;
    const RunResult &run = station.Stop(&stop_s);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_LT(stop_s, 15) << "the station took that long to end after Ctrl-C";
    std::string stream;
    char buffer[4096];
    const timeval patience{10, 0};
    setsockopt(events, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    for (ssize_t got; (got = read(events, buffer, sizeof buffer)) > 0;) stream.append(buffer, static_cast<std::size_t>(got));
    close(events);
    const std::string record_event = "event: record\ndata: ";
    const std::size_t data_at = stream.find(record_event) + record_event.size();
    ASSERT_GT(data_at, record_event.size()) << stream;
    EXPECT_EQ(nlohmann::json::parse(stream.substr(data_at, stream.find('\n', data_at) - data_at), nullptr, false),
              records[0]);
    EXPECT_NE(stream.find("\"state\":\"stopped\"", data_at), std::string::npos) << stream;
    printf("wine web: the station ended %.1f s after Ctrl-C with an event client connected\n", stop_s);
}

// The write side under Wine: the token from a file with a Windows line end
// (none, wrong, right), a board held for its serial number and recorded
// with it, and the CSV equal to the record file.
TEST(wine_web, WritesNeedTheTokenAndTheCsvIsTheRecordFile) {
    TempDir work, devices;
    WriteStationMap(work, 2);
    const SimulatedDevice device(devices.file("a"));
    ASSERT_FALSE(device.port().empty());
    MapComPorts({{"COM6", device.port()}});
    WriteFile(work.file("token"), "w1ne-token\r\n");
    BackgroundStation station({"--http", "127.0.0.1:0", "--api-token-file", "token", "--require-serial", "COM6"}, work);
    const int port = testing_support::ServedPort(work.file("station.err"), 60);
    ASSERT_GT(port, 0) << ReadFile(work.file("station.err"));
    const auto state = [&] { return testing_support::GetJson(port, "/api/status")["ports"][0].value("state", ""); };
    ASSERT_TRUE(testing_support::Eventually([&] { return state() == "awaiting_serial"; }, 60)) << state();
    const std::pair<std::string, int> rows[] = {{"", 401}, {"w1ne-token\r", 403}, {"w1ne-tokem", 403}, {"w1ne-token", 200}};
    for (const auto &[token, expected] : rows) {
        int code = 0;
        testing_support::PostJson(port, "/api/fixtures/COM6/serial", token, R"({"serial":"SN-W1"})", &code);
        EXPECT_EQ(code, expected) << token;
    }
    ASSERT_TRUE(testing_support::Eventually([&] { return !ReadFile(work.file("station.jsonl")).empty(); }, 60));
    const nlohmann::json records = testing_support::RecordsOfFile(work.file("station.jsonl"));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["serial"], "SN-W1");
    EXPECT_EQ(records[0]["result"], "ok");
    httplib::Client client("127.0.0.1", port);
    const auto csv = client.Get("/api/records.csv");
    ASSERT_TRUE(csv);
    EXPECT_EQ(csv->status, 200);
    EXPECT_EQ(testing_support::CsvDiffersFrom(csv->body, records), "");
    EXPECT_EQ(station.Stop().status, 0);
}

}  // namespace
