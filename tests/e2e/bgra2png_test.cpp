// pardulo-bgra2png: raw BGRA screenshots in, PNG files out, clear refusals.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "test_support.h"

using namespace testing_support;

namespace {

uint32_t BigEndian32(const std::string &bytes, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<uint8_t>(bytes[at + i]);
    return v;
}

// Checks the signature and the header chunk: size, 8-bit RGBA.
void ExpectPngHeader(const std::string &png, uint32_t width, uint32_t height) {
    ASSERT_GT(png.size(), 33u);
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(png.substr(12, 4), "IHDR");
    EXPECT_EQ(BigEndian32(png, 16), width);
    EXPECT_EQ(BigEndian32(png, 20), height);
    EXPECT_EQ(png[24], 8);  // bits per channel
    EXPECT_EQ(png[25], 6);  // colour type RGBA
    EXPECT_EQ(png.substr(png.size() - 8, 4), "IEND");
}

RunResult Convert(const TempDir &dir, std::vector<std::string> args) {
    args.insert(args.begin(), BuildPath("pardulo-bgra2png"));
    return RunProgram(args, dir.path());
}

}  // namespace

TEST(Bgra2Png, TheDevicesTestPictureBecomesA480By272Png) {
    TempDir dir;
    ASSERT_EQ(RunProgram({BuildPath("pardulo-devsim"), "--write-test-picture", "test.bgra"}, dir.path()).status, 0);
    const RunResult r = Convert(dir, {"test.bgra", "test.png"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    ExpectPngHeader(ReadFile(dir.file("test.png")), 480, 272);
}

TEST(Bgra2Png, OtherSizesByOption) {
    TempDir dir;
    WriteFile(dir.file("small.bgra"), std::string(3 * 2 * 4, '\x0d'));
    const RunResult r = Convert(dir, {"--width", "3", "--height", "2", "small.bgra", "small.png"});
    EXPECT_EQ(r.status, 0) << r.err;
    ExpectPngHeader(ReadFile(dir.file("small.png")), 3, 2);
}

TEST(Bgra2Png, WrongLengthIsRefusedAndWritesNothing) {
    TempDir dir;
    for (const size_t length : {size_t{0}, size_t{522239}, size_t{522241}}) {
        WriteFile(dir.file("test.bgra"), std::string(length, '\0'));
        const RunResult r = Convert(dir, {"test.bgra", "test.png"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("522240"), std::string::npos) << r.err;
        EXPECT_FALSE(FileExists(dir.file("test.png")));
    }
}

TEST(Bgra2Png, UnreadableInputUnwritableOutputAndBadArguments) {
    TempDir dir;
    RunResult r = Convert(dir, {"missing.bgra", "out.png"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing.bgra"), std::string::npos);

    WriteFile(dir.file("test.bgra"), std::string(522240, '\x7f'));
    r = Convert(dir, {"test.bgra", dir.file("no-such-dir/out.png")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("out.png"), std::string::npos);

    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"test.bgra"}, {"--width", "0", "test.bgra", "o.png"},
          {"--height", "x", "test.bgra", "o.png"}, {"--depth", "8", "test.bgra", "o.png"}}) {
        r = Convert(dir, args);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_NE(r.err.find("(see --help)"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(FileExists(dir.file("o.png")));
}
