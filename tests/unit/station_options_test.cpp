// The station's settings in-process: which source each value is taken
// from (the command line's bytes or its text, the file under the command
// line), what the table gives every row.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "station_options.h"
#include "test_support.h"

namespace {

using testing_support::TempDir;
using testing_support::WriteFile;

TEST(StationOptions, NamesComeFromTheTextOfTheArgumentsPathsAndPortsFromTheirBytes) {
    // As on Windows: argv in the code page has lost what the UTF-16
    // command line kept.
    const std::vector<std::string> args = {"pardulo-station", "--name", "Linie ?", "--log", "r?.jsonl",
                                           "Platz ?=COM3", "COM4"};
    const std::vector<std::string> texts = {"pardulo-station", "--name", "Linie \xc3\xa9", "--log",
                                            "r\xc3\xa9.jsonl", "Platz \xc3\xa9=COM3", "COM4"};
    StationOptions options;
    ASSERT_EQ(ReadStationOptions(args, texts, &options), "");
    EXPECT_EQ(options.name, "Linie \xc3\xa9");
    EXPECT_EQ(options.log, "r?.jsonl");
    ASSERT_EQ(options.fixtures.size(), 2u);
    EXPECT_EQ(options.fixtures[0].name, "Platz \xc3\xa9");
    EXPECT_EQ(options.fixtures[0].port, "COM3");
    EXPECT_EQ(options.fixtures[1].name, "COM4");
    EXPECT_EQ(options.fixtures[1].port, "COM4");
}

TEST(StationOptions, TheCommandLineWinsSettingBySettingAndItsFixturesReplaceTheFiles) {
    TempDir dir;
    const std::string config = dir.file("line.toml");
    WriteFile(config, "wait = 3\nonce = true\ndir = \"from-file\"\n[[fixture]]\nport = \"/dev/ttyUSB0\"\n");
    const auto read = [&config](std::vector<std::string> args) {
        args.insert(args.begin(), {"pardulo-station", "--config", config});
        StationOptions options;
        EXPECT_EQ(ReadStationOptions(args, args, &options), "");
        return options;
    };
    const StationOptions file_only = read({});
    EXPECT_EQ(file_only.wait_s, 3);
    EXPECT_TRUE(file_only.once);
    EXPECT_EQ(file_only.dir, "from-file");
    EXPECT_EQ(file_only.log, "station.jsonl");  // neither: the default
    ASSERT_EQ(file_only.fixtures.size(), 1u);
    EXPECT_EQ(file_only.fixtures[0].name, "/dev/ttyUSB0");

    const StationOptions both = read({"--wait", "0.5", "A=/dev/ttyUSB1", "B=/dev/ttyUSB2"});
    EXPECT_EQ(both.wait_s, 0.5);
    EXPECT_TRUE(both.once);
    EXPECT_EQ(both.dir, "from-file");
    ASSERT_EQ(both.fixtures.size(), 2u);
    EXPECT_EQ(both.fixtures[1].name, "B");
    EXPECT_EQ(both.fixtures[1].port, "/dev/ttyUSB2");
}

TEST(StationOptions, EveryRowHasItsOwnOptionAndKeyAndTheUsageShowsIt) {
    std::set<std::string> names, keys;
    const std::string usage = StationUsage();
    for (const OptionRow &row : StationOptionRows()) {
        EXPECT_TRUE(names.insert(row.name).second) << row.name;
        EXPECT_TRUE(keys.insert(OptionKey(row)).second) << row.name;
        EXPECT_NE(usage.find(std::string("--") + row.name), std::string::npos) << row.name;
        EXPECT_EQ(OptionKey(row).find('-'), std::string::npos) << row.name;
    }
    EXPECT_EQ(keys.count("map_sha256"), 1u);
    EXPECT_EQ(keys.count("hook_timeout"), 1u);
}

TEST(StationOptions, APathIsNoOptionAndOneThatHoldsAnEqualsSignIsAPortNotAName) {
    const std::vector<std::string> args = {"pardulo-station", "--dir", "/line", "/dev/serial/by-id/usb-x=y",
                                           "\\\\.\\a=b"};
    StationOptions options;
    ASSERT_EQ(ReadStationOptions(args, args, &options), "");
    ASSERT_EQ(options.fixtures.size(), 2u);
    EXPECT_EQ(options.fixtures[0].name, "/dev/serial/by-id/usb-x=y");
    EXPECT_EQ(options.fixtures[1].port, "\\\\.\\a=b");
    EXPECT_EQ(options.dir, "/line");  // no option of Windows' "/" style, on Windows neither
}

}  // namespace
