// The map's layout: the first line and the record header, read from a
// stream and written back, byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "map_format.h"
#include "map_bytes.h"
#include "operator_display.h"
#include "progress_log.h"

using namespace testing_support;
using namespace std::string_literals;

namespace {

// A read-only stream over bytes (which must outlive it).
FILE *Stream(const std::string &bytes) {
    return fmemopen(const_cast<char *>(bytes.data()), bytes.size(), "rb");
}

TEST(MapFormat, HeaderFieldsAreHighBytesFirstAndTheSizeIsSigned) {
    const MapRecordHeader written = EncodeRecordHeader(0x0102, static_cast<int32_t>(0x80000003u));
    const unsigned char expected[kRecordHeaderSize] = {0x01, 0x02, 0x80, 0x00, 0x00, 0x03};
    EXPECT_EQ(std::memcmp(written.bytes, expected, sizeof expected), 0);

    const std::string map = MapRecord(7, "", 0x12345678) + MapRecord(0xFFFF, "", -1);
    FILE *stream = Stream(map);
    ASSERT_NE(stream, nullptr);
    MapRecordHeader read;
    ASSERT_EQ(ReadMapRecordHeader(stream, &read), kHeaderRead);
    EXPECT_EQ(read.block, 7);
    EXPECT_EQ(read.size, 0x12345678);
    ASSERT_EQ(getc(stream), '\r');
    ASSERT_EQ(ReadMapRecordHeader(stream, &read), kHeaderRead);
    EXPECT_EQ(read.block, 0xFFFF);
    EXPECT_EQ(read.size, -1);
    EXPECT_EQ(std::memcmp(read.bytes, EncodeRecordHeader(0xFFFF, -1).bytes, kRecordHeaderSize), 0);
    ASSERT_EQ(getc(stream), '\r');
    EXPECT_EQ(ReadMapRecordHeader(stream, &read), kMapEnded);
    fclose(stream);
}

TEST(MapFormat, FirstLineAndCutHeaders) {
    const std::string long_line = std::string(600, 'x') + "\r" + "\x00\x01\x00"s;
    FILE *stream = Stream(long_line);
    ASSERT_NE(stream, nullptr);
    const MapFirstLine first = ReadMapFirstLine(stream);
    EXPECT_TRUE(first.ended);
    EXPECT_EQ(first.bytes, 601u);
    EXPECT_EQ(std::string(first.text), std::string(MAX_LINE_SIZE - 1, 'x'));
    MapRecordHeader header;
    EXPECT_EQ(ReadMapRecordHeader(stream, &header), kHeaderCut);
    fclose(stream);

    const std::string unended = "abc";
    stream = Stream(unended);
    const MapFirstLine cut = ReadMapFirstLine(stream);
    EXPECT_FALSE(cut.ended);
    EXPECT_EQ(cut.bytes, 3u);
    fclose(stream);
}

// The log and the live line show the same number: truncated in floating
// point, 100 only for the whole map.
TEST(ProgressPercent, OneRuleForTheLogAndTheLiveLine) {
    EXPECT_EQ(ProgressPercent(29, 100), 28);  // 29 / 100 * 100 is just below 29 in binary
    EXPECT_EQ(ProgressPercent(999, 1000), 99);
    EXPECT_EQ(ProgressPercent(1000, 1000), 100);
    EXPECT_EQ(ProgressPercent(1200, 1000), 100);  // a map that grew while it was sent
    EXPECT_EQ(ProgressPercent(0, 0), 100);
    EXPECT_EQ(FormatUploadLine(29, 100, 0, 1, 0).rfind("upload  28%", 0), 0u);
}

}  // namespace
