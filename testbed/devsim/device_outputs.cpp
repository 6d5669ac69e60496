#include "device_outputs.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "util/whole_file.h"

namespace devsim {

namespace fs = std::filesystem;

namespace {

std::string ErrnoText(const std::string &what, const std::string &path) {
    return what + " " + path + ": " + std::strerror(errno);
}

bool IsFiveDigits(const std::string &name, size_t at) {
    return name.size() >= at + 5 &&
           std::all_of(name.begin() + static_cast<long>(at), name.begin() + static_cast<long>(at) + 5,
                       [](char c) { return c >= '0' && c <= '9'; });
}

// block-NNNNN.bin, index.txt or status.txt: the only names the store writes.
bool IsStoreFile(const std::string &name) {
    if (name == "index.txt" || name == "status.txt") return true;
    return name.size() == 15 && name.compare(0, 6, "block-") == 0 && name.compare(11, 4, ".bin") == 0 &&
           IsFiveDigits(name, 6);
}

bool IsDeviceFolder(const std::string &name) {
    return name.size() == 12 && name.compare(0, 7, "device-") == 0 && IsFiveDigits(name, 7);
}

// Removes the store files directly in dir; false with ec set on failure.
bool RemoveStoreFiles(const fs::path &dir, std::error_code &ec) {
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (IsStoreFile(it->path().filename().string())) fs::remove(it->path(), ec);
        if (ec) return false;
    }
    return !ec;
}

}  // namespace

std::string Store::FileName(uint16_t block) {
    char name[32];
    std::snprintf(name, sizeof name, "block-%05u.bin", static_cast<unsigned>(block));
    return name;
}

bool PrepareStoreDirectory(const std::string &dir, std::string &error) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir, ec)) {
        error = "cannot create store directory " + dir + (ec ? ": " + ec.message() : "");
        return false;
    }
    std::vector<fs::path> device_folders;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (IsDeviceFolder(it->path().filename().string()) && it->is_directory(ec)) device_folders.push_back(it->path());
    for (const fs::path &folder : device_folders) {
        if (ec || !RemoveStoreFiles(folder, ec)) break;
        if (fs::is_empty(folder, ec) && !ec) fs::remove(folder, ec);
    }
    if (ec || !RemoveStoreFiles(dir, ec)) {
        error = "cannot clear store directory " + dir + ": " + ec.message();
        return false;
    }
    return true;
}

std::string DeviceFolderName(uint64_t device) {
    char name[32];
    std::snprintf(name, sizeof name, "device-%05llu", static_cast<unsigned long long>(device));
    return name;
}

bool WriteDeviceStatus(const std::string &dir, const DeviceStatus &status, std::string &error) {
    const auto yes_no = [](bool value) { return value ? std::string("yes") : std::string("no"); };
    std::string text = "puts " + std::to_string(status.puts) + "\n";
    for (const Refusal &refusal : status.refusals)
        text += "refused " + std::to_string(refusal.put) + " " + std::to_string(refusal.block) + " " +
                (refusal.answer ? HexByte(*refusal.answer) : std::string("none")) + "\n";
    text += "exit " + yes_no(status.exit) + "\npulled " + yes_no(status.pulled) + "\nleft " + yes_no(status.left) +
            "\n";
    return util::ReplaceWholeFile(dir + "/status.txt", text.data(), text.size(), error);
}

bool Store::Open(const std::string &dir, std::string &error) {
    dir_ = dir;
    written_.clear();
    return PrepareStoreDirectory(dir, error) && Write({}, nullptr, error);
}

bool Store::Write(const std::vector<Record> &records, const uint16_t *changed_block, std::string &error) {
    std::string index;
    std::vector<uint16_t> now;
    for (const Record &record : records) {
        const std::string name = FileName(record.block);
        now.push_back(record.block);
        index += std::to_string(record.block) + " " + std::to_string(record.data.size()) + " " +
                 std::to_string(record.checksum) + " " + name + "\n";
    }
    // Files of blocks no longer held go first; then the files of new blocks
    // and of the block just accepted are written (a block accepted twice
    // holds its latest data).
    for (uint16_t block : written_) {
        if (std::find(now.begin(), now.end(), block) == now.end()) {
            const std::string path = dir_ + "/" + FileName(block);
            if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
                error = ErrnoText("cannot remove", path);
                return false;
            }
        }
    }
    std::vector<uint16_t> kept;
    for (uint16_t block : written_)
        if (std::find(now.begin(), now.end(), block) != now.end()) kept.push_back(block);
    written_ = kept;
    for (const Record &record : records) {
        const bool on_disk = std::find(written_.begin(), written_.end(), record.block) != written_.end();
        if (on_disk && (changed_block == nullptr || *changed_block != record.block)) continue;
        if (!util::ReplaceWholeFile(dir_ + "/" + FileName(record.block), record.data.data(), record.data.size(),
                                    error))
            return false;
        if (!on_disk) written_.push_back(record.block);
    }
    return util::ReplaceWholeFile(dir_ + "/index.txt", index.data(), index.size(), error);
}

Transcript::~Transcript() {
    std::string ignored;
    Close(ignored);
}

bool Transcript::Open(const std::string &path, std::string &error) {
    path_ = path;
    file_.reset(std::fopen(path.c_str(), "w"));
    if (!file_) {
        error = ErrnoText("cannot create transcript", path);
        return false;
    }
    return true;
}

void Transcript::Add(uint64_t microseconds, char direction, uint8_t byte) {
    if (!file_) return;
    if (std::fprintf(file_.get(), "%llu %c %02X\n", static_cast<unsigned long long>(microseconds), direction,
                     static_cast<unsigned>(byte)) < 0)
        failed_ = true;
}

bool Transcript::Flush() {
    if (file_ && std::fflush(file_.get()) != 0) failed_ = true;
    return !failed_;
}

bool Transcript::Close(std::string &error) {
    if (!file_) return true;
    const bool flushed = Flush();
    // The checked close takes the stream back from its owner.
    const bool closed = std::fclose(file_.release()) == 0;
    if (!flushed || !closed) {
        error = "cannot write transcript " + path_;
        return false;
    }
    return true;
}

}  // namespace devsim
