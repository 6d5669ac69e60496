// pardulo-ports on whatever this machine has: the listing is well formed,
// or says plainly that there is nothing to list.
#include <gtest/gtest.h>

#include <set>
#include <vector>
#include <string>

#include "test_support.h"

namespace {

using testing_support::BuildPath;
using testing_support::Lines;
using testing_support::RunProgram;
using testing_support::TempDir;

TEST(PortsTool, ListsEveryPortAsAWellFormedBlockOrSaysThereAreNone) {
    TempDir dir;
    const auto run = RunProgram({BuildPath("pardulo-ports")}, dir.path());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const auto lines = Lines(run.out);
    ASSERT_FALSE(lines.empty());
    if (lines.front() == "No serial ports found.") {
        EXPECT_EQ(lines.size(), 1u);
        return;
    }

    const std::vector<std::string> labels = {"description", "transport", "USB ids", "manufacturer",
                                             "product",     "serial",    "address",  "by-path", "by-id"};
    // "  LABEL:" padded with blanks, then a value.
    auto well_formed = [&](const std::string &line) {
        for (const std::string &label : labels) {
            const std::string head = "  " + label + ":";
            if (line.rfind(head, 0) != 0) continue;
            const auto value = line.find_first_not_of(' ', head.size());
            return value != std::string::npos && value > head.size();
        }
        return false;
    };
    auto hex4 = [](const std::string &text) {
        return text.size() == 4 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
    };
    const std::set<std::string> transports = {"native", "USB", "Bluetooth", "unknown"};
    std::set<std::string> names;
    std::string transport;
    auto check_port_ended = [&]() {
        EXPECT_TRUE(names.empty() || !transport.empty()) << "every port names its transport";
        transport.clear();
    };
    for (const std::string &line : lines) {
        if (!line.empty() && line[0] != ' ') {
            check_port_ended();
            EXPECT_TRUE(names.insert(line).second) << "listed twice: " << line;
            continue;
        }
        ASSERT_FALSE(names.empty()) << "a field before any port: " << line;
        EXPECT_TRUE(well_formed(line)) << line;
        if (line.rfind("  transport:", 0) == 0) {
            transport = line.substr(line.find_last_of(' ') + 1);
            EXPECT_EQ(transports.count(transport), 1u) << line;
        }
        if (line.rfind("  USB ids:", 0) == 0) {
            const std::string ids = line.substr(line.find_last_of(' ') + 1);
            EXPECT_TRUE(ids.size() == 9 && ids[4] == ':' && hex4(ids.substr(0, 4)) && hex4(ids.substr(5))) << line;
        }
    }
    check_port_ended();
}

TEST(PortsTool, HelpGoesToStandardOutputAndStrayArgumentsAreRefused) {
    TempDir dir;
    const auto help = RunProgram({BuildPath("pardulo-ports"), "--help"}, dir.path());
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: pardulo-ports"), std::string::npos);

    const auto stray = RunProgram({BuildPath("pardulo-ports"), "/dev/ttyUSB0"}, dir.path());
    EXPECT_EQ(stray.status, 2);
    EXPECT_EQ(stray.out, "");
    EXPECT_NE(stray.err.find("not expected: /dev/ttyUSB0 (see --help)"), std::string::npos) << stray.err;
}

}  // namespace
