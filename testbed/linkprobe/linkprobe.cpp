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

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "device_transfer.h"
#include "program_options.h"
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

int BurstCommand(const char *portname, uint64_t count) {
    if (Connect(portname) != 0) return 1;
    for (uint64_t i = 0; i < count; i++) {
        const auto byte = static_cast<unsigned char>(i * 7 + i / 251);
        const int code = SerialSend(static_cast<char>(byte));
        if (code != 0) {
            printf("send failed at byte %llu with %d\n", static_cast<unsigned long long>(i), code);
            Disconnect();
            return 1;
        }
    }
    printf("sent %llu\n", static_cast<unsigned long long>(count));
    return Disconnect();
}

int ReceiveCommand(const char *portname, const std::vector<uint8_t> &bytes) {
    if (Connect(portname) != 0) return 1;
    int failures = 0;
    for (const uint8_t byte : bytes) {
        const int sent = SerialSend(static_cast<char>(byte));
        printf("send %02X %d\n", byte, sent);
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

struct Request {
    std::string port;
    uint64_t count = 0;
    std::vector<uint8_t> bytes;
};

// A hexadecimal byte ("03", "0xAA"), for the receive command.
const CLI::Validator &HexByte() {
    static const CLI::Validator validator(
        [](const std::string &text) {
            uint64_t value = 0;
            return util::ParseUnsigned(text, 0xFF, value, util::Radix::kHex) ? std::string()
                                                                             : "not a hexadecimal byte: " + text;
        },
        "");
    return validator;
}

CLI::App *AddCommand(CLI::App &app, const char *name, const char *description, Request &request) {
    CLI::App *command = app.add_subcommand(name, description);
    // Any name, the empty one too: the link's refusal of bad names is under test.
    command->add_option("PORT", request.port, "the serial port")->required();
    return command;
}

void DefineCommands(CLI::App &app, Request &request) {
    PrepareProgramOptions(app, "Drives the serial link and the device ping, for end-to-end link tests.", 28);
    app.require_subcommand(1, 1);
    AddCommand(app, "connect", "connects, prints the settings read back from the port, disconnects", request);
    CLI::App *burst = AddCommand(app, "burst", "sends COUNT bytes, byte i being (i * 7 + i / 251) mod 256", request);
    AddNumberOption(*burst, "COUNT", request.count, 0, UINT64_MAX, "how many bytes")->required();
    CLI::App *receive = AddCommand(app, "receive", "sends each byte and receives one answer byte", request);
    receive->add_option_function<std::vector<std::string>>(
               "HEXBYTE",
               [&request](const std::vector<std::string> &texts) {
                   for (const std::string &text : texts) {
                       uint64_t value = 0;
                       util::ParseUnsigned(text, 0xFF, value, util::Radix::kHex);
                       request.bytes.push_back(static_cast<uint8_t>(value));
                   }
               },
               "the bytes to send, in hexadecimal")
        ->required()
        ->check(HexByte());
    AddCommand(app, "ping", "runs the device ping (CMD_PING eight times, up to MAX_PING_RETRY attempts)", request);
}

}  // namespace

int main(int argc, char **argv) {
    // Lines must reach a test that reads them while the probe still runs.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    CLI::App app("pardulo-linkprobe", "pardulo-linkprobe");
    Request request;
    DefineCommands(app, request);
    if (const int status = ParseProgramOptions(app, argc, argv); status != kOptionsParsed) return status;
    const std::string command = app.get_subcommands().front()->get_name();
    const char *port_name = request.port.c_str();
    if (command == "connect") return ConnectCommand(port_name);
    if (command == "burst") return BurstCommand(port_name, request.count);
    if (command == "receive") return ReceiveCommand(port_name, request.bytes);
    return PingCommand(port_name);
}
