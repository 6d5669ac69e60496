// The Windows serial link on the stand-in of its Win32 calls: what each
// refusal of the port gives, the line it sets up, and the order of its
// calls around every byte.
#include "serial_link.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "win32_comm_standin.h"

namespace {

using testing_support::Printed;
using win32standin::Count;
using win32standin::Port;

// One row per way the port can refuse, with the code SerialConnect gives:
// the codes of the libserialport link for the same failures. A port that
// is opened and then refused is closed again.
TEST(serial_link_win32, EveryRefusalOfThePortGivesTheLinuxLinksCode) {
    struct Row {
        const char *fault;
        void (*script)(Port &);
        int code;
    };
    const Row rows[] = {
        {"no such port", [](Port &p) { p.open_error = ERROR_FILE_NOT_FOUND; }, 201},
        {"no such path", [](Port &p) { p.open_error = ERROR_PATH_NOT_FOUND; }, 201},
        {"held by another process", [](Port &p) { p.open_error = ERROR_ACCESS_DENIED; }, 302},
        {"shared open refused", [](Port &p) { p.open_error = ERROR_SHARING_VIOLATION; }, 302},
        {"any other open failure", [](Port &p) { p.open_error = ERROR_GEN_FAILURE; }, 302},
        {"state not readable", [](Port &p) { p.get_state_error = ERROR_INVALID_PARAMETER; }, 411},
        {"settings refused", [](Port &p) { p.set_state_error = ERROR_INVALID_PARAMETER; }, 411},
        {"time-outs refused", [](Port &p) { p.set_timeouts_error = ERROR_INVALID_PARAMETER; }, 411},
        {"nothing refused", [](Port &) {}, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.fault);
        Port &port = win32standin::Reset();
        row.script(port);
        int code = -1;
        EXPECT_EQ(Printed([&] { code = SerialConnect("COM3"); }), "");
        EXPECT_EQ(code, row.code);
        EXPECT_EQ(port.opened_path, "\\\\.\\COM3");
        EXPECT_EQ(port.share_mode, 0u);  // exclusive: the one-process-per-port rule
        EXPECT_EQ(port.open_handles, row.code == 0 ? 1 : 0);
        if (row.code == 0) {
            EXPECT_EQ(SerialDisconnect(), 0);
        }
    }
}

TEST(serial_link_win32, SetsUp115200EightNoneOneWithoutFlowControl) {
    Port &port = win32standin::Reset();
    port.dcb.fOutxCtsFlow = TRUE;  // whatever the port had before
    port.dcb.fOutX = TRUE;
    port.dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    port.dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    port.to_read = {0x42};  // sent by the device before we were ready
    ASSERT_EQ(SerialConnect("COM12"), 0);

    EXPECT_EQ(port.opened_path, "\\\\.\\COM12");
    EXPECT_EQ(port.dcb.BaudRate, 115200u);
    EXPECT_EQ(port.dcb.ByteSize, 8);
    EXPECT_EQ(port.dcb.Parity, NOPARITY);
    EXPECT_EQ(port.dcb.StopBits, ONESTOPBIT);
    EXPECT_FALSE(port.dcb.fOutxCtsFlow || port.dcb.fOutxDsrFlow || port.dcb.fOutX || port.dcb.fInX);
    EXPECT_EQ(port.dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(port.dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(port.timeouts.ReadTotalTimeoutConstant, 1u);
    EXPECT_EQ(port.timeouts.WriteTotalTimeoutConstant, 500u);
    // The input only: an earlier connection's exit command may still be on its way.
    EXPECT_EQ(port.calls.back(), "PurgeComm " + std::to_string(PURGE_RXCLEAR));
    EXPECT_TRUE(port.to_read.empty());
    SerialDisconnect();
}

// Each byte: input purged, then written. The first receive after bytes went
// out drains them; later receives do not; a receive that gets nothing ends
// at its time-out.
TEST(serial_link_win32, PurgesBeforeEveryByteAndDrainsBeforeTheAnswer) {
    Port &port = win32standin::Reset();
    ASSERT_EQ(SerialConnect("COM3"), 0);
    port.calls.clear();

    ASSERT_EQ(SerialSend4B(0x01020304u), 0);
    EXPECT_EQ(port.written, (std::vector<unsigned char>{1, 2, 3, 4}));
    const std::string purge = "PurgeComm " + std::to_string(PURGE_RXCLEAR);
    EXPECT_EQ(port.calls, (std::vector<std::string>{purge, "WriteFile", purge, "WriteFile", purge, "WriteFile",
                                                    purge, "WriteFile"}));
    port.calls.clear();
    port.to_read = {0x69, 0x03};
    char answer = 0;
    ASSERT_EQ(SerialReceive(&answer, 1), 0);
    EXPECT_EQ(answer, 0x69);
    ASSERT_EQ(SerialReceive(&answer, 1), 0);
    EXPECT_EQ(answer, 0x03);
    EXPECT_EQ(Count("FlushFileBuffers"), 1);
    EXPECT_EQ(port.calls.front(), "FlushFileBuffers");
    EXPECT_EQ(SerialReceiveWithTimeout(&answer, 1, 50), -1);

    // Failures: each reported with the system's text, as the libserialport link does.
    port.purge_error = ERROR_INVALID_HANDLE;
    EXPECT_EQ(Printed([&] { EXPECT_EQ(SerialSend('x'), -41); }).rfind("error in sp_flush: ", 0), 0u);
    port.purge_error = 0;
    port.write_nothing = true;
    EXPECT_EQ(Printed([&] { EXPECT_EQ(SerialSend('x'), -42); }).rfind("Error in sp_blocking_write: ", 0), 0u);
    EXPECT_FALSE(SerialPortLost());
    port.write_nothing = false;
    // What pulled USB adapters give (drivers differ), and Wine for a line hung up.
    for (const DWORD gone : {ERROR_BAD_COMMAND, ERROR_GEN_FAILURE, ERROR_NOT_READY, ERROR_ACCESS_DENIED}) {
        SerialDisconnect();
        ASSERT_EQ(SerialConnect("COM3"), 0);
        EXPECT_FALSE(SerialPortLost());
        port.write_error = gone;
        Printed([&] { EXPECT_EQ(SerialSend('x'), -42); });
        EXPECT_TRUE(SerialPortLost()) << gone;
    }

    port.calls.clear();
    EXPECT_EQ(SerialDisconnect(), 0);
    EXPECT_EQ(port.calls, (std::vector<std::string>{"CloseHandle"}));  // nothing written since the last drain
    EXPECT_EQ(port.open_handles, 0);
}

}  // namespace
