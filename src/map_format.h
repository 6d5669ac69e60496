// The layout of the resource map file, in one place for everything that
// writes or reads it (the builder, the checker, the record count, the
// upload):
//
//   first line   any bytes up to and including the first TERMINATOR (the
//                builder writes a lone TERMINATOR)
//   record       starting block (2 bytes, high first), data size (4 bytes,
//                high first, read as a signed 32-bit value), the data, and
//                TERMINATOR
//
// The same block and size fields, in the same order, head the put and get
// messages on the serial line.
#pragma once

#include <cstdint>
#include <cstdio>

#include "globals.h"

constexpr int kRecordHeaderSize = 6;  // block (2 bytes) and size (4 bytes)

// A record header as it stands in the map: its bytes, and what they say.
struct MapRecordHeader {
    unsigned char bytes[kRecordHeaderSize] = {};  // block high, block low, size high ... size low
    int block = 0;
    int32_t size = 0;  // negative when the top bit of the size is set
};

// The first line as read from the map.
struct MapFirstLine {
    bool ended = false;   // its TERMINATOR was found
    uint32_t bytes = 0;   // bytes read, the TERMINATOR included
    char text[MAX_LINE_SIZE] = {};  // its first MAX_LINE_SIZE - 1 bytes, without the TERMINATOR
};

// Reads the first line from the map's current position.
MapFirstLine ReadMapFirstLine(FILE *map);

// Results of ReadMapRecordHeader.
constexpr int kHeaderRead = 0;  // a whole header was read
constexpr int kMapEnded = 1;    // the map ended where a record would begin
constexpr int kHeaderCut = -1;  // the map ended inside the header
int ReadMapRecordHeader(FILE *map, MapRecordHeader *header);

// The header of a record (or a message) for block and size.
MapRecordHeader EncodeRecordHeader(int block, int32_t size);

// The block bytes and the size bytes of a header, as the messages send them.
inline const unsigned char *BlockBytes(const MapRecordHeader &header) { return header.bytes; }
inline const unsigned char *SizeBytes(const MapRecordHeader &header) { return header.bytes + 2; }
constexpr int kBlockBytes = 2;
constexpr int kBlockNumbers = 1 << (8 * kBlockBytes);  // a block field holds 0 to 65535
constexpr int kSizeBytes = 4;

// True for the byte that ends the first line and every record.
inline bool IsTerminator(int byte) { return byte == TERMINATOR; }
