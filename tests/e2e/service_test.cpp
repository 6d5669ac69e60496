// The two service modes end to end against the simulated device: "r" erases
// the device, "g" saves its last screenshot in test.bgra.
#include <gtest/gtest.h>

#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "device_run.h"
#include "test_support.h"

using namespace testing_support;

namespace {

constexpr std::size_t kScreenshotSize = 522240;  // 480 x 272 BGRA
const Bytes kGetRequest = {0x02, 0x07, 0xD0, 0x00, 0x07, 0xF8, 0x00};

bool IsConnectError(const std::string &line) {
    return std::regex_match(line, std::regex(R"(\* SerialConnect Error \[err=20[1-4]\])"));
}

// A screenshot with every byte value, and runs of the bytes a text-mode
// file would translate: 0x00, 0x0A, 0x0D, 0x1A, "\r\n".
std::string AwkwardScreenshot() {
    std::string bytes(kScreenshotSize, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 31 + i / 256) & 0xFF);
    const std::string awkward("\r\n\n\r\x00\x1A\x0D\x0A", 8);
    for (std::size_t at = 0; at + awkward.size() <= bytes.size(); at += 4096) bytes.replace(at, awkward.size(), awkward);
    bytes.replace(bytes.size() - awkward.size(), awkward.size(), awkward);  // up to the very last byte
    return bytes;
}

class ServiceTest : public ::testing::Test {
protected:
    std::string Screenshot() const { return ReadFile(dir.file("test.bgra")); }
    TempDir dir;
};

// ---- erase ------------------------------------------------------------------

TEST_F(ServiceTest, EraseSendsEightEraseBytesAndWaitsForNothing) {
    const DeviceRun device = RunWithDevice(dir, {}, "r", 30);

    EXPECT_EQ(device.run.status, 0) << device.run.out << device.run.err;
    EXPECT_EQ(device.out, (std::vector<std::string>{"Sending data...", "Working on port '" + device.port + "'",
                                                    "* SerialSend ERASE [ok]"}));
    EXPECT_EQ(device.Sent('H'), Bytes(8, 0x55));  // and no exit command
    EXPECT_TRUE(device.Sent('D').empty());
    EXPECT_LT(device.run.seconds, 5);
}

TEST_F(ServiceTest, APortThatDoesNotOpenEndsEitherModeWithStatusOne) {
    WriteFile(dir.file("test.bgra"), "earlier screenshot");
    struct Case {
        const char *mode;
        const char *port_line;
    };
    for (const Case &c : {Case{"r", "Working on port '/dev/pardulo-no-such-port'"},
                          Case{"g", "GetResource::Working on port '/dev/pardulo-no-such-port'"}}) {
        SCOPED_TRACE(c.mode);
        const RunResult run =
            RunProgram({BuildPath("pardulo"), c.mode, "/dev/pardulo-no-such-port"}, dir.path(), {}, 30);
        EXPECT_EQ(run.status, 1);
        const std::vector<std::string> lines = Lines(run.out);
        ASSERT_EQ(lines.size(), 3u) << run.out;
        EXPECT_EQ(lines[0], "Sending data...");
        EXPECT_EQ(lines[1], c.port_line);
        EXPECT_TRUE(IsConnectError(lines[2])) << lines[2];
    }
    EXPECT_EQ(Screenshot(), "earlier screenshot");

    // No port argument, or a one-character one: COM1, which does not exist here.
    const RunResult run = RunProgram({BuildPath("pardulo"), "g", "x"}, dir.path(), {}, 30);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("GetResource::Working on port 'COM1'\n"), std::string::npos) << run.out;
}

// ---- screenshot -------------------------------------------------------------

// What a download saves for each way the stream can go, one row per stream,
// every row against its own device at once. What the simulator streams by
// default is its test picture (DevsimProgram.DefaultScreenshotIsTheTestPicture);
// here, that pardulo saves whatever arrives, byte for byte.
TEST_F(ServiceTest, TheScreenshotIsSavedAsItArrivesAndOnlyAWholeOneIsASuccess) {
    const std::string picture = AwkwardScreenshot();
    WriteFile(dir.file("device-picture.bgra"), picture);
    struct Row {
        const char *stream;
        std::vector<std::string> device_options;
        int status;
        std::string last_line;  // after the receive time-out, "" for none
        std::string saved;      // test.bgra, which held "earlier screenshot"
    };
    const Row rows[] = {
        // No line-end or any other translation.
        {"whole", {"--screenshot", dir.file("device-picture.bgra")}, 0, "", picture},
        {"silent", {"--get-bytes", "0"}, 1, "* Received 0 bytes of 522240 requested", ""},
        {"paused for 900 ms after 100000 bytes",
         {"--screenshot", dir.file("device-picture.bgra"), "--get-pause-after", "100000", "--get-pause-ms", "900"},
         1,
         "* Received 100000 bytes of 522240 requested",
         picture.substr(0, 100000)},
    };
    TempDir run_dirs[std::size(rows)];
    std::vector<DeviceRunPlan> plans;
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        WriteFile(run_dirs[i].file("test.bgra"), "earlier screenshot");
        plans.push_back({&run_dirs[i], rows[i].device_options, "g", 60});
    }
    const std::vector<DeviceRun> runs = RunWithDevices(plans);

    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row &row = rows[i];
        const DeviceRun &device = runs[i];
        SCOPED_TRACE(row.stream);
        EXPECT_EQ(device.run.status, row.status) << device.run.out << device.run.err;
        std::vector<std::string> expected = {"Sending data...", "GetResource::Working on port '" + device.port + "'",
                                             "* SerialReceive Error -1"};
        if (!row.last_line.empty()) expected.push_back(row.last_line);
        EXPECT_EQ(device.out, expected);
        EXPECT_EQ(device.Sent('H'), kGetRequest);
        ASSERT_TRUE(FileExists(run_dirs[i].file("test.bgra")));
        const std::string saved = ReadFile(run_dirs[i].file("test.bgra"));
        EXPECT_EQ(saved.size(), row.saved.size());
        EXPECT_TRUE(saved == row.saved);
    }
}

}  // namespace
