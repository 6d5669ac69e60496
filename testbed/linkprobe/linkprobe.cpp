// pardulo-linkprobe: drives the serial link, and the device ping on top of
// it, on the real libserialport, so that tests can watch them from the other
// end of the line.
//
//   pardulo-linkprobe connect PORT
//       connects, prints "connect CODE" and, when open, the settings read
//       back from the port, then disconnects.
//   pardulo-linkprobe burst PORT N
//       connects and sends N bytes with SerialSend; byte i is
//       (i * 7 + i / 251) mod 256. Prints "sent COUNT" or the failing byte.
//   pardulo-linkprobe receive PORT HEX...
//       connects, then for each hex byte sends it and receives one byte:
//       "send HEX CODE" and "receive CODE HEX" (HEX "--" when none came).
//   pardulo-linkprobe ping PORT
//       connects and runs the device ping (PingWait: CMD_PING eight times,
//       one answer byte, up to MAX_PING_RETRY attempts a second apart),
//       which no mode of pardulo uses; prints "ping RESULT".
//
// Exit status 0 when every step succeeded, 1 otherwise, 2 for bad usage.
#include <libserialport.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "device_transfer.h"
#include "program_info.h"
#include "serial_link.h"

namespace {

const char *ParityName(sp_parity parity) {
    switch (parity) {
    case SP_PARITY_NONE: return "none";
    case SP_PARITY_ODD: return "odd";
    case SP_PARITY_EVEN: return "even";
    case SP_PARITY_MARK: return "mark";
    case SP_PARITY_SPACE: return "space";
    default: return "invalid";
    }
}

const char *RtsName(sp_rts rts) {
    switch (rts) {
    case SP_RTS_OFF: return "off";
    case SP_RTS_ON: return "on";
    case SP_RTS_FLOW_CONTROL: return "flowcontrol";
    default: return "invalid";
    }
}

const char *CtsName(sp_cts cts) {
    switch (cts) {
    case SP_CTS_IGNORE: return "ignore";
    case SP_CTS_FLOW_CONTROL: return "flowcontrol";
    default: return "invalid";
    }
}

const char *DtrName(sp_dtr dtr) {
    switch (dtr) {
    case SP_DTR_OFF: return "off";
    case SP_DTR_ON: return "on";
    case SP_DTR_FLOW_CONTROL: return "flowcontrol";
    default: return "invalid";
    }
}

const char *DsrName(sp_dsr dsr) {
    switch (dsr) {
    case SP_DSR_IGNORE: return "ignore";
    case SP_DSR_FLOW_CONTROL: return "flowcontrol";
    default: return "invalid";
    }
}

const char *XonXoffName(sp_xonxoff xon_xoff) {
    switch (xon_xoff) {
    case SP_XONXOFF_DISABLED: return "disabled";
    case SP_XONXOFF_IN: return "in";
    case SP_XONXOFF_OUT: return "out";
    case SP_XONXOFF_INOUT: return "inout";
    default: return "invalid";
    }
}

// Reads the port's settings back from the operating system and prints them
// on one line.
int PrintPortSettings() {
    sp_port_config *config = nullptr;
    if (sp_new_config(&config) != SP_OK) return 1;
    int baudrate = 0;
    int bits = 0;
    int stopbits = 0;
    sp_parity parity = SP_PARITY_INVALID;
    sp_rts rts = SP_RTS_INVALID;
    sp_cts cts = SP_CTS_INVALID;
    sp_dtr dtr = SP_DTR_INVALID;
    sp_dsr dsr = SP_DSR_INVALID;
    sp_xonxoff xon_xoff = SP_XONXOFF_INVALID;
    const bool read = sp_get_config(port, config) == SP_OK &&
                      sp_get_config_baudrate(config, &baudrate) == SP_OK &&
                      sp_get_config_bits(config, &bits) == SP_OK &&
                      sp_get_config_parity(config, &parity) == SP_OK &&
                      sp_get_config_stopbits(config, &stopbits) == SP_OK &&
                      sp_get_config_rts(config, &rts) == SP_OK &&
                      sp_get_config_cts(config, &cts) == SP_OK &&
                      sp_get_config_dtr(config, &dtr) == SP_OK &&
                      sp_get_config_dsr(config, &dsr) == SP_OK &&
                      sp_get_config_xon_xoff(config, &xon_xoff) == SP_OK;
    sp_free_config(config);
    if (!read) {
        printf("config unreadable\n");
        return 1;
    }
    printf("config baudrate=%d bits=%d parity=%s stopbits=%d rts=%s cts=%s dtr=%s dsr=%s xonxoff=%s\n",
           baudrate, bits, ParityName(parity), stopbits, RtsName(rts), CtsName(cts), DtrName(dtr),
           DsrName(dsr), XonXoffName(xon_xoff));
    return 0;
}

int Connect(const char *portname) {
    const int code = SerialConnect(portname);
    printf("connect %d\n", code);
    return code;
}

int Disconnect() {
    const int code = SerialDisconnect();
    printf("disconnect %d\n", code);
    return code == SP_OK ? 0 : 1;
}

int ConnectCommand(const char *portname) {
    if (Connect(portname) != 0) return 1;
    const int settings = PrintPortSettings();
    const int closed = Disconnect();
    return settings != 0 || closed != 0 ? 1 : 0;
}

int BurstCommand(const char *portname, const char *count_text) {
    char *end = nullptr;
    const unsigned long count = strtoul(count_text, &end, 10);
    if (end == count_text || *end != '\0') return 2;
    if (Connect(portname) != 0) return 1;
    for (unsigned long i = 0; i < count; i++) {
        const auto byte = static_cast<unsigned char>(i * 7 + i / 251);
        const int code = SerialSend(static_cast<char>(byte));
        if (code != 0) {
            printf("send failed at byte %lu with %d\n", i, code);
            Disconnect();
            return 1;
        }
    }
    printf("sent %lu\n", count);
    return Disconnect();
}

int ReceiveCommand(const char *portname, int argc, char **argv) {
    if (Connect(portname) != 0) return 1;
    int failures = 0;
    for (int i = 0; i < argc; i++) {
        const unsigned long value = strtoul(argv[i], nullptr, 16);
        const int sent = SerialSend(static_cast<char>(value & 0xFF));
        printf("send %02lX %d\n", value & 0xFF, sent);
        char answer = 0;
        const int received = SerialReceive(&answer, 1);
        if (received == 0) printf("receive 0 %02X\n", static_cast<unsigned char>(answer));
        else printf("receive %d --\n", received);
        if (sent != 0 || received != 0) failures++;
    }
    return Disconnect() != 0 || failures != 0 ? 1 : 0;
}

// The device ping: retries until the device answers or the attempts run out.
int PingCommand(const char *portname) {
    if (Connect(portname) != 0) return 1;
    const int result = PingWait();
    printf("ping %d\n", result);
    return Disconnect() != 0 || result != 0 ? 1 : 0;
}

constexpr const char *kUsage =
    "usage: pardulo-linkprobe connect PORT\n"
    "       pardulo-linkprobe burst PORT COUNT\n"
    "       pardulo-linkprobe receive PORT HEXBYTE...\n"
    "       pardulo-linkprobe ping PORT\n"
    "       pardulo-linkprobe --help | --version\n";

int Usage() {
    fputs(kUsage, stderr);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    // Lines must reach a test that reads them while the probe still runs.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    switch (InfoRequestOf(argc > 1 ? argv[1] : nullptr)) {
        case InfoRequest::kHelp: fputs(kUsage, stdout); return 0;
        case InfoRequest::kVersion: PrintVersion("pardulo-linkprobe"); return 0;
        case InfoRequest::kNone: break;
    }
    if (argc < 3) return Usage();
    const std::string command = argv[1];
    if (command == "connect" && argc == 3) return ConnectCommand(argv[2]);
    if (command == "burst" && argc == 4) {
        const int status = BurstCommand(argv[2], argv[3]);
        return status == 2 ? Usage() : status;
    }
    if (command == "ping" && argc == 3) return PingCommand(argv[2]);
    if (command == "receive" && argc >= 4) return ReceiveCommand(argv[2], argc - 3, argv + 3);
    return Usage();
}
