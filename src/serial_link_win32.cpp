// The serial link on the Win32 communications API, with the results and
// messages of the libserialport link (serial_link.cpp): the same line
// settings, the input flushed before every byte, a one-byte write with a
// time-out, a drain before waiting for an answer, and short reads against
// the monotonic clock. The open is exclusive, as Windows always opens a
// communications port: a port another process holds is refused as busy.
#include "serial_link.h"

#include <windows.h>

#include <cstdio>
#include <string>

#include "globals.h"
#include "serial_link_platform.h"

// Kept for the shared header; the Windows link keeps its own handle.
struct sp_port *port = nullptr;
struct sp_port_config *port_config = nullptr;

namespace {

// The codes of the libserialport link for the same failures: its lookup
// refuses a port that is not there (SP_ERR_ARG, -1), its open fails with
// SP_ERR_FAIL (-2), and so does its close.
constexpr int kNoSuchPort = kConnectNoSuchPort + 1;
constexpr int kOpenRefused = kConnectNotOpened + 2;
constexpr int kCloseFailed = -2;

constexpr DWORD kWriteTimeoutMs = 500;  // the one-byte write of SerialSend

HANDLE handle = INVALID_HANDLE_VALUE;
bool output_undrained = false;

// Set when the system said the port is no longer there.
bool port_lost = false;

// Looks at the error of the call that just failed: what Windows gives for a
// USB adapter pulled out, or a port whose device went away. Drivers differ:
// "not ready" (also Wine's, for a line hung up), "bad command", "general
// failure", and "access denied" on a handle that was open until then.
void NoteIfPortLost() {
    const DWORD code = GetLastError();
    if (code == ERROR_BAD_COMMAND || code == ERROR_GEN_FAILURE || code == ERROR_DEVICE_REMOVED ||
        code == ERROR_DEVICE_NOT_CONNECTED || code == ERROR_NOT_READY || code == ERROR_ACCESS_DENIED) {
        port_lost = true;
    }
}

// The system's text for the last error, on one line.
std::string LastErrorText() {
    const DWORD code = GetLastError();
    char text[512] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n')) message.pop_back();
    if (message.empty()) message = "error " + std::to_string(code);
    return message;
}

void PrintLastError(const char *format) { printf(format, LastErrorText().c_str()); }

// "COM3" opens as \\.\COM3, the form that also reaches COM10 and above.
std::string DevicePath(const char *portname) {
    const std::string name = portname;
    return name.rfind("\\\\", 0) == 0 ? name : "\\\\.\\" + name;
}

int OpenErrorCode(DWORD error) {
    return (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME)
               ? kNoSuchPort
               : kOpenRefused;
}

}  // namespace

void DrainOutput() {
    if (!output_undrained) return;
    // Not reported: the receive that follows meets the same broken port.
    FlushFileBuffers(handle);
    output_undrained = false;
}

int SerialConnect(const char *portname) {
    if (portname == nullptr) return kNoSuchPort;
    handle = CreateFileA(DevicePath(portname).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return OpenErrorCode(GetLastError());

    const int params = SerialSetParams();
    if (params != kLinkOk) {
        CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
        return kConnectNotSettable - params;
    }
    // Only what the device sent before we were ready is dropped, as in the
    // libserialport link. The output is left alone: an earlier connection's
    // last bytes (its exit command) may still wait for the reader (under
    // Wine's pseudo-terminal even after the drain), and the station's ping
    // right after an upload would otherwise take them off the line.
    PurgeComm(handle, PURGE_RXCLEAR);
    output_undrained = false;
    port_lost = false;
    return kLinkOk;
}

int SerialSetParams() {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) return kParamsApply;
    dcb.BaudRate = BAUDRATE;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(handle, &dcb)) return kParamsApply;

    // A read returns what came within READ_TIMEOUT_1B_MS; a write gives up
    // after kWriteTimeoutMs.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = READ_TIMEOUT_1B_MS;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = kWriteTimeoutMs;
    if (!SetCommTimeouts(handle, &timeouts)) return kParamsApply;
    return kLinkOk;
}

int SerialDisconnect() {
    // The exit command's last bytes leave before the port is closed.
    DrainOutput();
    const BOOL closed = CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
    return closed ? 0 : kCloseFailed;
}

int SerialSend(char snd) {
    // Only the input is discarded, as in the libserialport link: bytes
    // already written must still reach the device.
    if (!PurgeComm(handle, PURGE_RXCLEAR)) {
        PrintLastError("error in sp_flush: %s\n");
        return kSendFlushFailed;
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(handle, &snd, 1, &written, nullptr);
    if (!ok || written == 0) {
        if (ok) SetLastError(ERROR_TIMEOUT);  // the write time-out passed with nothing written
        NoteIfPortLost();
        PrintLastError("Error in sp_blocking_write: %s\n");
        return kSendWriteFailed;
    }
    output_undrained = true;
    return kLinkOk;
}

int ReadAvailable(char *rcv, unsigned int count) {
    DWORD got = 0;
    if (!ReadFile(handle, rcv, count, &got, nullptr)) {
        NoteIfPortLost();
        return -1;
    }
    return static_cast<int>(got);
}

bool SerialPortLost() { return port_lost; }
