#include "map_format.h"

namespace {

// The header's fields from its bytes: the only place they are put together.
void DecodeRecordHeader(MapRecordHeader &header) {
    const unsigned char *b = header.bytes;
    header.block = b[0] * 256 + b[1];
    const uint32_t size_bits = static_cast<uint32_t>(b[2]) << 24 | static_cast<uint32_t>(b[3]) << 16 |
                               static_cast<uint32_t>(b[4]) << 8 | static_cast<uint32_t>(b[5]);
    header.size = static_cast<int32_t>(size_bits);
}

}  // namespace

MapFirstLine ReadMapFirstLine(FILE *map) {
    MapFirstLine line;
    size_t kept = 0;
    for (int c = getc(map); c != EOF; c = getc(map)) {
        ++line.bytes;
        if (IsTerminator(c)) {
            line.ended = true;
            break;
        }
        if (kept < MAX_LINE_SIZE - 1) line.text[kept++] = static_cast<char>(c);
    }
    line.text[kept] = '\0';
    return line;
}

int ReadMapRecordHeader(FILE *map, MapRecordHeader *header) {
    const int first = getc(map);
    if (first == EOF) return kMapEnded;
    header->bytes[0] = static_cast<unsigned char>(first);
    if (fread(header->bytes + 1, 1, kRecordHeaderSize - 1, map) != kRecordHeaderSize - 1) return kHeaderCut;
    DecodeRecordHeader(*header);
    return kHeaderRead;
}

MapRecordHeader EncodeRecordHeader(int block, int32_t size) {
    MapRecordHeader header;
    const auto size_bits = static_cast<uint32_t>(size);
    const unsigned char bytes[kRecordHeaderSize] = {
        static_cast<unsigned char>((block >> 8) & 255), static_cast<unsigned char>(block & 255),
        static_cast<unsigned char>(size_bits >> 24),    static_cast<unsigned char>(size_bits >> 16),
        static_cast<unsigned char>(size_bits >> 8),     static_cast<unsigned char>(size_bits)};
    for (int i = 0; i < kRecordHeaderSize; ++i) header.bytes[i] = bytes[i];
    DecodeRecordHeader(header);
    return header;
}
