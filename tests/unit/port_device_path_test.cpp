// The name the link library gets for a port, and the stable names that lead
// to a device: links resolved, every other name left exactly as given.
#include <unistd.h>

#include <gtest/gtest.h>

#include "port_device_path.h"
#include "test_support.h"

namespace {

using testing_support::MakeDir;
using testing_support::TempDir;
using testing_support::WriteFile;

TEST(PortDevicePath, ResolvesLinksAndLeavesEveryOtherNameAsGiven) {
    TempDir dir;
    const std::string device = dir.file("ttyUSB3");
    WriteFile(device, "");
    MakeDir(dir.file("by-path"));
    const std::string position = dir.file("by-path/pci-0000:00:14.0-usb-0:2:1.0-port0");
    const std::string chained = dir.file("fixture-7");
    ASSERT_EQ(symlink("../ttyUSB3", position.c_str()), 0);
    ASSERT_EQ(symlink(position.c_str(), chained.c_str()), 0);
    ASSERT_EQ(symlink(dir.file("gone").c_str(), dir.file("dangling").c_str()), 0);

    EXPECT_EQ(PortDevicePath(position.c_str()), device);
    EXPECT_EQ(PortDevicePath(chained.c_str()), device);
    // Not links: what the library reports for them must not change.
    for (const std::string &name : {device, dir.file("missing"), std::string("COM3"), std::string("")}) {
        EXPECT_EQ(PortDevicePath(name.c_str()), name);
    }
    EXPECT_EQ(PortDevicePath(dir.file("dangling").c_str()), dir.file("dangling"));

    EXPECT_EQ(PortLinksTo(dir.file("by-path"), device), std::vector<std::string>{position});
    EXPECT_EQ(PortLinksTo(dir.path(), device), std::vector<std::string>{chained});
    EXPECT_TRUE(PortLinksTo(dir.file("by-id"), device).empty());
}

}  // namespace
