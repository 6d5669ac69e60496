// The test helpers both platforms share: paths of the build and the
// sources, whole files, working folders and lines of text, all through the
// standard library.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "test_support.h"

namespace testing_support {

std::string TempDir::file(const std::string &name) const { return path_ + "/" + name; }

ScopedChdir::ScopedChdir(const std::string &dir) {
    previous_ = std::filesystem::current_path().string();
    std::filesystem::current_path(dir);
}

ScopedChdir::~ScopedChdir() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A dangling link exists too: what is there is asked, not where it leads.
bool FileExists(const std::string &path) {
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
}

void WriteFile(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

void MakeDir(const std::string &path) { std::filesystem::create_directories(path); }

std::string BuildPath(const std::string &name) { return std::string(PARDULO_BUILD_DIR) + "/" + name; }

std::string SourcePath(const std::string &relative) { return std::string(PARDULO_SOURCE_DIR) + "/" + relative; }

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

}  // namespace testing_support
