// The product-free helpers of util/: numbers from text and whole files.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"
#include "util/numbers.h"
#include "util/whole_file.h"

using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;
using util::Radix;

TEST(UtilNumbers, WholeNumbersTakeNothingButTheirDigits) {
    const struct {
        const char *text;
        Radix radix;
        uint64_t max;
        bool ok;
        uint64_t value;
    } rows[] = {
        {"0", Radix::kDecimal, 10, true, 0},
        {"010", Radix::kDecimal, 100, true, 10},  // never octal
        {"010", Radix::kDecimalOrHex, 100, true, 10},
        {"0x1F", Radix::kDecimalOrHex, 255, true, 31},
        {"0x1F", Radix::kDecimal, 255, false, 0},
        {"ff", Radix::kHex, 255, true, 255},
        {"0xAa", Radix::kHex, 255, true, 170},
        {"100", Radix::kHex, 255, false, 0},
        {"18446744073709551615", Radix::kDecimal, UINT64_MAX, true, UINT64_MAX},
        {"18446744073709551616", Radix::kDecimal, UINT64_MAX, false, 0},
        {"99999999999999999999999", Radix::kDecimal, UINT64_MAX, false, 0},
        {"9", Radix::kDecimal, 5, false, 0},
        {"256", Radix::kDecimal, 255, false, 0},
        {"", Radix::kDecimal, 10, false, 0},
        {"0x", Radix::kDecimalOrHex, 10, false, 0},
        {"-1", Radix::kDecimal, UINT64_MAX, false, 0},
        {"+1", Radix::kDecimal, 10, false, 0},
        {" 1", Radix::kDecimal, 10, false, 0},
        {"1 ", Radix::kDecimal, 10, false, 0},
        {"12x", Radix::kDecimal, 100, false, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        uint64_t value = 7;
        EXPECT_EQ(util::ParseUnsigned(row.text, row.max, value, row.radix), row.ok);
        EXPECT_EQ(value, row.ok ? row.value : 7u);  // untouched on failure
    }
}

TEST(UtilNumbers, RealsAreDecimalAndWithinTheirLimit) {
    const struct {
        const char *text;
        bool ok;
        double value;
    } rows[] = {
        {"0", true, 0},     {"1.5", true, 1.5}, {".5", true, 0.5},  {"2e3", true, 2000},
        {"1e-3", true, 0.001}, {"86400", true, 86400}, {"86401", false, 0}, {"1e400", false, 0},
        {"-1", false, 0},   {"+1", false, 0},   {" 1", false, 0},   {"1s", false, 0},
        {"inf", false, 0},  {"nan", false, 0},  {"0x10", false, 0}, {"", false, 0},
        {".", false, 0},    {"1e", false, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        double value = -1;
        EXPECT_EQ(util::ParseNonNegativeReal(row.text, 86400, value), row.ok);
        EXPECT_EQ(value, row.ok ? row.value : -1);
    }
}

TEST(UtilWholeFile, ReplacesWholeReadsBackAndStopsPastTheLimit) {
    TempDir dir;
    const std::string path = dir.file("data.bin");
    WriteFile(path, "earlier");
    const std::string bytes("a\0b\r\n\x1a" "c", 7);
    std::string error;
    ASSERT_TRUE(util::ReplaceWholeFile(path, bytes.data(), bytes.size(), error)) << error;
    EXPECT_EQ(ReadFile(path), bytes);
    EXPECT_FALSE(FileExists(path + ".tmp"));

    std::vector<uint8_t> read;
    ASSERT_TRUE(util::ReadWholeFile(path, read, error)) << error;
    EXPECT_EQ(std::string(read.begin(), read.end()), bytes);
    ASSERT_TRUE(util::ReadWholeFile(path, read, error, 3));
    EXPECT_EQ(read.size(), 4u);  // one past the limit says "longer"

    ASSERT_TRUE(util::ReplaceWholeFile(path, nullptr, 0, error)) << error;
    ASSERT_TRUE(util::ReadWholeFile(path, read, error));
    EXPECT_TRUE(read.empty());
}

TEST(UtilWholeFile, FailuresNameTheFileAndLeaveTheEarlierOne) {
    TempDir dir;
    std::vector<uint8_t> read{1, 2};
    std::string error;
    EXPECT_FALSE(util::ReadWholeFile(dir.file("missing"), read, error));
    EXPECT_NE(error.find("cannot open " + dir.file("missing") + ": "), std::string::npos) << error;
    // A folder (or a FIFO, a device) is refused before it is opened: such a
    // file given by mistake would block or never end.
    std::string text;
    EXPECT_FALSE(util::ReadWholeFile(dir.path(), text, error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;

    EXPECT_FALSE(util::ReplaceWholeFile(dir.file("no-such-dir/out"), "x", 1, error));
    EXPECT_NE(error.find("cannot create " + dir.file("no-such-dir/out.tmp")), std::string::npos) << error;

    // A folder where the file should go: the new bytes cannot take its place.
    testing_support::MakeDir(dir.file("taken"));
    WriteFile(dir.file("taken/keep"), "kept");
    EXPECT_FALSE(util::ReplaceWholeFile(dir.file("taken"), "new", 3, error));
    EXPECT_NE(error.find("taken"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(dir.file("taken/keep")), "kept");
    EXPECT_FALSE(FileExists(dir.file("taken.tmp")));
}
