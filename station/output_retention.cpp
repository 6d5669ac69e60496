#include "output_retention.h"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// NNNNN.out, with more digits once a fixture's numbers pass 99999.
bool IsDeviceOutput(const std::string &name) {
    const std::size_t digits = name.find_first_not_of("0123456789");
    return digits != std::string::npos && digits >= 5 && name.size() == digits + 4 && name.compare(digits, 4, ".out") == 0;
}

bool IsEarlierRun(const std::string &name) { return name.rfind("earlier-", 0) == 0; }

}  // namespace

std::vector<std::string> RemoveOldOutputs(const std::string &folder, double keep_days) {
    std::vector<std::string> failures;
    std::error_code error;
    // The file clock's now, so ages compare with what the file system keeps.
    const auto cutoff = fs::file_time_type::clock::now() -
                        std::chrono::duration_cast<fs::file_time_type::duration>(
                            std::chrono::duration<double, std::ratio<86400>>(keep_days));
    fs::directory_iterator entries(folder, error);
    if (error) return {folder + ": " + error.message()};
    for (const fs::directory_entry &entry : entries) {
        const std::string name = entry.path().filename().string();
        // Never followed: a link is not the station's output.
        const fs::file_status status = entry.symlink_status(error);
        if (error) continue;
        const bool output = IsDeviceOutput(name) && fs::is_regular_file(status);
        const bool earlier = IsEarlierRun(name) && fs::is_directory(status);
        if (!output && !earlier) continue;
        const fs::file_time_type changed = entry.last_write_time(error);
        if (error || changed >= cutoff) continue;
        fs::remove_all(entry.path(), error);
        if (error) failures.push_back(entry.path().string() + ": " + error.message());
    }
    return failures;
}
