// The device ping, through the real link and libserialport, against the
// simulated device: answered at once, a wrong answer retried after a second.
// (An answer before the last ping byte cannot be staged on a pty, where the
// host has written all eight bytes before the device reads the first; the
// unit tests script it.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pty_helper.h"
#include "simulated_device.h"
#include "test_support.h"

namespace {

using testing_support::BuildPath;
using testing_support::PtyAdapterEnv;
using testing_support::RunProgram;
using testing_support::RunResult;
using testing_support::SimulatedDevice;
using testing_support::TempDir;

RunResult Ping(const SimulatedDevice &device) {
    return RunProgram({BuildPath("pardulo-linkprobe"), "ping", device.port()}, "/tmp", PtyAdapterEnv(), 60);
}

TEST(PingTest, ADeviceThatAnswersAtOnceIsFoundSilently) {
    TempDir dir;
    const SimulatedDevice device(dir.file("device"));
    ASSERT_FALSE(device.port().empty());

    const RunResult run = Ping(device);

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out, "connect 0\nping 0\ndisconnect 0\n");
    EXPECT_LT(run.seconds, 1.0);
}

TEST(PingTest, AWrongAnswerIsShownAndRetriedAfterASecond) {
    TempDir dir;
    const SimulatedDevice device(dir.file("device"), {"--ping-answer", "1=byte:0x69"});
    ASSERT_FALSE(device.port().empty());

    const RunResult run = Ping(device);

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out,
              "connect 0\n"
              "* ping: received unattended char 105 [69]\n"
              "* Ping retry 1\n"
              "ping 0\n"
              "disconnect 0\n");
    EXPECT_GE(run.seconds, 1.0);
}

}  // namespace
