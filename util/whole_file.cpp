#include "util/whole_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

namespace util {

namespace {

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string Problem(const char *what, const std::string &path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

template <typename Bytes>
bool ReadWholeInto(const std::string &path, Bytes &bytes, std::string &error, uint64_t limit) {
    errno = 0;
    const File in(std::fopen(path.c_str(), "rb"));
    if (!in) {
        error = Problem("cannot open", path);
        return false;
    }
    bytes.clear();
    char buffer[65536];
    while (bytes.size() <= limit) {
        const std::size_t n = std::fread(buffer, 1, sizeof buffer, in.get());
        if (n == 0) break;
        const uint64_t room = limit + 1 - bytes.size();
        bytes.insert(bytes.end(), buffer, buffer + (n < room ? n : static_cast<std::size_t>(room)));
    }
    if (std::ferror(in.get())) {
        error = Problem("cannot read", path);
        return false;
    }
    return true;
}

}  // namespace

bool ReadWholeFile(const std::string &path, std::vector<uint8_t> &bytes, std::string &error, uint64_t limit) {
    return ReadWholeInto(path, bytes, error, limit);
}

bool ReadWholeRegularFile(const std::string &path, std::string &bytes, std::string &error, uint64_t limit) {
    std::error_code status_error;
    const std::filesystem::file_status status = std::filesystem::status(path, status_error);
    if (!status_error && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        error = "cannot read " + path + ": not a regular file";
        return false;
    }
    return ReadWholeInto(path, bytes, error, limit);
}

bool ReplaceWholeFile(const std::string &path, const void *data, std::size_t size, std::string &error) {
    const std::string temp = path + ".tmp";
    errno = 0;
    File out(std::fopen(temp.c_str(), "wb"));
    if (!out) {
        error = Problem("cannot create", temp);
        return false;
    }
    const bool written = size == 0 || std::fwrite(data, 1, size, out.get()) == size;
    if (std::fclose(out.release()) != 0 || !written) {
        error = Problem("cannot write", temp);
        std::remove(temp.c_str());
        return false;
    }
    std::error_code ec;
    std::filesystem::rename(temp, path, ec);  // replaces path on Windows too
    if (ec) {
        error = "cannot rename to " + path + ": " + ec.message();
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace util
