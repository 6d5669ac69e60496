// The production line's job end to end: the real pardulo, the real
// libserialport and the simulated device on a pseudo-terminal. Each test runs
// `pardulo p PORT` in a fresh working directory and looks at what it printed,
// the bytes the device received (from its transcript), what the device stored,
// zebmap.log and the exit status.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "device_run.h"
#include "map_bytes.h"
#include "test_support.h"

using namespace testing_support;

namespace {

// The last line of every production run, whatever became of the upload.
void ExpectTransmissionTimeLine(const std::string &line, double at_least_ms) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match,
                                 std::regex(R"(\*\* Transmission time : (\d+) ms  \(Start time:(\d+), End time:(\d+)\) )")))
        << line;
    const long total = std::stol(match[1]);
    EXPECT_EQ(total, std::stol(match[3]) - std::stol(match[2]));
    EXPECT_GE(total, at_least_ms);
}

class ProductionTest : public ::testing::Test {
protected:
    void WriteMap(const std::string &bytes) { WriteFile(dir.file("zebmap.map"), bytes); }
    std::string Log() const { return ReadFile(dir.file("zebmap.log")); }
    std::string Stored(int block) const {
        char name[32];
        snprintf(name, sizeof name, "store/block-%05d.bin", block);
        return ReadFile(dir.file(name));
    }
    TempDir dir;
};

TEST_F(ProductionTest, TheLogFollowsEachAcceptedRecordAndEveryRecordLandsIntact) {
    // Every record is checked, put on the line, accepted and followed by a
    // pause of a second, the last one by the exit command.
    // 1 + 10 + 12 + 7 + 8 = 38 bytes: 11 of 38 is 28.9%, 23 of 38 is 60.5%,
    // 30 of 38 is 78.9%, all truncated. The empty record is eleven bytes on
    // the wire with checksum 0; the last record has no terminator and is
    // still complete.
    const std::string second("\x00\x0A\x0D\xFF\x80", 5);
    WriteMap(MapFile({MapRecord(1, "abc"), MapRecord(2, second), MapRecord(3, ""), MapRecord(4, "zz", false)}));

    // Watch zebmap.log while the upload runs: it must only ever climb
    // through the accepted records' values.
    std::atomic<bool> done{false};
    std::vector<std::string> seen;
    std::thread watcher([&] {
        while (!done) {
            const std::string value = ReadFile(dir.file("zebmap.log"));
            if (!value.empty() && (seen.empty() || seen.back() != value)) seen.push_back(value);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    // The first answer comes late, so that the 0 written at the start stays long enough to be seen.
    const DeviceRun device = RunWithDevice(dir, {"--answer-delay", "1=300"});
    done = true;
    watcher.join();

    EXPECT_EQ(device.run.status, 0) << device.run.out << device.run.err;
    EXPECT_EQ(seen, (std::vector<std::string>{"0", "28", "60", "78", "100"}));
    ASSERT_EQ(device.out.size(), 33u) << device.run.out;
    std::vector<std::string> expected = {
        "Production mode",
        "first line=''",
        "Reading from block 1  -> size 3",
        "OK...",
        "Reading from block 2  -> size 5",
        "OK...",
        "Reading from block 3  -> size 0",
        "OK...",
        "Reading from block 4  -> size 2",  // no terminator: nothing to say about it
        "Sending data...",
        "Working on port '" + device.port + "'",
    };
    const char *sizes[] = {"3", "5", "0", "2"};
    for (int block = 1; block <= 4; ++block) {
        expected.push_back("Reading from block " + std::to_string(block) + "  -> size " + sizes[block - 1]);
        expected.insert(expected.end(), {"Sending data...", "* Received CheckSum response 105 [69]", "* CHECKSUM OK!",
                                         "* FLASH WRITE OK!"});
    }
    expected.push_back("* SerialSend EXIT [ok]");
    EXPECT_EQ(std::vector<std::string>(device.out.begin(), device.out.end() - 1), expected);
    ExpectTransmissionTimeLine(device.out.back(), 4000);
    EXPECT_EQ(device.Sent('D'), Bytes(4, 0x69));
    EXPECT_EQ(device.Sent('H'), Concat({PutMessage(1, "abc"), PutMessage(2, second),
                                        {0x01, 0x00, 0x03, 0, 0, 0, 0, 0, 0, 0, 0}, PutMessage(4, "zz"), kExitCommand}));
    for (std::size_t n = 0; n < 4; ++n) {
        const double pause = device.PauseAfterAnswer(n);
        EXPECT_GE(pause, 1.0) << n;
        EXPECT_LT(pause, 1.3) << n;
    }
    EXPECT_EQ(Stored(1), "abc");
    EXPECT_EQ(Stored(2), second);
    EXPECT_EQ(Stored(3), "");
    EXPECT_EQ(Stored(4), "zz");
    EXPECT_EQ(ReadFile(dir.file("store/index.txt")),
              "1 3 294 block-00001.bin\n2 5 406 block-00002.bin\n3 0 0 block-00003.bin\n4 2 244 block-00004.bin\n");
    EXPECT_EQ(Log(), "100");
}

TEST_F(ProductionTest, AMapWithOnlyItsFirstLineSendsOnlyTheExitCommand) {
    WriteMap("\r");
    const DeviceRun device = RunWithDevice(dir, {});
    EXPECT_EQ(device.run.status, 0);
    EXPECT_EQ(device.Sent('H'), kExitCommand);
    EXPECT_EQ(device.UploadLines().size(), 3u);
    EXPECT_EQ(device.UploadLines()[1], "* SerialSend EXIT [ok]");
    EXPECT_EQ(Log(), "0");
}

// A map built with a resource skipped lacks that block: said on standard
// error before the upload, which goes on as for any map.
TEST_F(ProductionTest, AHoleInTheBlocksIsNotedBeforeTheMapGoesUpAllTheSame) {
    WriteMap(MapFile({MapRecord(1, "one"), MapRecord(3, "three")}));
    const DeviceRun device = RunWithDevice(dir, {});
    EXPECT_EQ(device.run.status, 0) << device.run.out;
    EXPECT_NE(device.run.err.find("\nwarning: zebmap.map has no record for block 2: it was built with a resource "
                                  "skipped; uploading it all the same\n"),
              std::string::npos)
        << device.run.err;  // after the simulator's own line
    EXPECT_EQ(device.run.out.find("warning"), std::string::npos);
    EXPECT_EQ(Stored(3), "three");
    EXPECT_EQ(Log(), "100");
}

TEST_F(ProductionTest, ARefusedOrMissingAnswerEndsTheUploadAtOnceAndKeepsTheLog) {
    struct Case {
        const char *answer;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"2=ko-checksum", {"* Received CheckSum response 121 [79]", "*ERR CHECKSUM FAILED!"}},
        {"2=ko-flash", {"* Received CheckSum response -119 [FFFFFF89]"}},
        {"2=none", {"* SerialReceive Error -1"}},
    };
    TempDir run_dirs[std::size(cases)];
    std::vector<DeviceRunPlan> plans;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        WriteFile(run_dirs[i].file("zebmap.map"), MapFile({MapRecord(1, "abc"), MapRecord(2, "defgh"), MapRecord(3, "ij")}));
        plans.push_back({&run_dirs[i], {"--answer", cases[i].answer}});
    }
    const std::vector<DeviceRun> runs = RunWithDevices(plans);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case &c = cases[i];
        const TempDir &run_dir = run_dirs[i];
        const DeviceRun &device = runs[i];
        SCOPED_TRACE(c.answer);

        EXPECT_EQ(device.run.status, 1);
        std::vector<std::string> expected = {
            "Working on port '" + device.port + "'",
            "Reading from block 1  -> size 3",
            "Sending data...",
            "* Received CheckSum response 105 [69]",
            "* CHECKSUM OK!",
            "* FLASH WRITE OK!",
            "Reading from block 2  -> size 5",
            "Sending data...",
        };
        expected.insert(expected.end(), c.lines.begin(), c.lines.end());
        expected.push_back("* SerialSend EXIT [ok]");
        const std::vector<std::string> lines = device.UploadLines();
        ASSERT_FALSE(lines.empty()) << device.run.out;
        EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.end() - 1), expected);
        ExpectTransmissionTimeLine(lines.back(), 1000);

        // The exit command follows the refusal at once (or the 500 ms wait).
        const Bytes puts = Concat({PutMessage(1, "abc"), PutMessage(2, "defgh")});
        EXPECT_EQ(device.Sent('H'), Concat({puts, kExitCommand}));
        const double gap = device.SecondsBetweenHostBytes(puts.size() - 1, puts.size());
        if (std::string(c.answer) == "2=none") {
            // Seen from the device, which takes the last byte a moment after
            // the host wrote it and started waiting; the wait itself is
            // pinned to the millisecond by the unit tests.
            EXPECT_GT(gap, 0.45);
            EXPECT_LT(gap, 0.9);
        } else {
            EXPECT_LT(gap, 0.45);  // no pause of a second, even on a busy machine
        }
        // 11 of 32 bytes: the first record's value stays.
        EXPECT_EQ(ReadFile(run_dir.file("zebmap.log")), "34");
        EXPECT_FALSE(FileExists(run_dir.file("store/block-00002.bin")));
    }
}

TEST_F(ProductionTest, APortThatDoesNotOpenIsReportedAndNothingIsLogged) {
    WriteMap(MapFile({MapRecord(1, "abc")}));
    for (const std::string &port : {std::string("/dev/pardulo-no-such-port"), std::string(""), std::string("x")}) {
        SCOPED_TRACE(port);
        const RunResult run = RunProgram({BuildPath("pardulo"), "p", port}, dir.path(), {}, 30);
        EXPECT_EQ(run.status, 1);
        const std::vector<std::string> lines = Lines(run.out);
        ASSERT_GE(lines.size(), 3u) << run.out;
        const std::string shown = port.size() < 2 ? "COM1" : port;
        EXPECT_EQ(lines[lines.size() - 3], "Working on port '" + shown + "'");
        EXPECT_TRUE(std::regex_match(lines[lines.size() - 2], std::regex(R"(\* SerialConnect Error \[err=20[1-4]\])")))
            << lines[lines.size() - 2];
        ExpectTransmissionTimeLine(lines.back(), 0);
        EXPECT_TRUE(FileExists(dir.file("zebmap.log")));
        EXPECT_EQ(Log(), "");  // emptied by the access test, never written
    }
}

TEST_F(ProductionTest, ASlowlyReadingDeviceReceivesEveryByte) {
    // The device takes each byte a while after the host wrote it, so every
    // flush ahead of a byte meets earlier bytes still unread. Small records,
    // so the slow reader still answers within the 500 ms window.
    const std::string first = RandomBytes(600, 7);
    const std::string second = RandomBytes(600, 8);
    WriteMap(MapFile({MapRecord(5, first), MapRecord(6, second)}));

    const DeviceRun device = RunWithDevice(dir, {"--read-delay-us", "200"});

    EXPECT_EQ(device.run.status, 0) << device.run.out;
    EXPECT_EQ(device.Sent('H'), Concat({PutMessage(5, first), PutMessage(6, second), kExitCommand}));
    EXPECT_GE(device.SecondsBetweenHostBytes(0, PutMessage(5, first).size() - 1), 0.12);  // it did read slowly
    EXPECT_TRUE(Stored(5) == first);
    EXPECT_TRUE(Stored(6) == second);
    EXPECT_EQ(Log(), "100");
}

TEST_F(ProductionTest, ADeviceThatHangsUpMidRecordGivesClearMessagesAndNoFalseProgress) {
    const std::string first = RandomBytes(5000, 2);
    WriteMap(MapFile({MapRecord(1, first), MapRecord(2, RandomBytes(20000, 3)), MapRecord(3, "de")}));

    // The line drops 100 bytes into the second message.
    const DeviceRun device =
        RunWithDevice(dir, {"--hangup-after", std::to_string(PutMessage(1, first).size() + 100)}, "p", 30);

    EXPECT_FALSE(device.run.timed_out);
    EXPECT_EQ(device.run.status, 1);
    EXPECT_LT(device.run.seconds, 10);
    const std::string &out = device.run.out;
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(\* SerialSend on \[data\] Error -4[12]\n)"))) << out;
    EXPECT_NE(out.find("* SerialSend4B Error -1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("* SerialSend EXIT Fault !!\n"), std::string::npos) << out;
    const std::vector<std::string> lines = device.UploadLines();
    ASSERT_FALSE(lines.empty()) << out;
    for (const std::string &line : lines) EXPECT_EQ(line.find("block 3"), std::string::npos) << line;
    ExpectTransmissionTimeLine(lines.back(), 1000);

    // Only the first record was accepted (5008 of 25024 bytes): the log
    // says no more than that.
    EXPECT_EQ(Log(), "20");
    EXPECT_TRUE(Stored(1) == first);
    EXPECT_FALSE(FileExists(dir.file("store/block-00002.bin")));
}

TEST_F(ProductionTest, RecordsLargerThanThePtyAndTheReadBufferUploadIntact) {
    // A size that needs three bytes of the size field; a record five times
    // the ~18 KiB a pty holds, so a byte lost or reordered anywhere in a long
    // burst shows, and longer than the host's 64 KiB read buffer; and a record
    // after it that begins wherever the first ended in that buffer.
    const std::string first = RandomBytes(100000, 11);
    const std::string second = RandomBytes(20000, 12);
    WriteMap(MapFile({MapRecord(1, first), MapRecord(2, second)}));

    const DeviceRun device = RunWithDevice(dir, {}, "p", 120);

    EXPECT_EQ(device.run.status, 0) << device.run.out;
    EXPECT_TRUE(Stored(1) == first);
    EXPECT_TRUE(Stored(2) == second);
    EXPECT_EQ(ReadFile(dir.file("store/index.txt")),
              "1 100000 " + std::to_string(PlainSum(first)) + " block-00001.bin\n2 20000 " +
                  std::to_string(PlainSum(second)) + " block-00002.bin\n");
    EXPECT_EQ(Log(), "100");
}

}  // namespace
