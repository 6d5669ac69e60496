// The command line of pardulo-devsim.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "device_model.h"
#include "screenshot.h"

namespace devsim {

// Everything that may differ from one device of a line to the next: the
// faults it injects.
struct DeviceSettings {
    Faults faults;

    std::optional<uint64_t> get_bytes;  // --get-bytes
    bool get_endless = false;
    uint64_t get_pause_after = StreamPlan::kNoPause;
    int get_pause_ms = 0;

    int read_delay_us = 0;
    std::optional<uint64_t> hangup_after;  // bytes from the host since the device arrived
    std::optional<uint64_t> pull_after;    // bytes of put messages
};

// One fault option given after "--device K", kept as written so that it can
// be laid over the line-wide settings in the order given.
struct ScopedFault {
    std::string name;
    std::optional<std::string> value;  // none for a flag
};

struct Options {
    DeviceSettings line;  // the fault options before any --device: every device's
    std::map<uint64_t, std::vector<ScopedFault>> for_device;  // after --device K

    uint64_t devices = 1;  // --devices
    int gap_ms = 4000;
    int linger_ms = 0;
    uint32_t baud = 0;     // --baud: pace what the device sends; 0 = as fast as the pty takes it

    std::string store_dir;        // --store: one file per accepted block plus index.txt
    std::string transcript_path;  // --transcript
    std::string port_file;        // --port-file: the slave path, written once the pty is ready
    std::string screenshot_path;  // --screenshot: stream this file instead of the test picture
    std::string write_picture_path;  // --write-test-picture: write it and exit

    int message_timeout_ms = 2000;  // a message quiet this long inside is dropped; 0 = never

    bool once = false;
    bool verbose = false;
    bool help = false;
    bool version = false;

    std::optional<std::string> adapter;  // --adapter PATH, or "none"
    std::vector<std::string> command;    // after "--": run it in wrapper mode

    // Device k's settings (k from 1): the line's, with its own laid over them.
    DeviceSettings SettingsFor(uint64_t device) const;
};

// Device k of a line keeps its records in DIR/device-NNNNN when the line has
// more than one device; the one device of a line of one keeps them in DIR.
constexpr uint64_t kMaxDevices = 99999;

// Fills options from argv; returns "" or a message that names the bad option.
// A -h/--help or -V/--version before any "--" sets help or version alone.
std::string ParseOptions(const std::vector<std::string> &args, Options &options);

// The answer to --help, made from the option definitions.
std::string UsageText();

// Parts of the option syntax, exposed for the tests.
bool ParseNumber(const std::string &text, uint64_t max, uint64_t &value);  // decimal or 0x hex
bool ParseAnswerRule(const std::string &text, AnswerRule &rule);
bool ParsePingRule(const std::string &text, PingRule &rule);

}  // namespace devsim
