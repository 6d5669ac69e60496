// The command line of pardulo-devsim.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device_model.h"
#include "screenshot.h"

namespace devsim {

struct Options {
    Faults faults;

    std::string store_dir;        // --store: one file per accepted block plus index.txt
    std::string transcript_path;  // --transcript
    std::string port_file;        // --port-file: the slave path, written once the pty is ready
    std::string screenshot_path;  // --screenshot: stream this file instead of the test picture
    std::string write_picture_path;  // --write-test-picture: write it and exit

    std::optional<uint64_t> get_bytes;  // --get-bytes
    bool get_endless = false;
    uint64_t get_pause_after = StreamPlan::kNoPause;
    int get_pause_ms = 0;

    int read_delay_us = 0;
    std::optional<uint64_t> hangup_after;
    int message_timeout_ms = 2000;  // a message quiet this long inside is dropped; 0 = never

    bool once = false;
    bool verbose = false;
    bool help = false;
    bool version = false;

    std::optional<std::string> adapter;  // --adapter PATH, or "none"
    std::vector<std::string> command;    // after "--": run it in wrapper mode
};

// Fills options from argv; returns "" or a message that names the bad option.
std::string ParseOptions(const std::vector<std::string> &args, Options &options);

// The answer to --help.
const char *UsageText();

// Parts of the option syntax, exposed for the tests.
bool ParseNumber(const std::string &text, uint64_t max, uint64_t &value);  // decimal or 0x hex
bool ParseAnswerRule(const std::string &text, AnswerRule &rule);
bool ParsePingRule(const std::string &text, PingRule &rule);

}  // namespace devsim
