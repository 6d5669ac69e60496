// The live progress line and the port hint, with the terminal and the clock
// replaced: what is written, when it is redrawn, and what it says.
#include "operator_display.h"
#include "resource_map.h"

#include <gtest/gtest.h>

#include <string>

#include "fake_libserialport.h"
#include "test_support.h"

namespace {

using testing_support::TempDir;
using testing_support::WriteFile;

std::string g_written;
double g_now_ms = 0;
int g_columns = 0;

void Capture(const char *text, std::size_t length) { g_written.append(text, length); }
double FakeNow() { return g_now_ms; }
int FakeColumns() { return g_columns; }

class OperatorDisplay : public ::testing::Test {
protected:
    void SetUp() override { UseTerminal(true); }
    void TearDown() override { SetOperatorDisplayIo(DefaultOperatorDisplayIo()); }

    static void UseTerminal(bool live) {
        g_written.clear();
        g_now_ms = 10000;
        g_columns = 0;
        OperatorDisplayIo io;
        io.live = live;
        io.write = Capture;
        io.now_ms = FakeNow;
        io.columns = FakeColumns;
        SetOperatorDisplayIo(io);
    }

    // What was written since the last call.
    static std::string Take() {
        std::string taken;
        taken.swap(g_written);
        return taken;
    }

    // The text of the last drawing in what was written.
    static std::string LastLine(const std::string &written) {
        const auto start = written.rfind('\r');
        const auto end = written.rfind("\033[K");
        if (start == std::string::npos || end == std::string::npos || end < start) return "";
        return written.substr(start + 1, end - start - 1);
    }
};

TEST_F(OperatorDisplay, NothingIsWrittenWhenStandardErrorIsNoTerminal) {
    UseTerminal(false);
    ProgressBegin(2015, 2);
    for (uint32_t sent = 1; sent <= 2015; ++sent) {
        g_now_ms += 1;
        ProgressUpdate(sent, sent / 1008);
    }
    ProgressHide();
    ProgressEnd();
    DownloadBegin(522240);
    DownloadUpdate(100);
    DownloadEnd();
    EXPECT_EQ(g_written, "");
}

TEST_F(OperatorDisplay, UploadLineIsRateLimitedHiddenOnRequestAndClearedAtTheEnd) {
    ProgressBegin(2015, 2);
    EXPECT_EQ(Take(), "") << "the record's own lines come before the first byte";

    ProgressUpdate(1, 0);
    const std::string first = Take();
    EXPECT_EQ(first.front(), '\r');
    EXPECT_EQ(first.substr(first.size() - 3), "\033[K");
    EXPECT_EQ(first.find('\n'), std::string::npos);

    // Bytes every millisecond: one drawing per 100 ms, not one per byte.
    int drawings = 0;
    for (uint32_t sent = 2; sent <= 1001; ++sent) {
        g_now_ms += 1;
        ProgressUpdate(sent, 0);
        if (!Take().empty()) ++drawings;
    }
    EXPECT_GE(drawings, 9);
    EXPECT_LE(drawings, 11);

    // An accepted record shows at once.
    g_now_ms += 5;
    ProgressUpdate(1008, 1);
    EXPECT_NE(LastLine(Take()).find("1 of 2 records"), std::string::npos);

    ProgressHide();
    EXPECT_EQ(Take(), "\r\033[K");
    ProgressHide();
    EXPECT_EQ(Take(), "") << "a hidden line is not cleared twice";

    // Hidden, the next update draws again without waiting for its turn.
    g_now_ms += 1;
    ProgressUpdate(1009, 1);
    EXPECT_FALSE(LastLine(Take()).empty());

    ProgressEnd();
    EXPECT_EQ(Take(), "\r\033[K");
    ProgressUpdate(1010, 1);
    ProgressEnd();
    EXPECT_EQ(Take(), "") << "updates after the end draw nothing";
}

TEST_F(OperatorDisplay, SpeedAndTimeLeftLeaveThePausesOutOfTheLineRate) {
    // Two records of 1000 bytes: 1 + 2 * (6 + 1000 + 1) = 2015 map bytes,
    // one byte a millisecond on the line, one second of pause per record.
    ProgressBegin(2015, 2);
    uint32_t sent = 1;
    auto send_record = [&](uint32_t records_before) {
        sent += 6;
        for (int i = 0; i < 1000; ++i) {
            g_now_ms += 1;
            ProgressUpdate(++sent, records_before);
        }
        sent += 1;  // the terminator is read, never sent
    };
    send_record(0);
    g_now_ms += 3;  // checksum and answer
    ProgressUpdate(sent, 1);
    g_now_ms += 1000;  // the pause

    // 300 bytes into the second record: 1315 map bytes in 1300 ms of line
    // time (the 6 header bytes and the terminator ride along). Counting the
    // pause would halve the speed.
    sent += 6;
    for (int i = 0; i < 299; ++i) {
        g_now_ms += 1;
        ProgressUpdate(++sent, 1);
    }
    ProgressHide();
    Take();
    g_now_ms += 1;
    ProgressUpdate(++sent, 1);
    EXPECT_EQ(LastLine(Take()), "upload  65%  1.3 KiB of 2.0 KiB  1 of 2 records  1012 B/s  0:02 left");
}

TEST_F(OperatorDisplay, UploadLineText) {
    EXPECT_EQ(FormatUploadLine(1007, 2015, 1, 2, 1000), "upload  49%  1007 B of 2.0 KiB  1 of 2 records  1000 B/s  0:02 left");
    EXPECT_EQ(FormatUploadLine(7, 2015, 0, 2, 0), "upload   0%  7 B of 2.0 KiB  0 of 2 records  --- B/s  --:-- left")
        << "no speed yet, no guess";
    EXPECT_EQ(FormatUploadLine(2015, 2015, 1, 2, 0), "upload 100%  2.0 KiB of 2.0 KiB  1 of 2 records  --- B/s  0:01 left")
        << "the last pause is still to come";
    EXPECT_EQ(FormatUploadLine(5u << 20, 10u << 20, 3, 9, 11520),
              "upload  50%  5.00 MiB of 10.00 MiB  3 of 9 records  11.2 KiB/s  7:41 left");
    EXPECT_EQ(FormatUploadLine(0, 0, 0, 0, 0), "upload 100%  0 B of 0 B  0 of 0 records  --- B/s  0:00 left");
}

TEST_F(OperatorDisplay, LineIsCutToTheTerminalWidth) {
    g_columns = 20;
    ProgressBegin(2015, 2);
    ProgressUpdate(10, 0);
    EXPECT_EQ(LastLine(Take()), "upload   0%  10 B o");
}

TEST_F(OperatorDisplay, DownloadLineShowsTheBytesReceivedSoFar) {
    DownloadBegin(522240);
    EXPECT_EQ(LastLine(Take()), "download  0 B of 510.0 KiB    0%  --- B/s  --:-- left")
        << "drawn at once: nothing else is printed while the device sends";
    for (uint32_t received = 1; received <= 6000; ++received) {
        if (received % 12 == 0) g_now_ms += 1;  // 12 bytes a millisecond
        DownloadUpdate(received);
    }
    EXPECT_EQ(LastLine(Take()), "download  5.9 KiB of 510.0 KiB    1%  11.7 KiB/s  0:43 left");
    DownloadEnd();
    EXPECT_EQ(Take(), "\r\033[K");

    EXPECT_EQ(FormatDownloadLine(600000, 522240, 0), "download  585.9 KiB of 510.0 KiB  100%  --- B/s")
        << "more than requested: no time left to guess";
}

TEST(CountMapRecords, WalksTheRecordHeadersLikeTheUpload) {
    TempDir dir;
    const std::string two = std::string("\r") + std::string("\x00\x01\x00\x00\x00\x03", 6) + "abc\r" +
                            std::string("\x00\x02\x00\x00\x00\x05", 6) + "defgh\r";
    WriteFile(dir.file("two.map"), two);
    EXPECT_EQ(CountMapRecords(dir.file("two.map").c_str()), 2u);

    WriteFile(dir.file("cut.map"), two.substr(0, 14));  // second record's header cut
    EXPECT_EQ(CountMapRecords(dir.file("cut.map").c_str()), 2u);

    WriteFile(dir.file("short.map"), two.substr(0, 8));  // first record's data cut
    EXPECT_EQ(CountMapRecords(dir.file("short.map").c_str()), 1u);

    const std::string negative = std::string("\r") + std::string("\x00\x01\xff\xff\xff\xff", 6) + two.substr(1);
    WriteFile(dir.file("negative.map"), negative);
    EXPECT_EQ(CountMapRecords(dir.file("negative.map").c_str()), 1u) << "a negative size takes the rest";

    WriteFile(dir.file("empty.map"), "");
    WriteFile(dir.file("lead.map"), "\r");
    EXPECT_EQ(CountMapRecords(dir.file("empty.map").c_str()), 0u);
    EXPECT_EQ(CountMapRecords(dir.file("lead.map").c_str()), 0u);
    EXPECT_EQ(CountMapRecords(dir.file("missing.map").c_str()), 0u);
}

TEST(PortHint, NamesThePortsThatExistOrSaysTheNamedOneIsTaken) {
    EXPECT_EQ(FormatPortHint("COM1", false, {"/dev/ttyUSB0", "/dev/ttyS0"}, true),
              "hint: available serial ports: /dev/ttyUSB0, /dev/ttyS0\n");
    EXPECT_EQ(FormatPortHint("COM1", false, {}, true), "hint: no serial ports found\n");
    EXPECT_EQ(FormatPortHint("COM1", false, {}, false), "hint: the serial ports could not be listed\n");
    EXPECT_EQ(FormatPortHint("ttyUSB0", false, {"/dev/ttyS0", "/dev/ttyUSB0"}, true),
              "hint: did you mean /dev/ttyUSB0? available serial ports: /dev/ttyS0, /dev/ttyUSB0\n");
    EXPECT_EQ(FormatPortHint("/dev/ttyUSB0", true, {"/dev/ttyUSB0"}, true),
              "hint: /dev/ttyUSB0 exists but could not be opened: another program may be using it, or it needs"
              " permission; serial ports: /dev/ttyUSB0\n");
    EXPECT_EQ(FormatPortHint("/dev/pts/\033[2J", true, {}, true),
              "hint: /dev/pts/?[2J exists but could not be opened: another program may be using it, or it needs"
              " permission\n")
        << "no escape sequence from the command line reaches the terminal";
    // Refused for want of permission: who may open it instead of a guess.
    EXPECT_EQ(FormatPortHint("/dev/ttyUSB0", true, {"/dev/ttyUSB0"}, true,
                             "only the group dialout may (sudo usermod -aG dialout ann, then log in again)"),
              "hint: /dev/ttyUSB0 exists but this user may not open it: only the group dialout may (sudo usermod -aG"
              " dialout ann, then log in again); serial ports: /dev/ttyUSB0\n");
}

TEST_F(OperatorDisplay, PortHintAsksTheLinkLibraryAndIsPrintedAlsoWithoutTerminal) {
    UseTerminal(false);
    fakesp::Reset();
    PrintPortHint("COM1", 202);
    EXPECT_EQ(Take(), "hint: no serial ports found\n");
    EXPECT_EQ(fakesp::CountCalls("sp_list_ports"), 1u);
    EXPECT_EQ(fakesp::CountCalls("sp_free_port_list"), 1u);

    fakesp::Reset();
    fakesp::SetResult("sp_list_ports", SP_ERR_FAIL);
    PrintPortHint("COM1", 202);
    EXPECT_EQ(Take(), "hint: the serial ports could not be listed\n");
    EXPECT_EQ(fakesp::CountCalls("sp_free_port_list"), 0u) << "nothing to free when the listing failed";

    // A device file that exists but refused opening: busy, or forbidden.
    fakesp::Reset();
    PrintPortHint("/dev/null", 302);
    EXPECT_EQ(Take(), "hint: /dev/null exists but could not be opened: another program may be using it, or it needs"
                      " permission\n");
    PrintPortHint("/dev/null", 411);
    EXPECT_EQ(Take(), "hint: no serial ports found\n") << "opened but not configured: not a busy port";
}

TEST_F(OperatorDisplay, PortHintNeverSharesTheRowWithALiveLine) {
    fakesp::Reset();
    DownloadBegin(100);
    Take();
    PrintPortHint("COM1", 202);
    EXPECT_EQ(Take(), "\r\033[Khint: no serial ports found\n");
}

}  // namespace
