// The builder on records large enough for the kernel to copy their data:
// the map and the report must be those of a copy through the buffers.
#include "resource_map.h"

#include <string>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using testing_support::MakeDir;
using testing_support::Printed;
using testing_support::ReadFile;
using testing_support::ScopedChdir;
using testing_support::TempDir;
using testing_support::WriteFile;

std::string Header(long size) {
    return "/*('file properties: ', 'resolution ', 1, 'x', 1, 'format ', 'ARGB4', 'stride ', 2, ' total size ', " +
           std::to_string(size) + ")*/\n";
}

// Bytes that differ from block to block and do not repeat with the page
// size, so a byte in the wrong place shows.
std::string Pattern(std::size_t length, unsigned seed) {
    std::string bytes(length, '\0');
    unsigned state = seed * 2654435761u + 1;
    for (char &c : bytes) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 16);
    }
    return bytes;
}

std::string Record(int block, long size, const std::string &data) {
    std::string record;
    record += static_cast<char>(block >> 8);
    record += static_cast<char>(block & 255);
    for (int shift = 24; shift >= 0; shift -= 8) record += static_cast<char>((size >> shift) & 255);
    return record + data + '\r';
}

TEST(ResourceMapLargeRecords, MapHoldsEveryByteInPlaceWhateverTheRecordSizes) {
    TempDir dir;
    ScopedChdir in(dir.path());
    MakeDir("resources");
    // One resource per map, rebuilt for each size: sizes just above and far
    // from multiples of the page and buffer sizes, behind the map's first
    // byte and the record header that leave the buffer partly filled.
    const long sizes[] = {(1L << 20) + 4096 + 7, (1L << 20) * 3 + 1, (1L << 21) + 4089};
    unsigned seed = 1;
    for (const long size : sizes) {
        SCOPED_TRACE(size);
        const std::string data = Pattern(static_cast<std::size_t>(size) + 100, seed++);
        WriteFile("resources/big.rawh", Header(size));
        WriteFile("resources/big.raw", data);
        const std::string out = Printed([] { EXPECT_EQ(BuildResourceZebmapFile(), 0); });
        EXPECT_EQ(ReadFile("zebmap.map"), "\r" + Record(1, size, data.substr(0, static_cast<std::size_t>(size))));
        EXPECT_NE(out.find(" " + std::to_string(size) + " bytes written\n"), std::string::npos) << out;
    }
}

TEST(ResourceMapLargeRecords, DataShorterThanItsHeaderSaysIsReportedWithTheBytesCopied) {
    TempDir dir;
    ScopedChdir in(dir.path());
    MakeDir("resources");
    const std::string data = Pattern(2000000, 7);
    WriteFile("resources/big.rawh", Header(2500000));
    WriteFile("resources/big.raw", data);
    int32_t result = 0;
    const std::string out = Printed([&] { result = BuildResourceZebmapFile(); });
    EXPECT_EQ(result, -6);
    EXPECT_NE(out.find("Opening file 'resources/big.raw' ...\n* Unattended EOF after 2000000 bytes\n"),
              std::string::npos)
        << out;
    const std::string map = ReadFile("zebmap.map");
    EXPECT_EQ(map, "\r" + Record(1, 2500000, data).substr(0, 6 + data.size()));
}

}  // namespace
