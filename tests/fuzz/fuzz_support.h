// Shared set-up of the fuzz targets: one private working directory per
// process, the program's printing sent to /dev/null, and small file helpers.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz_support {

void RemoveTree(const std::string &path);

// The private directory, removed when the fuzzer exits normally.
inline char private_directory[] = "/tmp/pardulo-fuzz-XXXXXX";

// Moves into a fresh temporary directory and silences standard output. Call
// it once from LLVMFuzzerInitialize.
inline void EnterPrivateDirectory() {
    if (mkdtemp(private_directory) == nullptr || chdir(private_directory) != 0) {
        perror("fuzz set-up");
        abort();
    }
    atexit([] { RemoveTree(private_directory); });
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
}

inline void WriteFile(const std::string &path, const uint8_t *data, size_t size) {
    FILE *file = fopen(path.c_str(), "wb");
    if (file == nullptr) abort();
    if (size > 0 && fwrite(data, 1, size, file) != size) abort();
    if (fclose(file) != 0) abort();
}

inline void WriteFile(const std::string &path, const std::string &text) {
    WriteFile(path, reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

inline bool ReadFile(const std::string &path, std::string &text) {
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    text.clear();
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    fclose(file);
    return true;
}

// Removes a directory tree the targets made (plain files, links and
// directories only, one level of nesting is all they create).
inline void RemoveTree(const std::string &path) {
    if (DIR *dir = opendir(path.c_str())) {
        while (const dirent *entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            const std::string child = path + "/" + name;
            struct stat st {};
            if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                RemoveTree(child);
            } else {
                unlink(child.c_str());
            }
        }
        closedir(dir);
    }
    rmdir(path.c_str());
}

// Reads fuzz input front to back; past the end every read gives zero.
class Input {
public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() << 8 | Byte()); }
    std::string Bytes(size_t count) {
        const size_t n = count < size_ - pos_ ? count : size_ - pos_;
        std::string out(reinterpret_cast<const char *>(data_ + pos_), n);
        pos_ += n;
        return out;
    }
    std::string Rest() { return Bytes(size_ - pos_); }
    bool Empty() const { return pos_ >= size_; }

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

// A failed invariant: printed on standard error, then abort, which the
// fuzzer reports as a crash with the input that caused it.
[[noreturn]] inline void Fail(const char *what) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
}

}  // namespace fuzz_support
