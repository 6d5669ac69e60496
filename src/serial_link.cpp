// The serial link on libserialport. Every byte goes out on its own: the
// input side is flushed ahead of it, so that only an answer that arrives
// after the host's last byte can be read, and it is written with a blocking
// write. Receiving polls with short reads against a monotonic clock.
#include "serial_link.h"

#include "port_device_path.h"
#include "port_lock.h"
#include "serial_link_platform.h"

#include <libserialport.h>
#ifndef _WIN32
#include <poll.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "globals.h"

struct sp_port *port = nullptr;
struct sp_port_config *port_config = nullptr;

namespace {

// Time-out of the one-byte blocking write of SerialSend.
constexpr unsigned int WRITE_TIMEOUT_MS = 500;

// True when bytes were written since the output was last drained. The
// receive drains the output once before it starts waiting, so its time-out
// counts from the moment the message has left the host; a long run of
// receives without sends in between (a screenshot of half a megabyte read
// byte by byte) drains only once.
bool output_undrained = false;

// Set when the system said the port is no longer there.
bool port_lost = false;

// The open port's file descriptor, -1 when the library has none to give.
int port_fd = -1;

// Looks at the error of the library call that just failed: a hung-up or
// removed port gives one of these on every system we run on.
void NoteIfPortLost() {
    const int code = sp_last_error_code();
    if (code == EIO || code == ENXIO || code == ENODEV) port_lost = true;
}

// Prints format with the library's text of its last error. The text is the
// library's and the operating system's, printed unchanged.
void PrintLastError(const char *format) {
    char *message = sp_last_error_message();
    printf(format, message != nullptr ? message : "");
    sp_free_error_message(message);
}

}  // namespace

void DrainOutput() {
    if (!output_undrained) return;
    // A failed drain is not reported: the receive that follows meets the
    // same broken port and ends with its time-out.
    sp_drain(port);
    output_undrained = false;
}

int SerialConnect(const char *portname) {
    // The library's default debug handler looks its variable up in the
    // environment on every trace line, several times for each byte sent,
    // and prints nothing unless the variable is set. Unless it is set, the
    // handler is removed, and that cost on every byte with it.
    if (getenv("LIBSERIALPORT_DEBUG") == nullptr) sp_set_debug_handler(nullptr);

    // A new connection replaces the previous one's handles, so a caller that
    // connects again and again (the station pings its ports every second)
    // holds one set instead of one per connection.
    port_fd = -1;
    if (port != nullptr) {
        sp_free_port(port);
        port = nullptr;
    }
    if (port_config != nullptr) {
        sp_free_config(port_config);
        port_config = nullptr;
    }

    sp_return result = sp_new_config(&port_config);
    if (result != SP_OK) return kConnectNoConfig - result;

    // The library refuses a symbolic link (a port named by its position or
    // its adapter): it gets the device the link points to.
    const std::string device = PortDevicePath(portname);
    result = sp_get_port_by_name(device.c_str(), &port);
    if (result != SP_OK) return kConnectNoSuchPort - result;

    result = sp_open(port, SP_MODE_READ_WRITE);
    if (result != SP_OK) return kConnectNotOpened - result;

    // One process per port: a port another run holds is refused as busy,
    // like a port the system would not open.
    int fd = -1;
    const bool has_handle = sp_get_port_handle(port, &fd) == SP_OK;
    if (has_handle && LockOpenPort(fd) != kPortLocked) {
        sp_close(port);
        return kConnectNotOpened - SP_ERR_FAIL;
    }

    const int params = SerialSetParams();
    if (params != kLinkOk) {
        // Not a usable connection: the port is left closed and unlocked.
        if (fd >= 0) UnlockPort(fd);
        sp_close(port);
        return kConnectNotSettable - params;
    }

    // Only what the device sent before we were ready is dropped. The output
    // is left alone: on a pseudo-terminal the drain of the previous
    // connection returns while its last bytes (an exit command) still wait
    // for the reader, and flushing the output here would throw them away.
    sp_flush(port, SP_BUF_INPUT);
    output_undrained = false;
    port_lost = false;
    port_fd = has_handle ? fd : -1;
    return kLinkOk;
}

int SerialSetParams() {
    if (sp_set_config_baudrate(port_config, BAUDRATE) != SP_OK) return kParamsBaudrate;
    if (sp_set_config_bits(port_config, 8) != SP_OK) return kParamsBits;
    if (sp_set_config_cts(port_config, SP_CTS_IGNORE) != SP_OK) return kParamsCts;
    if (sp_set_config_dsr(port_config, SP_DSR_IGNORE) != SP_OK) return kParamsDsr;
    if (sp_set_config_dtr(port_config, SP_DTR_OFF) != SP_OK) return kParamsDtr;
    if (sp_set_config_flowcontrol(port_config, SP_FLOWCONTROL_NONE) != SP_OK) return kParamsFlowControl;
    if (sp_set_config_parity(port_config, SP_PARITY_NONE) != SP_OK) return kParamsParity;
    if (sp_set_config_rts(port_config, SP_RTS_OFF) != SP_OK) return kParamsRts;
    if (sp_set_config_stopbits(port_config, 1) != SP_OK) return kParamsStopBits;
    if (sp_set_config_xon_xoff(port_config, SP_XONXOFF_DISABLED) != SP_OK) return kParamsXonXoff;
    if (sp_set_config(port, port_config) != SP_OK) return kParamsApply;
    return kLinkOk;
}

int SerialDisconnect() {
    // Closing must not cost the device the last bytes of the message (the
    // exit command): let them leave first. The close result is what counts.
    DrainOutput();
    int fd = -1;
    if (sp_get_port_handle(port, &fd) == SP_OK) UnlockPort(fd);
    port_fd = -1;
    return sp_close(port);
}

int SerialSend(char snd) {
    const char buffer[1] = {snd};

    // Only the input is discarded: stale bytes from the device must not be
    // taken for the answer to this message, but bytes already reported
    // written must still reach the device, and an output flush would throw
    // away those the driver has not yet put on the line.
    if (sp_flush(port, SP_BUF_INPUT) != SP_OK) {
        NoteIfPortLost();
        PrintLastError("error in sp_flush: %s\n");
        return kSendFlushFailed;
    }

    const int written = sp_blocking_write(port, buffer, 1, WRITE_TIMEOUT_MS);
    if (written <= 0) {
        NoteIfPortLost();
        PrintLastError("Error in sp_blocking_write: %s\n");
        return kSendWriteFailed;
    }
    output_undrained = true;
    return kLinkOk;
}

// A port that hung up (a pseudo-terminal whose other side closed, a USB
// adapter unplugged) reads as an empty port rather than failing: only its
// poll says so.
bool PortHungUp() {
#ifdef _WIN32
    // The Windows build of the unit tests runs this link on the stand-in,
    // whose ports have no descriptor.
    return false;
#else
    if (port_fd < 0) return false;
    struct pollfd state{port_fd, POLLIN, 0};
    return poll(&state, 1, 0) > 0 && (state.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
#endif
}

int ReadAvailable(char *rcv, unsigned int count) {
    const int got = sp_blocking_read(port, rcv, count, READ_TIMEOUT_1B_MS);
    if (got < 0) NoteIfPortLost();
    // Asked only when nothing came, which costs the wait of a read anyway.
    if (got == 0 && !port_lost && PortHungUp()) {
        port_lost = true;
        return -1;
    }
    return got;
}

bool SerialPortLost() { return port_lost; }
