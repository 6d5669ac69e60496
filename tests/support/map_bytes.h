// Building the bytes of resource maps and header files in tests, the way the
// builder writes them: numbers high byte first, a lone 13 as the first line,
// each record ended by 13.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

namespace testing_support {

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

// The first line of a header file, as the image converter writes it.
inline std::string HeaderLine(int width, int height, int stride, long size) {
    return "/*('file properties: ', 'resolution ', " + std::to_string(width) + ", 'x', " + std::to_string(height) +
           ", 'format ', 'ARGB4', 'stride ', " + std::to_string(stride) + ", ' total size ', " +
           std::to_string(size) + ")*/";
}

}  // namespace testing_support
