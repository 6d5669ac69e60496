// The device command protocol and the operations on it, with the serial link
// on the in-memory libserialport and a scripted device behind it: the bytes
// on the wire, the messages, the progress log and the results.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdint>
#include <string>
#include <vector>

#include "device_transfer.h"
#include "fake_libserialport.h"
#include "model_device.h"
#include "platform_time.h"
#include "globals.h"
#include "serial_link.h"
#include "map_bytes.h"
#include "test_support.h"

using namespace testing_support;

namespace {

// The simulated device's model behind the fake link, noting what the
// progress log held as each put message began.
struct LoggingDevice : fakesp::ModelDevice {
    explicit LoggingDevice(devsim::Faults faults = {}) : ModelDevice(std::move(faults)) {
        on_put_start = [this] { log_at_put.push_back(ReadFile("zebmap.log")); };
    }
    std::vector<std::string> log_at_put;
};

// A device that accepts the first record and answers the second as scripted:
// a byte, or none at all (-1).
devsim::Faults SecondAnswer(int answer) {
    devsim::Faults faults;
    devsim::AnswerRule rule;
    rule.kind = answer < 0 ? devsim::AnswerRule::Kind::Silent : devsim::AnswerRule::Kind::Byte;
    rule.byte = static_cast<uint8_t>(answer < 0 ? 0 : answer);
    faults.answer_for_record[2] = rule;
    return faults;
}

// Every test runs in a fresh working directory with a fresh fake port.
class DeviceTransferTest : public ::testing::Test {
protected:
    void SetUp() override { fakesp::Reset(); }
    void TearDown() override { fakesp::Reset(); }  // no device hook outlives its test

    int Upload(const std::string &port_arg = "/dev/ttyUSB0") {
        int result = 0;
        out = Printed([&] { result = SendResourceZebmapFile(port_arg.c_str()); });
        return result;
    }
    void WriteMap(const std::string &bytes) { WriteFile(dir.file("zebmap.map"), bytes); }
    std::string Log() const { return ReadFile(dir.file("zebmap.log")); }

    TempDir dir;
    ScopedChdir here{dir.path()};
    std::string out;
};

// ---- record checksum ------------------------------------------------------

uint32_t ChecksumOf(const Bytes &data) {
    uint32_t checksum = 0;
    for (const unsigned char byte : data) checksum = ChecksumAdd(checksum, byte);
    return checksum;
}

TEST(ChecksumTest, IsThePlainSumOfTheBytesAsUnsignedValues) {
    EXPECT_EQ(ChecksumOf({}), 0u);
    EXPECT_EQ(ChecksumOf({0x61, 0x62, 0x63}), 294u);
    EXPECT_EQ(ChecksumOf({0xFF, 0xFF}), 510u);  // never -1
    EXPECT_EQ(ChecksumOf({13, 13}), 26u);
}

TEST(ChecksumTest, ResetsBeforeAddingOnceAbove0x7FFFFF00) {
    EXPECT_EQ(ChecksumAdd(0x7FFFFF00u, 0xFF), 0x7FFFFFFFu);  // at the bound: no reset
    EXPECT_EQ(ChecksumAdd(0x7FFFFF01u, 0x05), 5u);           // above it: reset, then add
    EXPECT_EQ(ChecksumAdd(0x7FFFFFFFu, 0x00), 0u);

    // 8421504 bytes 0xFF bring the sum to 0x7FFFFF80; one more byte 0x01
    // finds it above the bound and starts over.
    uint32_t checksum = 0;
    for (int i = 0; i < 8421504; ++i) checksum = ChecksumAdd(checksum, 0xFF);
    EXPECT_EQ(checksum, 0x7FFFFF80u);
    EXPECT_EQ(ChecksumAdd(checksum, 0x01), 1u);
}

// ---- map upload -----------------------------------------------------------

TEST_F(DeviceTransferTest, OneRecordGoesOutAsAPutMessageThenTheExitCommand) {
    WriteMap(MapFile({MapRecord(1, "abc")}));
    LoggingDevice device;

    EXPECT_EQ(Upload(), 0);

    EXPECT_EQ(fakesp::Written(),
              Concat({{0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03, 0x61, 0x62, 0x63, 0x00, 0x00, 0x01, 0x26}, kExitCommand}));
    EXPECT_EQ(out,
              "Working on port '/dev/ttyUSB0'\n"
              "Reading from block 1  -> size 3\n"
              "Sending data...\n"
              "* Received CheckSum response 105 [69]\n"
              "* CHECKSUM OK!\n"
              "* FLASH WRITE OK!\n"
              "* SerialSend EXIT [ok]\n");
    EXPECT_EQ(Log(), "100");
    EXPECT_EQ(device.log_at_put, std::vector<std::string>{"0"});
    EXPECT_FALSE(fakesp::PortOpen());  // closed at the end

    // A second between the answer and the exit command, on the program's clock.
    ASSERT_EQ(device.answered_ms.size(), 1u);
    EXPECT_EQ(device.arrival_ms[14] - device.answered_ms[0], 1000u);
}

TEST_F(DeviceTransferTest, ProgressIsTheTruncatedShareOfTheMapReadAfterEachAcceptedRecord) {
    // 1 + 10 + 12 = 23 bytes: 11 of 23 is 47.8%, written as 47.
    WriteMap(MapFile({MapRecord(1, "abc"), MapRecord(2, std::string("\x00\x0D\xFF\x80\x01", 5))}));
    LoggingDevice device;

    EXPECT_EQ(Upload(), 0);

    EXPECT_EQ(device.log_at_put, (std::vector<std::string>{"0", "47"}));
    EXPECT_EQ(Log(), "100");
    ASSERT_EQ(device.accepted.size(), 2u);
    EXPECT_EQ(device.accepted[0].checksum, 294u);
    EXPECT_EQ(device.accepted[1].checksum, 0x00u + 0x0D + 0xFF + 0x80 + 0x01);
    EXPECT_EQ(fakesp::Written(),
              Concat({PutMessage(1, "abc", 294), PutMessage(2, std::string("\x00\x0D\xFF\x80\x01", 5), 397), kExitCommand}));
    // The second message begins a second after the first was accepted.
    ASSERT_EQ(device.answered_ms.size(), 2u);
    EXPECT_EQ(device.arrival_ms[14] - device.answered_ms[0], 1000u);
}

std::vector<UploadProgress> told;
void NoteProgress(const UploadProgress &progress) { told.push_back(progress); }

TEST_F(DeviceTransferTest, TheObserverIsToldTheFiguresAfterEveryDataByteAndEveryAcceptedRecord) {
    WriteMap(MapFile({MapRecord(1, "abc"), MapRecord(2, std::string("\x00\x0D\xFF\x80\x01", 5))}));
    LoggingDevice device;
    told.clear();
    UploadOutcome outcome;
    Printed([&] { EXPECT_EQ(SendResourceZebmapFile("/dev/ttyUSB0", &outcome, NoteProgress), 0); });

    // The bytes are the map's gone through: its first line, the headers and
    // the terminators count, as the percent counts them.
    const struct {
        uint32_t bytes;
        uint32_t records;
        int block;
    } kTold[] = {{8, 0, 1},  {9, 0, 1},  {10, 0, 1}, {11, 1, 1}, {18, 1, 2}, {19, 1, 2},
                 {20, 1, 2}, {21, 1, 2}, {22, 1, 2}, {23, 2, 2}};
    ASSERT_EQ(told.size(), std::size(kTold));
    for (std::size_t i = 0; i < told.size(); ++i) {
        EXPECT_EQ(told[i].bytes_sent, kTold[i].bytes) << i;
        EXPECT_EQ(told[i].records_accepted, kTold[i].records) << i;
        EXPECT_EQ(told[i].block, kTold[i].block) << i;
        EXPECT_EQ(told[i].map_bytes, 23u) << i;
        EXPECT_EQ(told[i].map_records, 2u) << i;
    }
}

TEST_F(DeviceTransferTest, ARecordWithoutDataIsElevenBytesWithChecksumZero) {
    WriteMap(MapFile({MapRecord(0x1234, "")}));
    LoggingDevice device;

    EXPECT_EQ(Upload(), 0);

    EXPECT_EQ(fakesp::Written(), Concat({{0x01, 0x12, 0x34, 0, 0, 0, 0, 0, 0, 0, 0}, kExitCommand}));
    EXPECT_NE(out.find("Reading from block 4660  -> size 0\n"), std::string::npos);
    EXPECT_EQ(Log(), "100");
}

TEST_F(DeviceTransferTest, AMapWithoutRecordsSendsOnlyTheExitCommand) {
    for (const std::string &map : {std::string("\r"), std::string()}) {
        SCOPED_TRACE(map.size());
        fakesp::Reset();
        WriteMap(map);
        EXPECT_EQ(Upload(), 0);
        EXPECT_EQ(fakesp::Written(), kExitCommand);
        EXPECT_EQ(out, "Working on port '/dev/ttyUSB0'\n* SerialSend EXIT [ok]\n");
        EXPECT_EQ(Log(), "0");
    }
}

TEST_F(DeviceTransferTest, APortArgumentShorterThanTwoCharactersChoosesCOM1) {
    WriteMap(MapFile({}));
    for (const std::string &arg : {std::string(), std::string("x")}) {
        fakesp::Reset();
        EXPECT_EQ(Upload(arg), 0);
        EXPECT_EQ(fakesp::LastPortName(), "COM1");
        EXPECT_EQ(out.substr(0, 24), "Working on port 'COM1'\n*");
    }
    fakesp::Reset();
    Upload("ab");
    EXPECT_EQ(fakesp::LastPortName(), "ab");

    fakesp::Reset();
    Upload(std::string(300, 'p'));
    EXPECT_EQ(fakesp::LastPortName(), std::string(250, 'p'));
}

TEST_F(DeviceTransferTest, AnAnswerOtherThanOkEndsTheUploadAtOnceAndKeepsTheLog) {
    struct Case {
        int answer;
        std::string lines;
    };
    const Case cases[] = {
        {RESPONSE_KO_CHECKSUM, "* Received CheckSum response 121 [79]\n*ERR CHECKSUM FAILED!\n"},
        {RESPONSE_KO_FLASH, "* Received CheckSum response -119 [FFFFFF89]\n"},
        {0x00, "* Received CheckSum response 0 [0]\n"},
        {-1, "* SerialReceive Error -1\n"},
    };
    WriteMap(MapFile({MapRecord(1, "abc"), MapRecord(2, "defgh"), MapRecord(3, "ij")}));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.answer);
        fakesp::Reset();
        LoggingDevice device(SecondAnswer(c.answer));

        EXPECT_EQ(Upload(), -3);

        EXPECT_EQ(out,
                  "Working on port '/dev/ttyUSB0'\n"
                  "Reading from block 1  -> size 3\n"
                  "Sending data...\n"
                  "* Received CheckSum response 105 [69]\n"
                  "* CHECKSUM OK!\n"
                  "* FLASH WRITE OK!\n"
                  "Reading from block 2  -> size 5\n"
                  "Sending data...\n" +
                      c.lines + "* SerialSend EXIT [ok]\n");
        EXPECT_EQ(Log(), "34");  // 11 of 32 bytes: the value of the last accepted record
        EXPECT_EQ(fakesp::Written(), Concat({PutMessage(1, "abc", 294), PutMessage(2, "defgh", 510), kExitCommand}));
        // No pause after a refusal: the exit command follows at once, or
        // right after the 500 ms wait for an answer that never came.
        const uint64_t gap_ms = device.arrival_ms[14 + 16] - device.arrival_ms[14 + 16 - 1];
        if (c.answer < 0) {
            EXPECT_GT(gap_ms, 500u);
            EXPECT_LT(gap_ms, 600u);
        } else {
            EXPECT_EQ(gap_ms, 0u);
        }
    }
}

TEST_F(DeviceTransferTest, APortThatDoesNotOpenLeavesTheLogAlone) {
    WriteMap(MapFile({MapRecord(1, "abc")}));
    fakesp::SetResult("sp_open", SP_ERR_FAIL);

    EXPECT_EQ(Upload("/dev/ttyUSB7"), -11);

    EXPECT_EQ(out, "Working on port '/dev/ttyUSB7'\n* SerialConnect Error [err=302]\n");
    EXPECT_FALSE(FileExists(dir.file("zebmap.log")));
    EXPECT_TRUE(fakesp::Written().empty());
}

TEST_F(DeviceTransferTest, AMapThatIsMissingOrNotARegularFileIsNotOpened) {
    EXPECT_EQ(Upload(), -2);
    EXPECT_EQ(out, "");

    MakeDir(dir.file("zebmap.map"));
    EXPECT_EQ(Upload(), -2);
    rmdir(dir.file("zebmap.map").c_str());

    // A FIFO with no writer would block a plain open for ever.
    ASSERT_EQ(mkfifo(dir.file("zebmap.map").c_str(), 0600), 0);
    EXPECT_EQ(Upload(), -2);
    EXPECT_EQ(out, "");
    EXPECT_EQ(fakesp::CountCalls("sp_open"), 0u);
}

TEST_F(DeviceTransferTest, AFailedSendInsideARecordLetsTheRestOfTheRecordRun) {
    WriteMap(MapFile({MapRecord(1, "abc"), MapRecord(2, "de")}));
    // A device that answers whatever arrives once thirteen bytes are in.
    std::vector<uint64_t> arrival_ms;
    fakesp::SetDevice([&arrival_ms](unsigned char) {
        arrival_ms.push_back(MonotonicMs());
        if (fakesp::Written().size() == 13) fakesp::QueueRead({RESPONSE_OK});
    });
    fakesp::SetLastErrorMessage("line down");
    fakesp::SetResultOnCall("sp_blocking_write", 1, 0);  // CMD_PUT

    EXPECT_EQ(Upload(), -3);

    // Everything after CMD_PUT still went out and the answer was read; the
    // accepted record was logged and paused for, then the upload stopped.
    EXPECT_EQ(fakesp::Written(),
              Concat({{0x00, 0x01, 0x00, 0x00, 0x00, 0x03, 0x61, 0x62, 0x63, 0x00, 0x00, 0x01, 0x26}, kExitCommand}));
    EXPECT_EQ(out,
              "Working on port '/dev/ttyUSB0'\n"
              "Reading from block 1  -> size 3\n"
              "Error in sp_blocking_write: line down\n"
              "* SerialSend on [CMD_PUT] Error -42\n"
              "Sending data...\n"
              "* Received CheckSum response 105 [69]\n"
              "* CHECKSUM OK!\n"
              "* FLASH WRITE OK!\n"
              "* SerialSend EXIT [ok]\n");
    EXPECT_EQ(Log(), "55");  // 11 of 20 bytes
    ASSERT_EQ(arrival_ms.size(), 21u);
    EXPECT_EQ(arrival_ms[13] - arrival_ms[12], 1000u);
}

TEST_F(DeviceTransferTest, AFailedBlockOrSizeByteSkipsOnlyTheRestOfItsGroup) {
    WriteMap(MapFile({MapRecord(1, "abc")}));
    fakesp::SetDevice([](unsigned char) {});
    fakesp::SetResultOnCall("sp_blocking_write", 2, -1);  // first block byte
    fakesp::SetResultOnCall("sp_blocking_write", 4, -1);  // second size byte
    EXPECT_EQ(Upload(), -3);
    EXPECT_EQ(fakesp::Written(), Concat({{0x01, 0x00, 0x61, 0x62, 0x63, 0x00, 0x00, 0x01, 0x26}, kExitCommand}));
    EXPECT_NE(out.find("* SerialSend on [Block] Error -42\n"
                       "Error in sp_blocking_write: fake port error\n"
                       "* SerialSend on [Block] Error -42\n"
                       "Sending data...\n"
                       "* SerialReceive Error -1\n"),
              std::string::npos)
        << out;
}

TEST_F(DeviceTransferTest, AFailedDataByteEndsTheDataAndTheChecksumCoversOnlyWhatWentOut) {
    WriteMap(MapFile({MapRecord(1, "abcd"), MapRecord(2, "e")}));
    // The device takes the shortened message as whole once the checksum is in.
    fakesp::SetDevice([](unsigned char) {
        if (fakesp::Written().size() == 13) fakesp::QueueRead({RESPONSE_OK});
    });
    fakesp::SetResultOnCall("sp_blocking_write", 10, 0);  // 'c'

    EXPECT_EQ(Upload(), -3);

    EXPECT_EQ(fakesp::Written(), Concat({{0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x04, 0x61, 0x62, 0x00, 0x00, 0x00, 0xC3},
                                         kExitCommand}));
    EXPECT_NE(out.find("Sending data...\n"
                       "Error in sp_blocking_write: fake port error\n"
                       "* SerialSend on [data] Error -42\n"
                       "* Received CheckSum response 105 [69]\n"
                       "* CHECKSUM OK!\n"
                       "* FLASH WRITE OK!\n"
                       "* SerialSend EXIT [ok]\n"),
              std::string::npos)
        << out;
}

TEST_F(DeviceTransferTest, AChecksumThatCannotBeSentEndsTheUploadWithoutWaiting) {
    WriteMap(MapFile({MapRecord(1, "abc")}));
    fakesp::SetDevice([](unsigned char) {});
    fakesp::SetResultOnCall("sp_blocking_write", 12, 0);  // second checksum byte

    EXPECT_EQ(Upload(), -3);

    EXPECT_NE(out.find("Sending data...\n"
                       "Error in sp_blocking_write: fake port error\n"
                       "* SerialSend4B Error -42\n"
                       "* SerialSend4B Error -1\n"
                       "* SerialSend EXIT [ok]\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(fakesp::CountCalls("sp_blocking_read"), 0u);
}

TEST_F(DeviceTransferTest, AnExitCommandThatCannotBeSentIsAFailure) {
    WriteMap(MapFile({}));
    fakesp::SetResultOnCall("sp_blocking_write", 3, 0);
    EXPECT_EQ(Upload(), -3);
    EXPECT_EQ(out,
              "Working on port '/dev/ttyUSB0'\n"
              "Error in sp_blocking_write: fake port error\n"
              "* SerialSendSpecialCmd Error -42\n"
              "* SerialSend EXIT Fault !!\n");
    EXPECT_FALSE(fakesp::PortOpen());
}

TEST_F(DeviceTransferTest, AWrongByteWhereTheTerminatorBelongsEndsTheUploadAfterTheRecord) {
    std::string bad = MapRecord(1, "abc");
    bad.back() = 'X';
    WriteMap(MapFile({bad, MapRecord(2, "d")}));
    LoggingDevice device;

    EXPECT_EQ(Upload(), -3);

    EXPECT_NE(out.find("Sending data...\n"
                       "* ERROR: no terminator found on pos 4 : expected [13] but found [88])\n"
                       "* Received CheckSum response 105 [69]\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(fakesp::Written(), Concat({PutMessage(1, "abc", 294), kExitCommand}));
    EXPECT_EQ(Log(), "57");  // 11 of 19 bytes read when the record was accepted
}

TEST_F(DeviceTransferTest, AMapEndingRightAfterTheLastDataIsComplete) {
    WriteMap(MapFile({MapRecord(1, "abc"), MapRecord(2, "de", 2, false)}));
    LoggingDevice device;

    EXPECT_EQ(Upload(), 0);

    EXPECT_EQ(out.find("ERR:"), std::string::npos) << out;
    EXPECT_EQ(Log(), "100");
    EXPECT_EQ(fakesp::Written(), Concat({PutMessage(1, "abc", 294), PutMessage(2, "de", 201), kExitCommand}));
}

TEST_F(DeviceTransferTest, AFirstLineLongerThanItsTerminatorIsSkippedAsTheCheckSkipsIt) {
    // Not a map the builder writes, but one the check passes: its records
    // must reach the device exactly as the check read them.
    WriteMap("xy\r" + MapRecord(1, "abc"));
    LoggingDevice device;

    EXPECT_EQ(Upload(), 0);

    EXPECT_EQ(fakesp::Written(), Concat({PutMessage(1, "abc", 294), kExitCommand}));
    EXPECT_EQ(Log(), "100");

    // A map with no 13 at all has no record to begin: nothing but the exit
    // command goes out, and that is no success.
    fakesp::Reset();
    WriteMap(std::string(10, '\0'));
    EXPECT_EQ(Upload(), -3);
    EXPECT_EQ(fakesp::Written(), kExitCommand);
    EXPECT_NE(out.find("ERR: Unattended end of file in the first line\n"), std::string::npos) << out;
    EXPECT_EQ(Log(), "0");
}

TEST_F(DeviceTransferTest, AMapCutInsideARecordsDataIsNotASuccess) {
    WriteMap(MapFile({MapRecord(1, "ab", 5, false)}));
    fakesp::SetDevice([](unsigned char) {
        if (fakesp::Written().size() == 13) fakesp::QueueRead({RESPONSE_OK});
    });

    EXPECT_EQ(Upload(), -3);

    EXPECT_NE(out.find("* FLASH WRITE OK!\n"
                       "ERR: Unattended end of file after read 2 bytes [of 5]\n"
                       "* SerialSend EXIT [ok]\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(Log(), "100");  // every byte of the file was read
}

TEST_F(DeviceTransferTest, ARecordWithACutHeaderOrANegativeSizeGetsNoPutMessage) {
    LoggingDevice device;
    WriteMap(MapFile({MapRecord(1, "abc"), MapRecord(2, "de").substr(0, 4)}));
    EXPECT_EQ(Upload(), -3);
    EXPECT_EQ(fakesp::Written(), Concat({PutMessage(1, "abc", 294), kExitCommand}));
    EXPECT_NE(out.find("* FLASH WRITE OK!\n"
                       "ERR: Unattended end of file inside a record header\n"
                       "* SerialSend EXIT [ok]\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(Log(), "73");  // 11 of 15 bytes

    fakesp::Reset();
    WriteMap(MapFile({MapRecord(7, "abc", -2), MapRecord(8, "de")}));
    EXPECT_EQ(Upload(), -3);
    EXPECT_EQ(fakesp::Written(), kExitCommand);
    EXPECT_EQ(out,
              "Working on port '/dev/ttyUSB0'\n"
              "Reading from block 7  -> size -2\n"
              "* ERROR: invalid size -2 on block 7\n"
              "* SerialSend EXIT [ok]\n");
    EXPECT_EQ(Log(), "0");
}

// ---- ping -----------------------------------------------------------------

TEST_F(DeviceTransferTest, APingAnsweredAtOnceSucceedsSilently) {
    fakesp::SetDevice([](unsigned char) {
        if (fakesp::Written().size() == 8) fakesp::QueueRead({CMD_PING});
    });
    ASSERT_EQ(SerialConnect("ping"), 0);
    int result = -1;
    EXPECT_EQ(Printed([&] { result = PingWait(); }), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(fakesp::Written(), Bytes(8, CMD_PING));
}

TEST_F(DeviceTransferTest, APingAnsweredWithAnotherByteIsRetriedAfterASecond) {
    fakesp::SetDevice([](unsigned char) {
        const std::size_t n = fakesp::Written().size();
        if (n == 8) fakesp::QueueRead({RESPONSE_OK});
        if (n == 16) fakesp::QueueRead({RESPONSE_KO_FLASH});
        if (n == 24) fakesp::QueueRead({CMD_PING});
    });
    ASSERT_EQ(SerialConnect("ping"), 0);
    int result = -1;
    const uint64_t start_ms = MonotonicMs();
    EXPECT_EQ(Printed([&] { result = PingWait(); }),
              "* ping: received unattended char 105 [69]\n"
              "* Ping retry 1\n"
              "* ping: received unattended char -119 [FFFFFF89]\n"
              "* Ping retry 2\n");
    EXPECT_EQ(result, 0);
    const uint64_t took_ms = MonotonicMs() - start_ms;
    EXPECT_GE(took_ms, 2000u);
    EXPECT_LT(took_ms, 2100u);
}

TEST_F(DeviceTransferTest, APingAnswerBeforeTheLastPingByteIsDiscarded) {
    fakesp::SetDevice([](unsigned char) {
        const std::size_t n = fakesp::Written().size();
        if (n == 1) fakesp::QueueRead({CMD_PING});  // too early: the next byte's flush drops it
        if (n == 16) fakesp::QueueRead({CMD_PING});
    });
    ASSERT_EQ(SerialConnect("ping"), 0);
    int result = -1;
    EXPECT_EQ(Printed([&] { result = PingWait(); }), "* ping: nothing received\n* Ping retry 1\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(fakesp::DiscardedBytes(), 1u);
}

// ---- erase ----------------------------------------------------------------

TEST_F(DeviceTransferTest, EraseSendsEightEraseBytesAndReadsNothing) {
    int result = -1;
    out = Printed([&] { result = SendResetCommand("/dev/ttyS3"); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "Working on port '/dev/ttyS3'\n* SerialSend ERASE [ok]\n");
    EXPECT_EQ(fakesp::Written(), Bytes(8, CMD_ERASE));
    EXPECT_EQ(fakesp::CountCalls("sp_blocking_read"), 0u);
    EXPECT_TRUE(fakesp::PortOpen());  // released with the process

    fakesp::Reset();
    fakesp::SetResultOnCall("sp_blocking_write", 3, 0);
    out = Printed([&] { result = SendResetCommand(""); });
    EXPECT_EQ(result, -1);  // an erase that did not go out is not a success
    EXPECT_EQ(out,
              "Working on port 'COM1'\n"
              "Error in sp_blocking_write: fake port error\n"
              "* SerialSendSpecialCmd Error -42\n"
              "* SerialSend ERASE Fault !!\n");

    fakesp::Reset();
    fakesp::SetResult("sp_get_port_by_name", SP_ERR_ARG);
    out = Printed([&] { result = SendResetCommand("nope"); });
    EXPECT_EQ(result, -11);
    EXPECT_EQ(out, "Working on port 'nope'\n* SerialConnect Error [err=201]\n");
}

// ---- screenshot download --------------------------------------------------

class GetResourceTest : public DeviceTransferTest {
protected:
    int Get(const std::string &port_arg = "/dev/ttyS3") {
        int result = 0;
        out = Printed([&] { result = GetResource(port_arg.c_str()); });
        return result;
    }
    // A device that streams these bytes once the request is complete.
    static void StreamAfterRequest(const Bytes &bytes) {
        fakesp::SetDevice([bytes](unsigned char) {
            if (fakesp::Written().size() == 7) fakesp::QueueRead(bytes);
        });
    }
    std::string Screenshot() const { return ReadFile(dir.file("test.bgra")); }
};

Bytes TestPicture() {
    Bytes picture(static_cast<std::size_t>(SCREENSHOT_SIZE));
    for (std::size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<unsigned char>((i * 7) ^ (i >> 9));
    picture[0] = 0x00;
    picture[1] = 0x0A;
    picture[2] = 0x0D;
    picture[3] = 0x1A;
    return picture;
}

TEST_F(GetResourceTest, AWholeScreenshotIsSavedByteForByte) {
    fakesp::SetRecording(false);
    const Bytes picture = TestPicture();
    StreamAfterRequest(picture);

    EXPECT_EQ(Get(), 0);

    EXPECT_EQ(fakesp::Written(), (Bytes{0x02, 0x07, 0xD0, 0x00, 0x07, 0xF8, 0x00}));
    EXPECT_EQ(out, "GetResource::Working on port '/dev/ttyS3'\n* SerialReceive Error -1\n");
    EXPECT_TRUE(ToBytes(Screenshot()) == picture);
}

TEST_F(GetResourceTest, AShortScreenshotIsKeptButNotASuccess) {
    StreamAfterRequest({0x00, 0x0A, 0x0D});
    EXPECT_EQ(Get(), -5);
    EXPECT_EQ(out,
              "GetResource::Working on port '/dev/ttyS3'\n"
              "* SerialReceive Error -1\n"
              "* Received 3 bytes of 522240 requested\n");
    EXPECT_EQ(Screenshot(), std::string("\x00\x0A\x0D", 3));

    fakesp::Reset();
    EXPECT_EQ(Get(""), -5);  // a silent device
    EXPECT_EQ(out,
              "GetResource::Working on port 'COM1'\n"
              "* SerialReceive Error -1\n"
              "* Received 0 bytes of 522240 requested\n");
    EXPECT_TRUE(FileExists(dir.file("test.bgra")));
    EXPECT_EQ(Screenshot(), "");
}

TEST_F(GetResourceTest, ARequestThatFailsLeavesAnEarlierScreenshotUntouched) {
    struct Case {
        std::size_t failing_write;
        int result;
        const char *line;
    };
    const Case cases[] = {
        {1, -1, "* SerialSend on [CMD_GET] Error -42\n"},
        {3, -2, "* SerialSend on [Block] Error -42\n"},
        {6, -3, "* SerialSend on [Block] Error -42\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.failing_write);
        fakesp::Reset();
        WriteFile(dir.file("test.bgra"), "earlier");
        fakesp::SetResultOnCall("sp_blocking_write", c.failing_write, 0);
        EXPECT_EQ(Get(), c.result);
        EXPECT_EQ(out, std::string("GetResource::Working on port '/dev/ttyS3'\n"
                                   "Error in sp_blocking_write: fake port error\n") +
                           c.line);
        EXPECT_EQ(fakesp::Written().size(), c.failing_write - 1);
        EXPECT_EQ(Screenshot(), "earlier");
    }

    fakesp::Reset();
    fakesp::SetResult("sp_open", SP_ERR_SUPP);
    EXPECT_EQ(Get(), -11);
    EXPECT_EQ(out, "GetResource::Working on port '/dev/ttyS3'\n* SerialConnect Error [err=304]\n");
    EXPECT_EQ(Screenshot(), "earlier");
}

TEST_F(GetResourceTest, AScreenshotFileThatCannotBeWrittenIsReported) {
    MakeDir(dir.file("test.bgra"));
    StreamAfterRequest({1, 2, 3});
    EXPECT_EQ(Get(), -1);
    EXPECT_EQ(out, "GetResource::Working on port '/dev/ttyS3'\n* ERROR * Couldn't create the file test.bgra\n");
    EXPECT_EQ(fakesp::Written().size(), 7u);  // the request had gone out
    rmdir(dir.file("test.bgra").c_str());

    // The bytes are buffered: only the close finds the disk full.
    fakesp::Reset();
    ASSERT_EQ(symlink("/dev/full", dir.file("test.bgra").c_str()), 0);
    StreamAfterRequest({1, 2, 3});
    EXPECT_EQ(Get(), -4);
    EXPECT_EQ(out,
              "GetResource::Working on port '/dev/ttyS3'\n* SerialReceive Error -1\n"
              "* ERROR * writing 'test.bgra'\n* Received 3 bytes of 522240 requested\n");
}

}  // namespace
