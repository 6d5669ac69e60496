// The simulated device's protocol side, byte by byte, without a pty.
#include <gtest/gtest.h>

#include <vector>

#include "device_model.h"
#include "globals.h"
#include "map_bytes.h"

using devsim::AnswerRule;
using devsim::DeviceModel;
using devsim::Faults;
using devsim::PingRule;
using devsim::Step;
using testing_support::Bytes;

namespace {

Bytes PutMessage(uint16_t block, const Bytes &data, uint32_t checksum) {
    return testing_support::PutMessage(block, std::string(data.begin(), data.end()), checksum);
}

// With the checksum as the device computes it.
Bytes PutMessage(uint16_t block, const Bytes &data) {
    return PutMessage(block, data, devsim::RecordChecksum(data.data(), data.size()));
}

Bytes Special(uint8_t command, int copies = 8) { return Bytes(static_cast<size_t>(copies), command); }

// Feeds bytes; every step but the last must be silent, as the device answers
// only after a whole message. Returns the last step.
Step Feed(DeviceModel &model, const Bytes &bytes) {
    Step last;
    for (size_t i = 0; i < bytes.size(); ++i) {
        last = model.Consume(bytes[i]);
        if (i + 1 < bytes.size()) {
            EXPECT_TRUE(last.reply.empty()) << "answer before the end of the message, at byte " << i;
        }
    }
    return last;
}

const Bytes kAbc = {0x61, 0x62, 0x63};

}  // namespace

TEST(DevsimChecksum, FollowsTheHostsRule) {
    EXPECT_EQ(devsim::RecordChecksum(kAbc.data(), kAbc.size()), 294u);
    EXPECT_EQ(devsim::RecordChecksum(nullptr, 0), 0u);
    // 0xFF adds 255, never -1.
    const Bytes high = {0xFF, 0x80};
    EXPECT_EQ(devsim::RecordChecksum(high.data(), high.size()), 383u);
    // 8421504 x 0xFF = 0x7FFFFF80 > 0x7FFFFF00: the reset comes before the 0x01.
    Bytes big(8421504, 0xFF);
    EXPECT_EQ(devsim::RecordChecksum(big.data(), big.size()), 0x7FFFFF80u);
    big.push_back(0x01);
    EXPECT_EQ(devsim::RecordChecksum(big.data(), big.size()), 1u);
    // Exactly at the bound there is no reset.
    EXPECT_EQ(devsim::ChecksumStep(0x7FFFFF00u, 0xFF), 0x7FFFFFFFu);
    EXPECT_EQ(devsim::ChecksumStep(0x7FFFFF01u, 0x05), 5u);
}

TEST(DevsimPut, GoodChecksumIsAcceptedAndKept) {
    DeviceModel model;
    const Step step = Feed(model, PutMessage(1, kAbc));
    EXPECT_EQ(step.reply, Bytes{RESPONSE_OK});
    EXPECT_EQ(step.reply_delay_ms, 0);
    EXPECT_TRUE(step.records_changed);
    ASSERT_EQ(model.records().size(), 1u);
    EXPECT_EQ(model.records()[0].block, 1);
    EXPECT_EQ(model.records()[0].data, kAbc);
    EXPECT_EQ(model.records()[0].checksum, 294u);
}

TEST(DevsimPut, WrongChecksumIsRefusedAndNotKept) {
    DeviceModel model;
    const Step step = Feed(model, PutMessage(1, kAbc, 295));
    EXPECT_EQ(step.reply, Bytes{RESPONSE_KO_CHECKSUM});
    EXPECT_FALSE(step.records_changed);
    EXPECT_TRUE(model.records().empty());
}

TEST(DevsimPut, EmptyRecordAndDataThatLookLikeCommands) {
    DeviceModel model;
    // No data: eleven bytes in all, checksum 0.
    const Bytes empty = PutMessage(7, {});
    ASSERT_EQ(empty.size(), 11u);
    EXPECT_EQ(Feed(model, empty).reply, Bytes{RESPONSE_OK});
    // Command and terminator bytes inside data are only data.
    const Bytes tricky = {CMD_EXIT, CMD_EXIT, CMD_PING, 13, CMD_GET, 0x00, 0x0A};
    EXPECT_EQ(Feed(model, PutMessage(0x1234, tricky)).reply, Bytes{RESPONSE_OK});
    ASSERT_EQ(model.records().size(), 2u);
    EXPECT_EQ(model.records()[0].data.size(), 0u);
    EXPECT_EQ(model.records()[1].block, 0x1234);
    EXPECT_EQ(model.records()[1].data, tricky);
}

TEST(DevsimPut, SameBlockAgainKeepsTheLatestDataInAcceptanceOrder) {
    DeviceModel model;
    Feed(model, PutMessage(1, {1}));
    Feed(model, PutMessage(2, {2}));
    Feed(model, PutMessage(1, {3, 3}));
    ASSERT_EQ(model.records().size(), 2u);
    EXPECT_EQ(model.records()[0].block, 2);
    EXPECT_EQ(model.records()[1].block, 1);
    EXPECT_EQ(model.records()[1].data, (Bytes{3, 3}));
    EXPECT_EQ(model.put_messages(), 3u);
}

TEST(DevsimFaults, SessionWideAnswers) {
    struct Case {
        AnswerRule rule;
        Bytes reply;
        bool kept;
    };
    const Case cases[] = {
        {{AnswerRule::Kind::Ok, 0}, {RESPONSE_OK}, true},
        {{AnswerRule::Kind::KoChecksum, 0}, {RESPONSE_KO_CHECKSUM}, false},
        {{AnswerRule::Kind::KoFlash, 0}, {RESPONSE_KO_FLASH}, false},
        {{AnswerRule::Kind::Byte, 0x42}, {0x42}, false},
        {{AnswerRule::Kind::Byte, RESPONSE_OK}, {RESPONSE_OK}, true},
        {{AnswerRule::Kind::Silent, 0}, {}, false},
    };
    for (const Case &c : cases) {
        Faults faults;
        faults.answer = c.rule;
        DeviceModel model(faults);
        const Step step = Feed(model, PutMessage(1, kAbc));
        EXPECT_EQ(step.reply, c.reply);
        EXPECT_EQ(model.records().size(), c.kept ? 1u : 0u);
    }
    // A forced ok covers a wrong checksum too: the device says it wrote it.
    Faults faults;
    faults.answer = {AnswerRule::Kind::Ok, 0};
    DeviceModel model(faults);
    EXPECT_EQ(Feed(model, PutMessage(1, kAbc, 1)).reply, Bytes{RESPONSE_OK});
    EXPECT_EQ(model.records().size(), 1u);
}

TEST(DevsimFaults, PerRecordAnswersAndDelaysCountPutMessagesFromOne) {
    Faults faults;
    faults.answer_for_record[2] = {AnswerRule::Kind::KoFlash, 0};
    faults.answer_for_record[3] = {AnswerRule::Kind::Silent, 0};
    faults.answer_delay_ms = 10;
    faults.answer_delay_for_record[4] = 700;
    DeviceModel model(faults);

    Step step = Feed(model, PutMessage(1, kAbc));
    EXPECT_EQ(step.reply, Bytes{RESPONSE_OK});
    EXPECT_EQ(step.reply_delay_ms, 10);
    step = Feed(model, PutMessage(2, kAbc));
    EXPECT_EQ(step.reply, Bytes{RESPONSE_KO_FLASH});
    step = Feed(model, PutMessage(3, kAbc));
    EXPECT_TRUE(step.reply.empty());
    // A refused checksum counts as a put message as well.
    step = Feed(model, PutMessage(4, kAbc, 0));
    EXPECT_EQ(step.reply, Bytes{RESPONSE_KO_CHECKSUM});
    EXPECT_EQ(step.reply_delay_ms, 700);
    step = Feed(model, PutMessage(5, kAbc));
    EXPECT_EQ(step.reply, Bytes{RESPONSE_OK});
    EXPECT_EQ(step.reply_delay_ms, 10);

    ASSERT_EQ(model.records().size(), 2u);
    EXPECT_EQ(model.records()[0].block, 1);
    EXPECT_EQ(model.records()[1].block, 5);
}

TEST(DevsimPing, AnsweredAfterTheEighthCopyOnly) {
    DeviceModel model;
    const Step step = Feed(model, Special(CMD_PING));
    EXPECT_EQ(step.reply, Bytes{CMD_PING});
    EXPECT_EQ(model.pings(), 1u);
}

TEST(DevsimPing, FaultsPerSessionAndPerAttempt) {
    Faults faults;
    faults.ping = {PingRule::Kind::Byte, RESPONSE_OK};
    faults.ping_for_attempt[2] = {PingRule::Kind::Silent, 0};
    faults.ping_for_attempt[3] = {PingRule::Kind::Early, 0};
    faults.ping_for_attempt[4] = {PingRule::Kind::Normal, 0};
    DeviceModel model(faults);

    EXPECT_EQ(Feed(model, Special(CMD_PING)).reply, Bytes{RESPONSE_OK});
    EXPECT_TRUE(Feed(model, Special(CMD_PING)).reply.empty());
    // Early: right after the first copy, and nothing after the eighth.
    EXPECT_EQ(model.Consume(CMD_PING).reply, Bytes{CMD_PING});
    for (int i = 1; i < 8; ++i) EXPECT_TRUE(model.Consume(CMD_PING).reply.empty());
    EXPECT_EQ(Feed(model, Special(CMD_PING)).reply, Bytes{CMD_PING});
    EXPECT_EQ(model.pings(), 4u);
}

TEST(DevsimSpecial, EraseForgetsEverythingWithoutAnswer) {
    DeviceModel model;
    Feed(model, PutMessage(1, kAbc));
    Feed(model, PutMessage(2, kAbc));
    const Step step = Feed(model, Special(CMD_ERASE));
    EXPECT_TRUE(step.reply.empty());
    EXPECT_TRUE(step.records_changed);
    EXPECT_TRUE(model.records().empty());
}

TEST(DevsimSpecial, ExitEndsTheSessionWithoutAnswerAndKeepsRecords) {
    DeviceModel model;
    Feed(model, PutMessage(1, kAbc));
    const Step step = Feed(model, Special(CMD_EXIT));
    EXPECT_TRUE(step.reply.empty());
    EXPECT_TRUE(step.session_end);
    EXPECT_EQ(model.records().size(), 1u);
    EXPECT_FALSE(model.InMessage());
}

TEST(DevsimSpecial, ACommandCutShortDoesNothingAndTheNextMessageStillWorks) {
    DeviceModel model;
    Feed(model, PutMessage(1, kAbc));
    // Seven erase bytes then a put: nothing is erased, the put is answered.
    for (const uint8_t b : Special(CMD_ERASE, 7)) EXPECT_FALSE(model.Consume(b).records_changed);
    EXPECT_EQ(Feed(model, PutMessage(2, kAbc)).reply, Bytes{RESPONSE_OK});
    EXPECT_EQ(model.records().size(), 2u);
    // Seven exit bytes then a ping: no session end, the ping is answered.
    for (const uint8_t b : Special(CMD_EXIT, 7)) EXPECT_FALSE(model.Consume(b).session_end);
    EXPECT_EQ(Feed(model, Special(CMD_PING)).reply, Bytes{CMD_PING});
}

TEST(DevsimSpecial, NinthCopyStartsANewCommand) {
    DeviceModel model;
    Feed(model, Special(CMD_PING));
    EXPECT_TRUE(model.Consume(CMD_PING).reply.empty());
    EXPECT_TRUE(model.InMessage());
    EXPECT_EQ(model.pings(), 2u);
}

TEST(DevsimGet, RequestCompleteAfterSevenBytes) {
    DeviceModel model;
    const Bytes request = {CMD_GET, 0x07, 0xD0, 0x00, 0x07, 0xF8, 0x00};
    for (size_t i = 0; i + 1 < request.size(); ++i) EXPECT_FALSE(model.Consume(request[i]).start_stream);
    const Step step = model.Consume(request.back());
    EXPECT_TRUE(step.start_stream);
    EXPECT_TRUE(step.reply.empty());
    EXPECT_NE(step.note.find("block 2000 size 522240"), std::string::npos);
}

Bytes GetRequest(uint16_t block, uint32_t size) {
    return {CMD_GET, static_cast<uint8_t>(block >> 8), static_cast<uint8_t>(block), static_cast<uint8_t>(size >> 24),
            static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)};
}

// A get request of a block reads back what the device holds for it, a
// corrupted block as it was kept, and a block it lacks not at all.
TEST(DevsimGet, ReadsBackTheHeldBlockAsKept) {
    Faults faults;
    faults.corrupt_block[2] = 1;
    faults.corrupt_block[3] = 99;  // past the end: the last byte
    DeviceModel model(faults);
    const Bytes data = {10, 20, 30};
    for (uint16_t block = 1; block <= 3; ++block) EXPECT_EQ(Feed(model, PutMessage(block, data)).reply, Bytes{RESPONSE_OK});
    struct Row {
        uint16_t block;
        uint32_t size;
        Bytes reply;
    };
    const Row rows[] = {
        {1, 3, {10, 20, 30}}, {1, 2, {10, 20}},  {1, 9, {10, 20, 30}},
        {2, 3, {10, 235, 30}}, {3, 3, {10, 20, 225}}, {4, 3, {}},
    };
    for (const Row &row : rows) {
        const Step step = Feed(model, GetRequest(row.block, row.size));
        EXPECT_EQ(step.reply, row.reply) << "block " << row.block << " size " << row.size;
        EXPECT_FALSE(step.start_stream);
    }
    // The screenshot block is still the screenshot while no record holds it.
    EXPECT_TRUE(Feed(model, GetRequest(SCREENSHOT_BLOCK, 5)).start_stream);
}

TEST(DevsimParser, StrayBytesAreIgnoredAndAbandonedMessagesForgotten) {
    DeviceModel model;
    for (const uint8_t b : Bytes{0x00, 0x69, 0xFF}) {
        const Step step = model.Consume(b);
        EXPECT_TRUE(step.reply.empty());
        EXPECT_FALSE(model.InMessage());
    }
    // A put message that stops inside its data is dropped after a silence:
    // the next message is understood again.
    const Bytes put = PutMessage(1, kAbc);
    Feed(model, Bytes(put.begin(), put.begin() + 8));
    EXPECT_TRUE(model.InMessage());
    EXPECT_NE(model.AbandonPartialMessage().find("1 of 3 data bytes"), std::string::npos);
    EXPECT_FALSE(model.InMessage());
    EXPECT_EQ(model.AbandonPartialMessage(), "");
    EXPECT_EQ(Feed(model, Special(CMD_PING)).reply, Bytes{CMD_PING});
    EXPECT_TRUE(model.records().empty());
}

TEST(DevsimParser, HugeDeclaredSizeReservesNothingUpFront) {
    DeviceModel model;
    // A size of 0xFFFFFFFF: the device waits for data that never come.
    const Bytes header = {CMD_PUT, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x02};
    Feed(model, header);
    EXPECT_TRUE(model.InMessage());
    EXPECT_FALSE(model.AbandonPartialMessage().empty());
}
