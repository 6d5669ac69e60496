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

// A run the station's next start records from its journal.
DeviceRun Stopped() {
    DeviceRun run;
    run.device = 3;
    run.stopped_during_upload = true;
    return run;
}

DeviceRun ReadBack(UploadFailure failure, uint32_t at, uint32_t of) {
    DeviceRun run = FailedRun(failure, 2);
    run.outcome.read_back_at = at;
    run.outcome.read_back_of = of;
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
        {Stopped(), "station stopped during the upload"},
        {ReadBack(UploadFailure::kReadBackDiffers, 17, 0), "read back differs at byte 17"},
        {ReadBack(UploadFailure::kReadBackShort, 120, 300), "read back 120 of 300 bytes"},
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
    run.id = "0123456789abcdef-0-3";
    run.started = "2026-12-07T15:52:22.623Z";
    EXPECT_EQ(FormatRecordLine("2026-12-07T15:52:25.123Z", facts, "/dev/tty\n", "Fixture \"1\"", run),
              "{\"id\":\"0123456789abcdef-0-3\",\"time\":\"2026-12-07T15:52:25.123Z\","
              "\"started\":\"2026-12-07T15:52:22.623Z\",\"station\":\"line\\\"7\\\\\",\"port\":\"/dev/tty\\n\","
              "\"fixture\":\"Fixture \\\"1\\\"\",\"device_path\":\"/dev/ttyUSB3\",\"adapter_serial\":\"A\\u0001\xc3\xa9\",\"device\":3,"
              "\"map_sha256\":\"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\","
              "\"map_records\":2,\"map_bytes\":515,\"records_accepted\":1,\"result\":\"failed\","
              "\"failed_block\":2,\"reason\":\"refused: answer 0x79\",\"serial\":null,\"attempts\":0,"
              "\"attempt_reasons\":[],\"seconds\":2.500}\n");

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

// Every field of an event through its line and back, every kind once.
TEST(StationEvents, EveryKindCrossesThePipeWhole) {
    DeviceRun finished = FailedRun(UploadFailure::kRefused, 300, 0x89);
    finished.outcome.records_accepted = 299;
    finished.outcome.map_records = 400;
    finished.outcome.map_bytes = 70000;
    finished.outcome.bytes_sent = 65001;
    finished.seconds = 12.25;
    finished.has_adapter_serial = true;
    finished.adapter_serial = "FT 12\n34";  // outside texts hold anything
    finished.device_path = "/dev/my port";
    finished.port_failure = "No such file: or\r directory";
    finished.id = "00000000ffffffff-2-3";
    finished.started = "2026-12-07T15:52:22.623Z";
    finished.stopped_during_upload = true;
    finished.attempt_reasons = {"no answer", "refused: answer 0x89"};
    finished.serial = "SN-0042";
    finished.outcome.read_back_seconds = 1.5;
    StationEvent progress;
    progress.progress = {1007, 2015, 1, 2, 2};
    progress.bytes_per_second = 1012.5;
    const struct {
        EventKind kind;
        uint32_t device;
        const char *text;
    } kRows[] = {
        {EventKind::kWaiting, 0, ""},          {EventKind::kNoPort, 0, "No such \"file\""},
        {EventKind::kUploading, 4, ""},        {EventKind::kProgress, 4, ""},
        {EventKind::kFinished, 3, ""},         {EventKind::kRemoval, 4, ""},
        {EventKind::kProblem, 4, "cannot write 00004.out: No space left on device"},
        {EventKind::kAwaitingSerial, 5, ""},   {EventKind::kPaused, 5, ""},
    };
    for (const auto &row : kRows) {
        StationEvent sent = progress;
        sent.kind = row.kind;
        sent.port = 2;
        if (row.kind == EventKind::kFinished) sent.run = finished;
        sent.run.device = row.device;
        sent.text = row.text;
        const std::string line = EncodeEvent(sent);
        ASSERT_EQ(line.find('\n'), line.size() - 1) << line;
        StationEvent got;
        ASSERT_TRUE(DecodeEvent(line.substr(0, line.size() - 1), &got)) << line;
        EXPECT_EQ(got.kind, row.kind) << line;
        EXPECT_EQ(got.port, 2) << line;
        EXPECT_EQ(got.run.device, row.device) << line;
        EXPECT_EQ(got.text, row.text) << line;
        if (row.kind == EventKind::kFinished) {
            EXPECT_EQ(EncodeEvent(got), line);  // every field of the run, the outcome's too
            EXPECT_EQ(got.run.adapter_serial, finished.adapter_serial);
            EXPECT_EQ(got.run.outcome.failure, UploadFailure::kRefused);
            EXPECT_EQ(got.run.id, finished.id);
            EXPECT_TRUE(got.run.stopped_during_upload);
            EXPECT_EQ(got.run.attempt_reasons, finished.attempt_reasons);
            EXPECT_EQ(got.run.serial, finished.serial);
        }
        if (row.kind == EventKind::kProgress) {
            EXPECT_EQ(got.progress.bytes_sent, 1007u);
            EXPECT_EQ(got.progress.map_bytes, 2015u);
            EXPECT_EQ(got.progress.records_accepted, 1u);
            EXPECT_EQ(got.progress.map_records, 2u);
            EXPECT_EQ(got.progress.block, 2);
            EXPECT_EQ(got.bytes_per_second, 1012.5);
        }
    }
}

TEST(StationEvents, ALineThatIsNoEventOfThisVersionDoesNotDecode) {
    StationEvent waiting;
    std::string good = EncodeEvent(waiting);
    good.pop_back();
    StationEvent got;
    ASSERT_TRUE(DecodeEvent(good, &got));
    const std::string other_version = R"({"version":2,"kind":"waiting","port":0,"device":0})";
    for (const std::string &bad :
         {std::string(), std::string("W 0 0"), good.substr(0, good.size() - 1), std::string("[1,2]"), other_version,
          std::string(R"({"version":1,"kind":"dancing","port":0,"device":0})"),
          std::string(R"({"version":1,"kind":"progress","port":0,"device":0})"),
          std::string(R"({"version":1,"kind":"waiting","port":"0","device":0})"),
          std::string(R"({"version":1,"kind":"finished","port":0,"device":1,"run":{"device":1}})")}) {
        EXPECT_FALSE(DecodeEvent(bad, &got)) << bad;
    }
}

TEST(StationEvents, TheWorkersSetupCrossesWhole) {
    PortWorkerSetup sent;
    sent.index = 3;
    sent.port = "\\\\.\\COM12 \"x\"";
    sent.folder = "station/COM12_";
    sent.once = true;
    sent.wait_s = 0.25;
    sent.fixture = "Fixture \"1\"";
    sent.run_id = "0123456789abcdef";
    sent.first_device = 100000;
    sent.facts = {"line 7", "ab", 2, 515};
    sent.retries = 2;
    sent.verify = true;
    sent.require_serial = true;
    const std::string line = EncodeSetup(sent);
    ASSERT_EQ(line.find('\n'), line.size() - 1);
    PortWorkerSetup got;
    ASSERT_TRUE(DecodeSetup(line.substr(0, line.size() - 1), &got)) << line;
    EXPECT_EQ(got.index, 3);
    EXPECT_EQ(got.port, sent.port);
    EXPECT_EQ(got.folder, sent.folder);
    EXPECT_TRUE(got.once);
    EXPECT_EQ(got.wait_s, 0.25);
    EXPECT_EQ(got.fixture, sent.fixture);
    EXPECT_EQ(got.run_id, sent.run_id);
    EXPECT_EQ(got.first_device, 100000u);
    EXPECT_EQ(got.facts.station, "line 7");
    EXPECT_EQ(got.facts.map_bytes, 515u);
    EXPECT_EQ(got.retries, 2);
    EXPECT_TRUE(got.verify && got.require_serial);
    EXPECT_FALSE(DecodeSetup("3 station/COM12_ 1 0.25 COM12", &got));
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
