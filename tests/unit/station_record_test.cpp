// The station's record line, its reasons, the events between its processes
// and the append that must never leave half a line.
#include <gtest/gtest.h>

#include <cerrno>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "device_record.h"
#include "record_file.h"
#include "sha256.h"
#include "station_events.h"
#include "system_error.h"
#include "test_support.h"

namespace {

using testing_support::ReadFile;
using testing_support::TempDir;

DeviceRun FailedRun(UploadFailure failure, int block = -1, unsigned char answer = 0) {
    DeviceRun run;
    run.device = 3;
    run.outcome.failure = failure;
    run.outcome.failed_block = block;
    run.outcome.answer = answer;
    return run;
}

TEST(StationRecord, EveryWayARunEndsHasItsReason) {
    struct Row {
        DeviceRun run;
        const char *reason;
    };
    DeviceRun ok;
    ok.ok = true;
    DeviceRun absent;
    absent.present = false;
    DeviceRun no_port = absent;
    no_port.port_failure = "No such file or directory";
    const Row rows[] = {
        {ok, ""},
        {absent, "no device"},
        {no_port, "no port: No such file or directory"},
        {FailedRun(UploadFailure::kRefused, 2, 0x79), "refused: answer 0x79"},
        {FailedRun(UploadFailure::kRefused, 1, 0x89), "refused: answer 0x89"},
        {FailedRun(UploadFailure::kNoAnswer, 1), "no answer"},
        {FailedRun(UploadFailure::kSendError, 1), "link error"},
        {FailedRun(UploadFailure::kNoPort), "link error"},
        {FailedRun(UploadFailure::kExitNotSent), "link error"},
        {FailedRun(UploadFailure::kDeviceGone, 4), "device gone"},
        {FailedRun(UploadFailure::kMapFraming, 1), "map error"},
        {FailedRun(UploadFailure::kMapUnreadable), "map error"},
        {FailedRun(UploadFailure::kInterrupted), "interrupted"},
        // A failed result with nothing noted is still a failure.
        {FailedRun(UploadFailure::kNone), "link error"},
    };
    for (const Row &row : rows) EXPECT_EQ(FailureReason(row.run), row.reason);
}

TEST(StationRecord, TheLineHoldsTheFieldsInOrderAndStaysValidJsonWhateverTheNames) {
    StationFacts facts{"line\"7\\", Sha256Hex("abc"), 2, 515};
    DeviceRun run = FailedRun(UploadFailure::kRefused, 2, 0x79);
    run.outcome.records_accepted = 1;
    run.seconds = 2.5;
    run.has_adapter_serial = true;
    run.adapter_serial = "A\x01\xc3\xa9";
    run.device_path = "/dev/ttyUSB3";
    EXPECT_EQ(FormatRecordLine("2026-12-07T15:52:25.123Z", facts, "/dev/tty\n", "Fixture \"1\"", run),
              "{\"time\":\"2026-12-07T15:52:25.123Z\",\"station\":\"line\\\"7\\\\\",\"port\":\"/dev/tty\\n\","
              "\"fixture\":\"Fixture \\\"1\\\"\",\"device_path\":\"/dev/ttyUSB3\",\"adapter_serial\":\"A\\u0001\xc3\xa9\",\"device\":3,"
              "\"map_sha256\":\"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\","
              "\"map_records\":2,\"map_bytes\":515,\"records_accepted\":1,\"result\":\"failed\","
              "\"failed_block\":2,\"reason\":\"refused: answer 0x79\",\"seconds\":2.500}\n");

    // Text comes back as it went in: a port named in UTF-8 reads back the
    // same; bytes that are not UTF-8 become U+FFFD, and the line stays JSON.
    for (const auto &[port, read_back] : {std::pair<std::string, std::string>{"fixture-\xc3\xa9" "1", "fixture-\xc3\xa9" "1"},
                                          {"COM\xff\xc3", "COM\xef\xbf\xbd\xef\xbf\xbd"}}) {
        const auto parsed = nlohmann::json::parse(FormatRecordLine("t", facts, port, port, run), nullptr, false);
        ASSERT_FALSE(parsed.is_discarded()) << port;
        EXPECT_EQ(parsed["port"], read_back);
        EXPECT_EQ(parsed["fixture"], read_back);
        EXPECT_EQ(parsed["station"], facts.station);
    }
    EXPECT_EQ(FormatResultLine("/dev/tty", run), "/dev/tty 3 failed 2.5 refused: answer 0x79\n");

    DeviceRun ok;
    ok.device = 1;
    ok.ok = true;
    ok.outcome.records_accepted = 2;
    ok.outcome.failed_block = 7;  // left from nothing: an ok run has no failed block
    const std::string line = FormatRecordLine("t", facts, "p", ok);
    EXPECT_NE(line.find("\"device_path\":null,\"adapter_serial\":null,"), std::string::npos) << line;
    EXPECT_NE(line.find("\"result\":\"ok\",\"failed_block\":null,\"reason\":null,"), std::string::npos) << line;
    EXPECT_EQ(FormatResultLine("p", ok), "p 1 ok 0.0 -\n");
    EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(StationRecord, TimeIsUtcWithMilliseconds) {
    const std::string time = UtcTimestamp();
    ASSERT_EQ(time.size(), 24u) << time;
    EXPECT_EQ(time[10], 'T');
    EXPECT_EQ(time[19], '.');
    EXPECT_EQ(time.back(), 'Z');
}

TEST(StationEvents, AFinishedRunCrossesThePipeWhole) {
    StationEvent sent;
    sent.kind = EventKind::kFinished;
    sent.port = 2;
    sent.run = FailedRun(UploadFailure::kDeviceGone, 300);
    sent.run.outcome.records_accepted = 299;
    sent.run.outcome.map_bytes = 70000;
    sent.run.seconds = 12.25;
    sent.run.has_adapter_serial = true;
    sent.run.adapter_serial = "FT 12 34";
    sent.run.device_path = "/dev/my port";
    sent.run.port_failure = "No such file: or directory";
    const std::string line = EncodeEvent(sent);
    ASSERT_EQ(line.back(), '\n');
    StationEvent got;
    ASSERT_TRUE(DecodeEvent(line.substr(0, line.size() - 1), &got)) << line;
    EXPECT_EQ(got.kind, EventKind::kFinished);
    EXPECT_EQ(got.port, 2);
    EXPECT_EQ(FormatRecordLine("t", {}, "p", got.run), FormatRecordLine("t", {}, "p", sent.run));
    EXPECT_EQ(got.run.port_failure, sent.run.port_failure);

    StationEvent progress;
    progress.kind = EventKind::kProgress;
    progress.port = 1;
    progress.text = "upload  45%\nsecond line";
    ASSERT_TRUE(DecodeEvent(EncodeEvent(progress).substr(0, EncodeEvent(progress).size() - 1), &got));
    EXPECT_EQ(got.text, "upload  45% second line");

    for (const char *garbage : {"", "D 1 2", "Q 1 0", "D 0 1 1 1 99 0 0 0 0 -1 0 1.0 0: 0: -",
                                 "D 0 1 1 1 1 0 0 0 0 -1 0 1.0 9:/dev/tty 0: -", "W x"}) {
        EXPECT_FALSE(DecodeEvent(garbage, &got)) << garbage;
    }
}

// A file system that is full, and the code it gives: Wine shows Linux's
// /dev/full as a file on its drive Z:.
#ifdef _WIN32
constexpr const char kFullDisk[] = "Z:\\dev\\full";
constexpr int kDiskFull = 112;  // ERROR_DISK_FULL
#else
constexpr const char kFullDisk[] = "/dev/full";
constexpr int kDiskFull = ENOSPC;
#endif

TEST(StationRecord, AppendWritesWholeLinesOrSaysWhyNot) {
    TempDir dir;
    const std::string path = dir.file("station.jsonl");
    {
        RecordFile records;
        ASSERT_EQ(OpenRecordFile(path, &records), 0);
        EXPECT_EQ(AppendRecordLine(records, "{\"a\":1}\n"), 0);
        EXPECT_EQ(AppendRecordLine(records, "{\"b\":2}\n"), 0);
    }
    {
        // Appended to what is there, never over it.
        RecordFile records;
        ASSERT_EQ(OpenRecordFile(path, &records), 0);
        EXPECT_EQ(AppendRecordLine(records, "{\"c\":3}\n"), 0);
    }
    EXPECT_EQ(ReadFile(path), "{\"a\":1}\n{\"b\":2}\n{\"c\":3}\n");

    RecordFile full;
    ASSERT_EQ(OpenRecordFile(kFullDisk, &full), 0);
    const int err = AppendRecordLine(full, "{\"a\":1}\n");
    EXPECT_EQ(err, kDiskFull) << SystemErrorText(err);

    RecordFile folder;
    EXPECT_NE(OpenRecordFile(dir.path(), &folder), 0);
}

}  // namespace
