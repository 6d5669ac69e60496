// The ports' folders kept from filling the disk: what is old enough goes,
// and nothing but the station's own outputs ever does.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "output_retention.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::TempDir;
using testing_support::WriteFile;

void Age(const std::string &path, int days) {
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(24 * days));
}

TEST(OutputRetention, RemovesOnlyOutputsAndEarlierRunsOlderThanTheDaysKept) {
    TempDir port;
    const auto old_file = [&](const std::string &name, int days) {
        WriteFile(port.file(name), "x");
        Age(port.file(name), days);
    };
    old_file("00001.out", 31);
    old_file("00002.out", 29);
    old_file("zebmap.map", 400);  // the map uploaded from here
    old_file("zebmap.log", 400);
    old_file("0001.out", 400);    // not a name the station gives
    fs::create_directories(port.file("earlier-20250101T000000Z/sub"));
    WriteFile(port.file("earlier-20250101T000000Z/00007.out"), "x");
    Age(port.file("earlier-20250101T000000Z"), 31);
    fs::create_directories(port.file("earlier-20250301T000000Z"));
    WriteFile(port.file("earlier-20250301T000000Z/00008.out"), "x");
    Age(port.file("earlier-20250301T000000Z/00008.out"), 100);  // the folder's own time counts
    fs::create_directories(port.file("00003.out"));             // a folder by an output's name
    Age(port.file("00003.out"), 31);

    EXPECT_TRUE(RemoveOldOutputs(port.path(), 30).empty());
    EXPECT_FALSE(fs::exists(port.file("00001.out")));
    EXPECT_FALSE(fs::exists(port.file("earlier-20250101T000000Z")));
    for (const char *kept : {"00002.out", "zebmap.map", "zebmap.log", "0001.out", "earlier-20250301T000000Z/00008.out",
                             "00003.out"}) {
        EXPECT_TRUE(fs::exists(port.file(kept))) << kept;
    }

    EXPECT_TRUE(RemoveOldOutputs(port.path(), 1).empty());
    EXPECT_FALSE(fs::exists(port.file("00002.out")));
    EXPECT_EQ(RemoveOldOutputs(port.file("missing"), 1).size(), 1u) << "a folder that cannot be read is said";
}

}  // namespace
