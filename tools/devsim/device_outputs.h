// What the simulated device leaves behind for tests and users: the store of
// accepted records and the transcript of every byte on the line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "device_model.h"

namespace devsim {

// DIR/block-NNNNN.bin per record and DIR/index.txt ("BLOCK SIZE CHECKSUM FILE"
// per line, in acceptance order), always matching the device's records.
class Store {
public:
    // Creates the directory when missing and removes the files an earlier run
    // left (block-*.bin, index.txt); nothing else in it is touched.
    bool Open(const std::string &dir, std::string &error);
    // Brings the directory in line with the records; changed_block names a
    // block whose data were just replaced (or null).
    bool Write(const std::vector<Record> &records, const uint16_t *changed_block, std::string &error);

    static std::string FileName(uint16_t block);  // "block-00001.bin"

private:
    std::string dir_;
    std::vector<uint16_t> written_;  // blocks whose files exist now
};

// "MICROSECONDS H|D HEX" per byte.
class Transcript {
public:
    Transcript() = default;
    ~Transcript();
    Transcript(const Transcript &) = delete;
    Transcript &operator=(const Transcript &) = delete;

    bool Open(const std::string &path, std::string &error);
    bool is_open() const { return file_ != nullptr; }
    void Add(uint64_t microseconds, char direction, uint8_t byte);
    // Pushes everything written so far to the file; false once a write failed.
    bool Flush();
    bool Close(std::string &error);

private:
    std::FILE *file_ = nullptr;
    std::string path_;
    bool failed_ = false;
};

// Writes bytes to path through a temporary file and a rename, so a reader
// never sees half a file.
bool WriteFileAtomically(const std::string &path, const uint8_t *data, size_t size, std::string &error);

}  // namespace devsim
