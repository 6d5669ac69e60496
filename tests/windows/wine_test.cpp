// The Windows programs under Wine, checked against the Linux build: the
// develop mode on the bundled examples, and the device modes through a COM
// port that Wine maps onto the simulated device's pseudo-terminal.
//
// Run by tests/windows/run.sh, which builds both sides, gives the Windows
// build folder in PARDULO_WINDOWS_BUILD and keeps a Wine server running for
// WINEPREFIX, so that no Wine process holds on to the captured outputs.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "simulated_device.h"
#include "test_support.h"

namespace {

using testing_support::BuildPath;
using testing_support::Lines;
using testing_support::ReadFile;
using testing_support::RunProgram;
using testing_support::RunResult;
using testing_support::SimulatedDevice;
using testing_support::SourcePath;
using testing_support::TempDir;

constexpr const char *kComPort = "COM5";

std::string WindowsProgram(const std::string &name) {
    const char *dir = getenv("PARDULO_WINDOWS_BUILD");
    return std::string(dir != nullptr ? dir : "build-windows") + "/" + name;
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

// Points Wine's COM5 at the device's pseudo-terminal; the Wine server reads
// the mapping when it starts, so it is started afresh, detached from our
// captured outputs.
void MapComPort(const std::string &pty) {
    const RunResult mapped = RunProgram(
        {"/bin/sh", "-c",
         "wine reg add 'HKLM\\Software\\Wine\\Ports' /v " + std::string(kComPort) + " /d " + pty +
             " /f >/dev/null 2>&1 && wineserver -k; wineserver -w; wineserver -p 60 </dev/null >/dev/null 2>&1"},
        ".", {"WINEDEBUG=-all"}, 120);
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
    MapComPort(device.port());

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

}  // namespace
