// Building the bytes of resource maps and header files in tests, the way the
// builder writes them (numbers high byte first, a lone 13 as the first line,
// each record ended by 13), and the bytes the host puts on the line for them.
// The byte values are written out here rather than taken from the program's
// constants, so a changed constant shows as a failing test.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

namespace testing_support {

using Bytes = std::vector<unsigned char>;

inline Bytes ToBytes(const std::string &text) { return Bytes(text.begin(), text.end()); }

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Bytes that follow no pattern, the same for the same seed.
inline std::string RandomBytes(std::size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(count, '\0');
    for (char &byte : bytes) byte = static_cast<char>(random() & 0xFF);
    return bytes;
}

inline std::string Be16(int value) {
    return {static_cast<char>((value >> 8) & 0xFF), static_cast<char>(value & 0xFF)};
}

inline std::string Be32(uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>((value >> 16) & 0xFF),
            static_cast<char>((value >> 8) & 0xFF), static_cast<char>(value & 0xFF)};
}

// One record whose size field says size_field, whatever data holds.
inline std::string MapRecord(int block, const std::string &data, int32_t size_field, bool terminator = true) {
    std::string record = Be16(block) + Be32(static_cast<uint32_t>(size_field)) + data;
    if (terminator) record += '\r';
    return record;
}

// One well-formed record (or one that lacks only its terminator).
inline std::string MapRecord(int block, const std::string &data, bool terminator = true) {
    return MapRecord(block, data, static_cast<int32_t>(data.size()), terminator);
}

// A map as the builder writes it: the lone first-line byte, then the records.
inline std::string MapFile(std::initializer_list<std::string> records) {
    std::string map = "\r";
    for (const std::string &record : records) map += record;
    return map;
}

// The plain sum of the bytes: the record checksum of any record under 8 MB,
// which never reaches the checksum's reset.
inline uint32_t PlainSum(const std::string &data) {
    uint32_t sum = 0;
    for (const char c : data) sum += static_cast<unsigned char>(c);
    return sum;
}

// The put message for a record: CMD_PUT (0x01), block, size, data, checksum.
inline Bytes PutMessage(int block, const std::string &data, uint32_t checksum) {
    return Concat({{0x01}, ToBytes(Be16(block) + Be32(static_cast<uint32_t>(data.size())) + data + Be32(checksum))});
}
inline Bytes PutMessage(int block, const std::string &data) { return PutMessage(block, data, PlainSum(data)); }

// The exit command: eight CMD_EXIT (0xAA).
inline const Bytes kExitCommand(8, 0xAA);

// The first line of a header file, as the image converter writes it.
inline std::string HeaderLine(int width, int height, int stride, long size) {
    return "/*('file properties: ', 'resolution ', " + std::to_string(width) + ", 'x', " + std::to_string(height) +
           ", 'format ', 'ARGB4', 'stride ', " + std::to_string(stride) + ", ' total size ', " +
           std::to_string(size) + ")*/";
}

}  // namespace testing_support
