#include "record_lines.h"

#include <filesystem>
#include <fstream>
#include <vector>

bool ReadRecordLines(const std::string &path, uint64_t offset,
                     const std::function<bool(const std::string &line, uint64_t end)> &take) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::error_code error;
        return !std::filesystem::exists(path, error) && !error;
    }
    file.seekg(static_cast<std::streamoff>(offset));
    if (!file) return true;  // the file is shorter: nothing after offset yet
    std::vector<char> buffer(1 << 16);
    std::string line;
    bool too_long = false;
    uint64_t at_offset = offset;
    while (file) {
        file.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::size_t got = static_cast<std::size_t>(file.gcount());
        for (std::size_t i = 0; i < got; ++i) {
            const char c = buffer[i];
            if (c != '\n') {
                if (!too_long) line.push_back(c);
                too_long = too_long || line.size() > kMaxRecordLineBytes;
                continue;
            }
            if (too_long) line.clear();
            const uint64_t end = at_offset + i + 1;
            if (!take(line, end)) return true;
            line.clear();
            too_long = false;
        }
        at_offset += got;
    }
    return file.eof() && !file.bad();
}
