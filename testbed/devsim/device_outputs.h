// What the simulated device leaves behind for tests and users: the store of
// accepted records and the transcript of every byte on the line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "device_model.h"
#include "file_handles.h"

namespace devsim {

// DIR/block-NNNNN.bin per record and DIR/index.txt ("BLOCK SIZE CHECKSUM FILE"
// per line, in acceptance order), always matching the device's records.
class Store {
public:
    // Prepares the directory (PrepareStoreDirectory) and writes an empty index.
    bool Open(const std::string &dir, std::string &error);
    const std::string &dir() const { return dir_; }
    // Brings the directory in line with the records; changed_block names a
    // block whose data were just replaced (or null).
    bool Write(const std::vector<Record> &records, const uint16_t *changed_block, std::string &error);

    static std::string FileName(uint16_t block);  // "block-00001.bin"

private:
    std::string dir_;
    std::vector<uint16_t> written_;  // blocks whose files exist now
};

// What one device of a line did, as DIR/device-NNNNN/status.txt tells it.
struct DeviceStatus {
    uint64_t puts = 0;
    std::vector<Refusal> refusals;
    bool exit = false;
    bool pulled = false;
    bool left = false;
};

// Creates the store directory when missing and removes what an earlier run
// left in it: block-*.bin, index.txt, and the store files of device-NNNNN/
// (those folders too, once empty). Nothing else is touched.
bool PrepareStoreDirectory(const std::string &dir, std::string &error);

std::string DeviceFolderName(uint64_t device);  // "device-00001"
bool WriteDeviceStatus(const std::string &dir, const DeviceStatus &status, std::string &error);

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
    FilePtr file_;
    std::string path_;
    bool failed_ = false;
};

}  // namespace devsim
