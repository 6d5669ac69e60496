// The upload's outcome record: what callers that report on every device
// (the production station) learn without reading printed lines. One row per
// way an upload can end, the simulated device's model behind the fake link.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <string>

#include "device_model.h"
#include "device_transfer.h"
#include "fake_libserialport.h"
#include "globals.h"
#include "map_bytes.h"
#include "test_support.h"

using namespace testing_support;

namespace {

const std::string kMap = MapFile({MapRecord(1, "abc"), MapRecord(2, "defgh")});

struct Row {
    const char *name;
    std::string map;                                  // "" : no map file at all
    devsim::Faults faults;
    std::function<void()> script;                     // link failures, set before the upload
    int stop_after_bytes = -1;                        // RequestUploadStop after this many host bytes
    UploadFailure failure;
    int failed_block;
    uint32_t accepted;
    uint32_t sent;
    unsigned char answer;
};

devsim::Faults RefuseRecord(uint64_t record, devsim::AnswerRule::Kind kind) {
    devsim::Faults faults;
    faults.answer_for_record[record].kind = kind;
    return faults;
}

const Row kRows[] = {
    {"whole map", kMap, {}, nullptr, -1, UploadFailure::kNone, -1, 2, 8, 0},
    {"second record refused", kMap, RefuseRecord(2, devsim::AnswerRule::Kind::KoChecksum), nullptr, -1,
     UploadFailure::kRefused, 2, 1, 8, RESPONSE_KO_CHECKSUM},
    {"no answer", kMap, RefuseRecord(1, devsim::AnswerRule::Kind::Silent), nullptr, -1, UploadFailure::kNoAnswer, 1,
     0, 3, 0},
    {"send error", kMap, {}, [] { fakesp::SetResultFromCall("sp_blocking_write", 23, 0); }, -1,
     UploadFailure::kSendError, 2, 1, 4, 0},
    {"device gone",
     kMap,
     {},
     [] {
         fakesp::SetResultFromCall("sp_blocking_write", 23, -2);
         fakesp::SetResult("sp_last_error_code", EIO);
     },
     -1, UploadFailure::kDeviceGone, 2, 1, 4, 0},
    {"device gone at the input flush",
     kMap,
     {},
     [] {
         fakesp::SetResultFromCall("sp_flush", 24, -2);  // the connect's flush, then one per byte
         fakesp::SetResult("sp_last_error_code", EIO);
     },
     -1, UploadFailure::kDeviceGone, 2, 1, 4, 0},
    {"map cut inside a record", MapFile({MapRecord(1, "abc"), MapRecord(2, "defgh", 9, false)}), {}, nullptr, -1,
     UploadFailure::kMapFraming, 2, 1, 8, 0},
    {"no map", "", {}, nullptr, -1, UploadFailure::kMapUnreadable, -1, 0, 0, 0},
    {"port does not open", kMap, {}, [] { fakesp::SetResult("sp_open", -2); }, -1, UploadFailure::kNoPort, -1, 0, 0,
     0},
    {"stopped inside the second record", kMap, {}, nullptr, 23, UploadFailure::kInterrupted, 2, 1, 5, 0},
    {"stopped in the pause after the first record", kMap, {}, nullptr, 14, UploadFailure::kInterrupted, 2, 1, 3, 0},
    {"stopped in the pause after the last record", kMap, {}, nullptr, 30, UploadFailure::kNone, -1, 2, 8, 0},
};

class UploadOutcomeTest : public ::testing::TestWithParam<Row> {
protected:
    void SetUp() override { fakesp::Reset(); }
    void TearDown() override { fakesp::Reset(); }

    TempDir dir;
    ScopedChdir here{dir.path()};
};

TEST_P(UploadOutcomeTest, SaysHowTheUploadEnded) {
    const Row &row = GetParam();
    if (!row.map.empty()) WriteFile(dir.file(ZEBMAP_FILE), row.map);
    if (row.script) row.script();

    devsim::DeviceModel device(row.faults);
    fakesp::Bytes wire;
    fakesp::SetDevice([&](unsigned char byte) {
        wire.push_back(byte);
        if (static_cast<int>(wire.size()) == row.stop_after_bytes) RequestUploadStop();
        const devsim::Step step = device.Consume(byte);
        if (!step.reply.empty()) fakesp::QueueRead(step.reply, static_cast<unsigned int>(step.reply_delay_ms));
    });

    UploadOutcome outcome;
    Printed([&] { SendResourceZebmapFile("/dev/ttyUSB0", &outcome); });

    EXPECT_EQ(outcome.failure, row.failure);
    EXPECT_EQ(outcome.failed_block, row.failed_block);
    EXPECT_EQ(outcome.records_accepted, row.accepted);
    EXPECT_EQ(outcome.bytes_sent, row.sent);
    EXPECT_EQ(outcome.answer, row.answer);
    if (row.failure != UploadFailure::kMapUnreadable) {
        EXPECT_EQ(outcome.map_records, 2u);
        EXPECT_EQ(outcome.map_bytes, row.map.size());
    }
    // Once the port is open, the device always hears the exit command last,
    // an interrupted upload too; a port that went away cannot hear it.
    const bool exit_expected = row.failure != UploadFailure::kMapUnreadable &&
                               row.failure != UploadFailure::kNoPort && row.script == nullptr;
    if (exit_expected) {
        ASSERT_GE(wire.size(), 8u);
        EXPECT_EQ(fakesp::Bytes(wire.end() - 8, wire.end()), fakesp::Bytes(8, CMD_EXIT));
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, UploadOutcomeTest, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row> &param) {
                             std::string name = param.param.name;
                             for (char &c : name) {
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return name;
                         });

// The read-back: every record asked for with a get request of its block
// and size after the last record and before the exit command; what comes
// back compared with the map. Without verify no get request goes out.
TEST(UploadReadBack, CatchesABlockKeptWrongOrReadBackShort) {
    struct ReadBackRow {
        const char *name;
        bool verify;
        uint16_t corrupt_block;  // 0: none
        bool short_answer;       // the device's answer for block 2 lacks its last byte
        UploadFailure failure;
        int failed_block;
        uint32_t at, of;
    };
    const ReadBackRow rows[] = {
        {"plain upload", false, 2, false, UploadFailure::kNone, -1, 0, 0},
        {"clean", true, 0, false, UploadFailure::kNone, -1, 0, 0},
        {"corrupted", true, 2, false, UploadFailure::kReadBackDiffers, 2, 4, 0},
        {"short", true, 0, true, UploadFailure::kReadBackShort, 2, 4, 5},
    };
    for (const ReadBackRow &row : rows) {
        fakesp::Reset();
        TempDir dir;
        ScopedChdir here{dir.path()};
        WriteFile(dir.file(ZEBMAP_FILE), kMap);
        devsim::Faults faults;
        if (row.corrupt_block != 0) faults.corrupt_block[row.corrupt_block] = 4;
        devsim::DeviceModel device(faults);
        fakesp::Bytes wire;
        fakesp::SetDevice([&](unsigned char byte) {
            wire.push_back(byte);
            devsim::Step step = device.Consume(byte);
            if (row.short_answer && step.reply.size() == 5) step.reply.pop_back();
            if (!step.reply.empty()) fakesp::QueueRead(step.reply, 0);
        });
        UploadOutcome outcome;
        UploadSettings settings;
        settings.verify = row.verify;
        Printed([&] { SendResourceZebmapFile("/dev/ttyUSB0", &outcome, [](const UploadProgress &) {}, settings); });
        EXPECT_EQ(outcome.failure, row.failure) << row.name;
        EXPECT_EQ(outcome.failed_block, row.failed_block) << row.name;
        EXPECT_EQ(outcome.read_back_at, row.at) << row.name;
        EXPECT_EQ(outcome.read_back_of, row.of) << row.name;
        EXPECT_EQ(outcome.records_accepted, 2u) << row.name;
        const fakesp::Bytes get1 = {CMD_GET, 0, 1, 0, 0, 0, 3};
        const bool asked = std::search(wire.begin(), wire.end(), get1.begin(), get1.end()) != wire.end();
        EXPECT_EQ(asked, row.verify) << row.name;
        ASSERT_GE(wire.size(), 8u);
        EXPECT_EQ(fakesp::Bytes(wire.end() - 8, wire.end()), fakesp::Bytes(8, CMD_EXIT)) << row.name;
    }
    fakesp::Reset();
}

}  // namespace
