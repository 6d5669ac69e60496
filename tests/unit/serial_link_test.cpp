// The serial link against the in-memory libserialport: which calls it makes,
// with which values, and what it makes of every result.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "fake_libserialport.h"
#include "globals.h"
#include "serial_link.h"
#include "test_support.h"

namespace {

using testing_support::Printed;

using fakesp::Bytes;
using fakesp::Call;

double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

const std::vector<Call> kConfigureCalls = {
    {"sp_set_config_baudrate", {115200}},
    {"sp_set_config_bits", {8}},
    {"sp_set_config_cts", {SP_CTS_IGNORE}},
    {"sp_set_config_dsr", {SP_DSR_IGNORE}},
    {"sp_set_config_dtr", {SP_DTR_OFF}},
    {"sp_set_config_flowcontrol", {SP_FLOWCONTROL_NONE}},
    {"sp_set_config_parity", {SP_PARITY_NONE}},
    {"sp_set_config_rts", {SP_RTS_OFF}},
    {"sp_set_config_stopbits", {1}},
    {"sp_set_config_xon_xoff", {SP_XONXOFF_DISABLED}},
    {"sp_set_config", {}},
};

TEST(SerialConnectTest, LooksUpOpensConfiguresAndFlushesInThatOrder) {
    fakesp::Reset();
    EXPECT_EQ(Printed([] { EXPECT_EQ(SerialConnect("/dev/ttyUSB0"), 0); }), "");

    std::vector<Call> expected = {
        {"sp_new_config", {}},
        {"sp_get_port_by_name", {}},
        {"sp_open", {SP_MODE_READ_WRITE}},
        {"sp_get_port_handle", {}},  // for the port lock
    };
    expected.insert(expected.end(), kConfigureCalls.begin(), kConfigureCalls.end());
    // The input only: an earlier connection's last bytes may still be on their way out.
    expected.push_back({"sp_flush", {SP_BUF_INPUT}});
    EXPECT_EQ(fakesp::Calls(), expected);
    EXPECT_EQ(fakesp::LastPortName(), "/dev/ttyUSB0");
    EXPECT_TRUE(fakesp::PortOpen());
    EXPECT_NE(port, nullptr);
    EXPECT_NE(port_config, nullptr);
}

TEST(SerialConnectTest, EachRefusedStepGivesItsOwnCodeAndStopsThere) {
    struct Step {
        const char *call;
        int base;
    };
    const Step steps[] = {{"sp_new_config", 100}, {"sp_get_port_by_name", 200}, {"sp_open", 300}};
    for (const Step &step : steps) {
        for (int error = SP_ERR_SUPP; error <= SP_ERR_ARG; ++error) {
            SCOPED_TRACE(std::string(step.call) + " " + std::to_string(error));
            fakesp::Reset();
            fakesp::SetResult(step.call, error);
            int code = 0;
            EXPECT_EQ(Printed([&] { code = SerialConnect("COM1"); }), "");
            EXPECT_EQ(code, step.base - error);
            EXPECT_EQ(fakesp::CallNames().back(), step.call);
        }
    }
}

TEST(SerialConnectTest, RefusedConfigurationStepsGive401To411) {
    for (std::size_t step = 0; step < kConfigureCalls.size(); ++step) {
        const std::string call = kConfigureCalls[step].name;
        SCOPED_TRACE(call);
        fakesp::Reset();
        fakesp::SetResult(call, SP_ERR_FAIL);
        int code = 0;
        EXPECT_EQ(Printed([&] { code = SerialConnect("/dev/ttyS0"); }), "");
        EXPECT_EQ(code, 401 + static_cast<int>(step));
        // Nothing after the refused step but the close (a port that cannot
        // be set up is not left open and locked); in particular no flush.
        const auto calls = fakesp::CallNames();
        ASSERT_GE(calls.size(), 2u);
        EXPECT_EQ(calls[calls.size() - 2], call);
        EXPECT_EQ(calls.back(), "sp_close");
        EXPECT_EQ(fakesp::CountCalls("sp_flush"), 0u);
    }
}

TEST(SerialConnectTest, ConnectingAgainFreesTheEarlierHandles) {
    // A program that connects every second (the station's presence pings)
    // must hold one port and one configuration, not one per connection.
    fakesp::Reset();
    ASSERT_EQ(SerialConnect("/dev/ttyUSB0"), 0);
    SerialDisconnect();
    fakesp::ClearHistory();
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(SerialConnect("/dev/ttyUSB0"), 0);
        SerialDisconnect();
    }
    EXPECT_EQ(fakesp::CountCalls("sp_free_port"), 2u);
    EXPECT_EQ(fakesp::CountCalls("sp_free_config"), 2u);
}

TEST(SerialConnectTest, ConnectFlushDropsWhatTheDeviceSentBefore) {
    fakesp::Reset();
    fakesp::QueueRead({0xEE});
    ASSERT_EQ(SerialConnect("/dev/ttyUSB0"), 0);
    EXPECT_EQ(fakesp::PendingReadBytes(), 0u);
    char byte = 0;
    EXPECT_EQ(SerialReceiveWithTimeout(&byte, 1, 20), -1);
}

TEST(SerialDisconnectTest, PassesTheCloseResultThrough) {
    fakesp::Reset();
    ASSERT_EQ(SerialConnect("/dev/ttyUSB0"), 0);
    fakesp::SetResult("sp_close", SP_ERR_FAIL);
    EXPECT_EQ(SerialDisconnect(), SP_ERR_FAIL);

    fakesp::Reset();
    ASSERT_EQ(SerialConnect("/dev/ttyUSB0"), 0);
    EXPECT_EQ(SerialDisconnect(), SP_OK);
    EXPECT_FALSE(fakesp::PortOpen());
}

TEST(SerialDisconnectTest, LetsTheLastBytesLeaveBeforeClosing) {
    fakesp::Reset();
    ASSERT_EQ(SerialConnect("/dev/ttyUSB0"), 0);
    ASSERT_EQ(SerialSendSpecialCmd(static_cast<char>(CMD_EXIT)), 0);
    fakesp::ClearHistory();
    EXPECT_EQ(SerialDisconnect(), SP_OK);
    EXPECT_EQ(fakesp::CallNames(), (std::vector<std::string>{"sp_drain", "sp_get_port_handle", "sp_close"}));
}

class SerialSendTest : public testing::Test {
protected:
    void SetUp() override {
        fakesp::Reset();
        fakesp::SetLastErrorMessage("Input/output error");
        ASSERT_EQ(SerialConnect("/dev/ttyUSB0"), 0);
        fakesp::ClearHistory();
    }
    void TearDown() override { EXPECT_EQ(fakesp::OutstandingErrorMessages(), 0); }
};

TEST_F(SerialSendTest, FlushesOnlyTheInputThenWritesOneByteWithA500msTimeout) {
    EXPECT_EQ(Printed([] { EXPECT_EQ(SerialSend(static_cast<char>(0xA5)), 0); }), "");
    EXPECT_EQ(fakesp::Calls(), (std::vector<Call>{{"sp_flush", {SP_BUF_INPUT}},
                                                  {"sp_blocking_write", {1, 500}}}));
    EXPECT_EQ(fakesp::Written(), Bytes{0xA5});
}

TEST_F(SerialSendTest, RefusedFlushGivesMinus41AndWritesNothing) {
    fakesp::SetResult("sp_flush", SP_ERR_FAIL);
    int code = 0;
    EXPECT_EQ(Printed([&] { code = SerialSend('x'); }), "error in sp_flush: Input/output error\n");
    EXPECT_EQ(code, -41);
    EXPECT_EQ(fakesp::CountCalls("sp_blocking_write"), 0u);
}

TEST_F(SerialSendTest, WriteOfNothingOrAnErrorGivesMinus42) {
    for (const int result : {0, static_cast<int>(SP_ERR_FAIL), static_cast<int>(SP_ERR_ARG)}) {
        SCOPED_TRACE(result);
        fakesp::SetResultOnCall("sp_blocking_write", 1, result);
        int code = 0;
        EXPECT_EQ(Printed([&] { code = SerialSend('x'); }),
                  "Error in sp_blocking_write: Input/output error\n");
        EXPECT_EQ(code, -42);
        EXPECT_TRUE(fakesp::Written().empty());
        fakesp::ClearHistory();
    }
}

TEST_F(SerialSendTest, FourByteValueGoesOutMostSignificantFirst) {
    EXPECT_EQ(SerialSend4B(522240), 0);
    EXPECT_EQ(fakesp::Written(), (Bytes{0x00, 0x07, 0xF8, 0x00}));
    fakesp::ClearHistory();
    EXPECT_EQ(SerialSend4B(0xDEADBEEF), 0);
    EXPECT_EQ(fakesp::Written(), (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));
}

TEST_F(SerialSendTest, FourByteValueStopsAtTheFirstFailedByte) {
    fakesp::SetResultOnCall("sp_blocking_write", 2, 0);
    int code = 0;
    EXPECT_EQ(Printed([&] { code = SerialSend4B(0x11223344); }),
              "Error in sp_blocking_write: Input/output error\n* SerialSend4B Error -42\n");
    EXPECT_EQ(code, -1);
    EXPECT_EQ(fakesp::Written(), Bytes{0x11});
    EXPECT_EQ(fakesp::CountCalls("sp_blocking_write"), 2u);

    fakesp::ClearHistory();
    fakesp::SetResultOnCall("sp_flush", 1, SP_ERR_FAIL);
    EXPECT_EQ(Printed([&] { code = SerialSend4B(1); }),
              "error in sp_flush: Input/output error\n* SerialSend4B Error -41\n");
    EXPECT_EQ(code, -1);
    EXPECT_TRUE(fakesp::Written().empty());
}

TEST_F(SerialSendTest, SpecialCommandIsTheByteEightTimesEachAfterAnInputFlush) {
    EXPECT_EQ(SerialSendSpecialCmd(static_cast<char>(CMD_ERASE)), 0);
    EXPECT_EQ(fakesp::Written(), Bytes(8, CMD_ERASE));
    EXPECT_EQ(fakesp::FlushCount(SP_BUF_INPUT), 8);
    EXPECT_EQ(fakesp::FlushCount(SP_BUF_OUTPUT), 0);
    EXPECT_EQ(fakesp::FlushCount(SP_BUF_BOTH), 0);
    EXPECT_EQ(fakesp::DrainCount(), 0);
}

TEST_F(SerialSendTest, SpecialCommandWhoseThirdByteFailsLeavesTwoSentAndGivesOne) {
    fakesp::SetResultOnCall("sp_blocking_write", 3, SP_ERR_FAIL);
    int code = 0;
    EXPECT_EQ(Printed([&] { code = SerialSendSpecialCmd(0x55); }),
              "Error in sp_blocking_write: Input/output error\n* SerialSendSpecialCmd Error -42\n");
    EXPECT_EQ(code, 1);
    EXPECT_EQ(fakesp::Written(), (Bytes{0x55, 0x55}));
    EXPECT_EQ(fakesp::CountCalls("sp_blocking_write"), 3u);
}

TEST_F(SerialSendTest, DeviceBytesArrivingWhileTheHostSendsAreDropped) {
    // The device chatters after every byte it gets; only the answer to the
    // last byte, arriving after the last flush, can be read.
    fakesp::SetDevice([](unsigned char byte) { fakesp::QueueRead({static_cast<unsigned char>(byte + 1)}); });
    ASSERT_EQ(SerialSend4B(0x10203040), 0);
    EXPECT_EQ(fakesp::DiscardedBytes(), 3u);
    char answer = 0;
    ASSERT_EQ(SerialReceive(&answer, 1), 0);
    EXPECT_EQ(static_cast<unsigned char>(answer), 0x41);
}

class SerialReceiveTest : public testing::Test {
protected:
    void SetUp() override {
        fakesp::Reset();
        ASSERT_EQ(SerialConnect("/dev/ttyUSB0"), 0);
        fakesp::ClearHistory();
    }
};

TEST_F(SerialReceiveTest, DrainsTheOutputOnceBeforeWaitingForTheAnswer) {
    fakesp::SetDevice([](unsigned char) { fakesp::QueueRead({RESPONSE_OK}, 5); });
    ASSERT_EQ(SerialSend(static_cast<char>(CMD_PING)), 0);
    char answer = 0;
    ASSERT_EQ(SerialReceive(&answer, 1), 0);
    const auto names = fakesp::CallNames();
    ASSERT_GE(names.size(), 4u);
    EXPECT_EQ(names[2], "sp_drain");
    EXPECT_EQ(names[3], "sp_blocking_read");

    // Receives with nothing sent in between do not drain again: a long
    // download read byte by byte costs one drain, not one per byte.
    fakesp::QueueRead(Bytes(100, 0x42));
    for (int i = 0; i < 100; ++i) ASSERT_EQ(SerialReceive(&answer, 1), 0);
    EXPECT_EQ(fakesp::DrainCount(), 1);
}

TEST_F(SerialReceiveTest, EveryReadAsksForTheWantedBytesWithA1msTimeout) {
    fakesp::QueueRead({0x01, 0x02, 0x03}, 30);
    char got[3] = {};
    ASSERT_EQ(SerialReceive(got, 3), 0);
    EXPECT_EQ(std::string(got, 3), "\x01\x02\x03");
    ASSERT_GT(fakesp::Calls().size(), 1u);
    for (const Call &call : fakesp::Calls()) {
        EXPECT_STREQ(call.name, "sp_blocking_read");
        EXPECT_EQ(call.args, (std::vector<long long>{3, READ_TIMEOUT_1B_MS}));
    }
}

TEST_F(SerialReceiveTest, SilentPortTimesOutAfterALittleMoreThan500ms) {
    char answer = 0;
    const auto start = std::chrono::steady_clock::now();
    int code = 0;
    EXPECT_EQ(Printed([&] { code = SerialReceive(&answer, 1); }), "");
    const double elapsed = MsSince(start);
    EXPECT_EQ(code, -1);
    EXPECT_GE(elapsed, 500.0);
    EXPECT_LT(elapsed, 800.0);
}

TEST_F(SerialReceiveTest, AnswerJustInsideTheWindowIsTaken) {
    fakesp::QueueRead({RESPONSE_KO_CHECKSUM}, 420);
    char answer = 0;
    EXPECT_EQ(SerialReceive(&answer, 1), 0);
    EXPECT_EQ(static_cast<unsigned char>(answer), RESPONSE_KO_CHECKSUM);
}

TEST_F(SerialReceiveTest, ZeroTimeoutStillReadsOnce) {
    fakesp::QueueRead({0x69});
    char answer = 0;
    EXPECT_EQ(SerialReceiveWithTimeout(&answer, 1, 0), 0);
    EXPECT_EQ(answer, 0x69);

    fakesp::ClearHistory();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SerialReceiveWithTimeout(&answer, 1, 0), -1);
    EXPECT_LT(MsSince(start), 50.0);
    EXPECT_GE(fakesp::CountCalls("sp_blocking_read"), 1u);
}

TEST_F(SerialReceiveTest, PortErrorsDuringTheWaitAreNotReported) {
    fakesp::SetResult("sp_blocking_read", SP_ERR_FAIL);
    char answer = 0;
    const auto start = std::chrono::steady_clock::now();
    int code = 0;
    EXPECT_EQ(Printed([&] { code = SerialReceive(&answer, 1); }), "");
    EXPECT_EQ(code, -1);
    EXPECT_GE(MsSince(start), 500.0);
    // The failing reads are paced, not spun.
    EXPECT_LT(fakesp::CountCalls("sp_blocking_read"), 1000u);
}

TEST_F(SerialReceiveTest, PortErrorsFollowedByTheAnswerStillSucceed) {
    fakesp::SetResultOnCall("sp_blocking_read", 1, SP_ERR_FAIL);
    fakesp::SetResultOnCall("sp_blocking_read", 2, SP_ERR_FAIL);
    fakesp::QueueRead({RESPONSE_OK});
    char answer = 0;
    EXPECT_EQ(SerialReceive(&answer, 1), 0);
    EXPECT_EQ(static_cast<unsigned char>(answer), RESPONSE_OK);
}

TEST_F(SerialReceiveTest, PartialReadsDoNotCountAsAnAnswer) {
    // Only one read that delivers every wanted byte ends the wait.
    fakesp::SetResult("sp_blocking_read", 1);
    fakesp::QueueRead({0x01, 0x02});
    char got[2] = {};
    EXPECT_EQ(SerialReceiveWithTimeout(got, 2, 30), -1);
}

}  // namespace
