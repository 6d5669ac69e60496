// The simulated device's command line, its test picture and its stream plan.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "devsim_options.h"
#include "globals.h"
#include "screenshot.h"

using devsim::AnswerRule;
using devsim::Options;
using devsim::ParseOptions;
using devsim::PingRule;

namespace {

std::string Parse(const std::vector<std::string> &args, Options &options) { return ParseOptions(args, options); }

}  // namespace

TEST(DevsimOptions, FaultsPerSessionAndPerRecord) {
    Options o;
    ASSERT_EQ(Parse({"--answer", "ko-flash", "--answer", "2=ko-checksum", "--answer=3=byte:0x42", "--answer",
                     "4=none", "--answer", "5=0x69", "--answer-delay", "120", "--answer-delay=2=600"},
                    o),
              "");
    EXPECT_EQ(o.line.faults.answer.kind, AnswerRule::Kind::KoFlash);
    EXPECT_EQ(o.line.faults.AnswerFor(1).kind, AnswerRule::Kind::KoFlash);
    EXPECT_EQ(o.line.faults.AnswerFor(2).kind, AnswerRule::Kind::KoChecksum);
    EXPECT_EQ(o.line.faults.AnswerFor(3).kind, AnswerRule::Kind::Byte);
    EXPECT_EQ(o.line.faults.AnswerFor(3).byte, 0x42);
    EXPECT_EQ(o.line.faults.AnswerFor(4).kind, AnswerRule::Kind::Silent);
    EXPECT_EQ(o.line.faults.AnswerFor(5).byte, 0x69);
    EXPECT_EQ(o.line.faults.AnswerDelayFor(1), 120);
    EXPECT_EQ(o.line.faults.AnswerDelayFor(2), 600);

    Options corrupt;
    ASSERT_EQ(Parse({"--corrupt-block", "2", "--corrupt-block=0x10:7", "--device", "1", "--corrupt-block", "3"}, corrupt), "");
    EXPECT_EQ(corrupt.line.faults.corrupt_block, (std::map<uint16_t, uint32_t>{{2, 0}, {16, 7}}));
    EXPECT_EQ(corrupt.SettingsFor(1).faults.corrupt_block.count(3), 1u);
}

TEST(DevsimOptions, PingStreamLineAndWrapper) {
    Options o;
    ASSERT_EQ(Parse({"--ping-answer", "0x69", "--ping-answer", "2=early", "--ping-answer", "3=none",
                     "--get-bytes", "100", "--get-pause-after", "50", "--get-pause-ms", "700", "--read-delay-us",
                     "200", "--hangup-after", "9", "--once", "-v", "--store", "out", "--transcript", "t.txt",
                     "--", "build/pardulo", "p", "{port}"},
                    o),
              "");
    EXPECT_EQ(o.line.faults.PingFor(1).kind, PingRule::Kind::Byte);
    EXPECT_EQ(o.line.faults.PingFor(1).byte, 0x69);
    EXPECT_EQ(o.line.faults.PingFor(2).kind, PingRule::Kind::Early);
    EXPECT_EQ(o.line.faults.PingFor(3).kind, PingRule::Kind::Silent);
    EXPECT_EQ(o.line.get_bytes.value_or(0), 100u);
    EXPECT_EQ(o.line.get_pause_after, 50u);
    EXPECT_EQ(o.line.get_pause_ms, 700);
    EXPECT_EQ(o.line.read_delay_us, 200);
    EXPECT_EQ(o.line.hangup_after.value_or(0), 9u);
    EXPECT_TRUE(o.once && o.verbose);
    EXPECT_EQ(o.store_dir, "out");
    EXPECT_EQ(o.command, (std::vector<std::string>{"build/pardulo", "p", "{port}"}));

    Options early;
    ASSERT_EQ(Parse({"--ping-answer-after-first"}, early), "");
    EXPECT_EQ(early.line.faults.PingFor(7).kind, PingRule::Kind::Early);
}

// Fault options apply where the --device before them says, in the order
// given, on top of the line's; numbers are decimal (never octal) or 0x hex.
TEST(DevsimOptions, DeviceScopesFollowTheOrderGiven) {
    Options o;
    ASSERT_EQ(Parse({"--answer", "ko-flash", "--devices", "3", "--device", "2", "--answer", "ok", "--gap", "010",
                     "--device", "all", "--answer-delay", "5", "--device=3", "--get-bytes", "0x10", "--answer", "none"},
                    o),
              "");
    EXPECT_EQ(o.gap_ms, 10);
    EXPECT_EQ(o.SettingsFor(1).faults.AnswerFor(1).kind, AnswerRule::Kind::KoFlash);
    EXPECT_EQ(o.SettingsFor(1).faults.AnswerDelayFor(1), 5);
    EXPECT_EQ(o.SettingsFor(2).faults.AnswerFor(1).kind, AnswerRule::Kind::Ok);
    EXPECT_EQ(o.SettingsFor(2).faults.AnswerDelayFor(1), 5);
    EXPECT_EQ(o.SettingsFor(3).faults.AnswerFor(1).kind, AnswerRule::Kind::Silent);
    EXPECT_EQ(o.SettingsFor(3).get_bytes.value_or(0), 16u);
    EXPECT_FALSE(o.SettingsFor(2).get_bytes);
}

TEST(DevsimOptions, MistakesAreNamed) {
    const std::vector<std::vector<std::string>> bad = {
        {"--answer", "maybe"},        {"--answer", "0=ok"},          {"--answer", "byte:0x100"},
        {"--answer"},                 {"--answer-delay", "-5"},      {"--hangup-after", "12x"},
        {"--get-bytes", "5", "--get-endless"}, {"--get-pause-after", "5"}, {"--bogus"},
        {"--once=1"},                 {"--"},                        {"--store", ""},
        {"--ping-answer", "later"},   {"--corrupt-block", "65536"},  {"--corrupt-block", "2:"},
        {"--device", "0"},             {"--devices", "2", "--device", "3", "--answer-twice"},
        {"--gap", "-1"},              {"--baud", "49"},
    };
    for (const auto &args : bad) {
        Options o;
        EXPECT_NE(Parse(args, o), "") << args[0];
    }
    Options o;
    EXPECT_NE(Parse({"--bogus"}, o).find("--bogus"), std::string::npos);
}

TEST(DevsimOptions, NumbersAreDecimalOrHex) {
    uint64_t v = 0;
    EXPECT_TRUE(devsim::ParseNumber("0x1F", 255, v));
    EXPECT_EQ(v, 31u);
    EXPECT_TRUE(devsim::ParseNumber("522240", UINT64_MAX, v));
    EXPECT_EQ(v, 522240u);
    EXPECT_FALSE(devsim::ParseNumber("256", 255, v));
    EXPECT_FALSE(devsim::ParseNumber("", 255, v));
    EXPECT_FALSE(devsim::ParseNumber("-1", UINT64_MAX, v));
    EXPECT_FALSE(devsim::ParseNumber("99999999999999999999999", UINT64_MAX, v));
}

TEST(DevsimPicture, FullSizeOpaqueBgraWithTheTrickyBytes) {
    const std::vector<uint8_t> picture = devsim::MakeTestPicture();
    ASSERT_EQ(picture.size(), static_cast<size_t>(SCREENSHOT_SIZE));
    for (const int b : {0x00, 0x0A, 0x0D})
        EXPECT_NE(std::find(picture.begin(), picture.end(), static_cast<uint8_t>(b)), picture.end()) << b;
    for (size_t i = 3; i < picture.size(); i += 4) ASSERT_EQ(picture[i], 0xFF) << "alpha at " << i;
    // Top-left marker is red, stored blue-green-red-alpha.
    EXPECT_EQ((std::vector<uint8_t>(picture.begin(), picture.begin() + 4)), (std::vector<uint8_t>{0, 0, 255, 255}));
    EXPECT_EQ(picture, devsim::MakeTestPicture());
}

TEST(DevsimStream, LengthRepeatAndPause) {
    const std::vector<uint8_t> picture = {1, 2, 3, 4, 5};
    devsim::StreamPlan plan;
    plan.length = 12;
    plan.pause_after = 7;
    plan.pause_ms = 600;
    devsim::ScreenshotStream stream(picture, plan);
    uint8_t out[64];

    ASSERT_EQ(stream.Peek(out, sizeof out), 7u);  // stops at the pause point
    EXPECT_EQ((std::vector<uint8_t>(out, out + 7)), (std::vector<uint8_t>{1, 2, 3, 4, 5, 1, 2}));
    stream.Advance(3);  // a short write
    ASSERT_EQ(stream.Peek(out, sizeof out), 4u);
    EXPECT_EQ(out[0], 4);
    stream.Advance(4);
    EXPECT_TRUE(stream.PauseDue());
    EXPECT_EQ(stream.Peek(out, sizeof out), 0u);
    stream.PauseTaken();
    EXPECT_FALSE(stream.PauseDue());
    ASSERT_EQ(stream.Peek(out, sizeof out), 5u);
    EXPECT_EQ((std::vector<uint8_t>(out, out + 5)), (std::vector<uint8_t>{3, 4, 5, 1, 2}));
    stream.Advance(5);
    EXPECT_TRUE(stream.Done());

    devsim::StreamPlan endless;
    endless.endless = true;
    devsim::ScreenshotStream forever(picture, endless);
    for (int i = 0; i < 100; ++i) forever.Advance(forever.Peek(out, sizeof out));
    EXPECT_FALSE(forever.Done());

    devsim::StreamPlan silent;
    EXPECT_TRUE(devsim::ScreenshotStream(picture, silent).Done());
    endless.endless = true;
    const std::vector<uint8_t> nothing;
    EXPECT_TRUE(devsim::ScreenshotStream(nothing, endless).Done());
}
