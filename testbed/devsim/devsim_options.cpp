#include "devsim_options.h"

#include <algorithm>
#include <climits>
#include <map>

#include "program_info.h"
#include "program_options.h"

namespace devsim {

bool ParseNumber(const std::string &text, uint64_t max, uint64_t &value) {
    return util::ParseUnsigned(text, max, value, util::Radix::kDecimalOrHex);
}

namespace {

bool ParseByte(const std::string &text, uint8_t &byte) {
    uint64_t value = 0;
    const std::string digits = text.rfind("byte:", 0) == 0 ? text.substr(5) : text;
    if (!ParseNumber(digits, 0xFF, value)) return false;
    byte = static_cast<uint8_t>(value);
    return true;
}

// Splits "N=SPEC" into N and SPEC; false when there is no "N=" prefix.
bool SplitNumbered(const std::string &text, uint64_t &number, std::string &rest) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos) return false;
    if (!ParseNumber(text.substr(0, eq), UINT64_MAX, number)) return false;
    rest = text.substr(eq + 1);
    return true;
}

// Applies "VALUE" to every message, or "N=VALUE" to the Nth only (N from
// 1). False when N or the value does not parse.
template <typename Value, typename Parse>
bool SetForAllOrOne(const std::string &text, Parse parse, Value &for_all, std::map<uint64_t, Value> &for_one) {
    uint64_t number = 0;
    std::string spec;
    Value value{};
    if (SplitNumbered(text, number, spec)) {
        if (number == 0 || !parse(spec, value)) return false;
        for_one[number] = value;
    } else {
        if (!parse(text, value)) return false;
        for_all = value;
    }
    return true;
}

}  // namespace

bool ParseAnswerRule(const std::string &text, AnswerRule &rule) {
    using Kind = AnswerRule::Kind;
    if (text == "auto") rule = {Kind::ByChecksum, 0};
    else if (text == "ok") rule = {Kind::Ok, 0};
    else if (text == "ko-checksum") rule = {Kind::KoChecksum, 0};
    else if (text == "ko-flash") rule = {Kind::KoFlash, 0};
    else if (text == "none") rule = {Kind::Silent, 0};
    else {
        uint8_t byte = 0;
        if (!ParseByte(text, byte)) return false;
        rule = {Kind::Byte, byte};
    }
    return true;
}

bool ParsePingRule(const std::string &text, PingRule &rule) {
    using Kind = PingRule::Kind;
    if (text == "ok") rule = {Kind::Normal, 0};
    else if (text == "none") rule = {Kind::Silent, 0};
    else if (text == "early") rule = {Kind::Early, 0};
    else {
        uint8_t byte = 0;
        if (!ParseByte(text, byte)) return false;
        rule = {Kind::Byte, byte};
    }
    return true;
}

namespace {

constexpr uint64_t kMaxMs = INT_MAX;
constexpr uint64_t kMinBaud = 50;
constexpr uint64_t kMaxBaud = 4000000;

bool ParseMs(const std::string &text, int &ms) {
    uint64_t parsed = 0;
    if (!ParseNumber(text, kMaxMs, parsed)) return false;
    ms = static_cast<int>(parsed);
    return true;
}

// "B" or "B:K": block B, byte K of its data (0 when not given).
bool ParseCorruptBlock(const std::string &text, std::map<uint16_t, uint32_t> &blocks) {
    const size_t colon = text.find(':');
    uint64_t block = 0;
    uint64_t byte = 0;
    if (!ParseNumber(text.substr(0, colon), 0xFFFF, block)) return false;
    if (colon != std::string::npos && !ParseNumber(text.substr(colon + 1), UINT32_MAX, byte)) return false;
    blocks[static_cast<uint16_t>(block)] = static_cast<uint32_t>(byte);
    return true;
}

// A count of bytes; the largest value is left for "never".
bool ParseCount(const std::string &text, uint64_t &count) { return ParseNumber(text, UINT64_MAX - 1, count); }

template <std::optional<uint64_t> DeviceSettings::*kField>
bool SetCount(const std::string &text, DeviceSettings &settings) {
    uint64_t count = 0;
    if (!ParseCount(text, count)) return false;
    settings.*kField = count;
    return true;
}

// One option of the faults a device injects: how its value (ignored by a
// flag) changes a device's settings; false when the value does not parse.
struct FaultOption {
    const char *name;
    const char *value_name;  // nullptr for a flag
    const char *group;
    const char *help;
    bool (*apply)(const std::string &value, DeviceSettings &settings);
};

constexpr const char *kAnswers = "Answers to put messages (fault options; N= applies to record N only)";
constexpr const char *kPings = "Pings (fault options; N= applies to ping N only)";
constexpr const char *kScreenshot = "Screenshot, the get request's answer (fault options but --screenshot)";
constexpr const char *kLineFaults = "Line faults (fault options)";
constexpr const char *kLine = "A line of devices (several boards, one after the other, in one fixture)";

const FaultOption kFaultOptions[] = {
    {"--answer", "[N=]SPEC", kAnswers,
     "SPEC: auto (default: by the checksum), ok (0x69,\n"
     "record kept), ko-checksum (0x79), ko-flash (0x89),\n"
     "byte:0xNN (that byte; kept only when it is 0x69),\n"
     "none (no answer)",
     [](const std::string &v, DeviceSettings &s) {
         return SetForAllOrOne(v, ParseAnswerRule, s.faults.answer, s.faults.answer_for_record);
     }},
    {"--answer-delay", "[N=]MS", kAnswers, "answer MS milliseconds after the message ended",
     [](const std::string &v, DeviceSettings &s) {
         return SetForAllOrOne(v, ParseMs, s.faults.answer_delay_ms, s.faults.answer_delay_for_record);
     }},
    {"--answer-twice", nullptr, kAnswers, "send every put answer two times in a row",
     [](const std::string &, DeviceSettings &s) { return s.faults.answer_twice = true; }},
    {"--corrupt-block", "B[:K]", kAnswers,
     "keep block B with its byte K (default 0; the last\n"
     "one when the record is shorter) inverted while\n"
     "answering 0x69: a flash write gone wrong unnoticed,\n"
     "which only reading the block back finds; repeat\n"
     "the option for more blocks",
     [](const std::string &v, DeviceSettings &s) { return ParseCorruptBlock(v, s.faults.corrupt_block); }},
    {"--ping-answer", "[N=]SPEC", kPings,
     "SPEC: ok (0x03, default), byte:0xNN or a number,\n"
     "none (no answer), early (0x03 right after the first\n"
     "of the eight bytes, nothing after the eighth)",
     [](const std::string &v, DeviceSettings &s) {
         return SetForAllOrOne(v, ParsePingRule, s.faults.ping, s.faults.ping_for_attempt);
     }},
    {"--ping-answer-after-first", nullptr, kPings, "same as --ping-answer early, for every ping",
     [](const std::string &, DeviceSettings &s) {
         s.faults.ping = {PingRule::Kind::Early, 0};
         return true;
     }},
    {"--get-bytes", "N", kScreenshot,
     "stream N bytes (the picture repeats when N is larger;\n"
     "0 = a silent device)",
     SetCount<&DeviceSettings::get_bytes>},
    {"--get-endless", nullptr, kScreenshot, "stream the picture over and over, without end",
     [](const std::string &, DeviceSettings &s) { return s.get_endless = true; }},
    {"--get-pause-after", "N", kScreenshot, "pause once after N bytes of the stream ...",
     [](const std::string &v, DeviceSettings &s) { return ParseCount(v, s.get_pause_after); }},
    {"--get-pause-ms", "MS", kScreenshot, "... for MS milliseconds",
     [](const std::string &v, DeviceSettings &s) { return ParseMs(v, s.get_pause_ms); }},
    {"--read-delay-us", "N", kLineFaults,
     "read the line one byte at a time, sleeping N\n"
     "microseconds between reads",
     [](const std::string &v, DeviceSettings &s) { return ParseMs(v, s.read_delay_us); }},
    {"--hangup-after", "N", kLineFaults,
     "after N bytes from the host (since the device\n"
     "arrived), close the pty: the host sees the line drop\n"
     "and no further device arrives (wrapper mode still\n"
     "waits for the command)",
     SetCount<&DeviceSettings::hangup_after>},
    {"--pull-after", "N", kLine,
     "the device is taken away after N bytes of put\n"
     "messages (from the first CMD_PUT on): it falls\n"
     "silent at once and its gap starts. The port stays,\n"
     "as when a board leaves a fixture whose adapter\n"
     "stays; --hangup-after is the adapter going too",
     [](const std::string &v, DeviceSettings &s) {
         uint64_t n = 0;
         if (!ParseCount(v, n) || n == 0) return false;
         s.pull_after = n;
         return true;
     }},
};

const FaultOption *FaultOptionNamed(const std::string &name) {
    for (const FaultOption &option : kFaultOptions)
        if (name == option.name) return &option;
    return nullptr;
}

// Applies one fault option to settings; false when its value does not parse.
bool ApplyFault(const ScopedFault &fault, DeviceSettings &settings) {
    const FaultOption *option = FaultOptionNamed(fault.name);
    return option != nullptr && option->apply(fault.value.value_or(""), settings);
}

// Options that only make sense together; "" when the settings agree.
std::string CheckSettings(const DeviceSettings &settings, const std::string &whose) {
    if (settings.get_endless && settings.get_bytes) return "--get-bytes and --get-endless exclude each other" + whose;
    if ((settings.get_pause_after != StreamPlan::kNoPause) != (settings.get_pause_ms > 0))
        return "--get-pause-after and --get-pause-ms go together" + whose;
    return "";
}

constexpr const char *kDescription =
    R"(       pardulo-devsim [options] -- COMMAND [ARGS]   ... and run COMMAND against it
       pardulo-devsim --write-test-picture FILE     write the test screenshot and exit

A simulated display device. It opens a pseudo-terminal and plays the device's
side of the protocol on it: put messages (answered 0x69 when the checksum is
right, 0x79 otherwise), ping (0x03 x8, answered 0x03), erase (0x55 x8, forgets
every record, no answer), exit (0xAA x8, ends the session, no answer) and the
get request (0x02, block, size: the data the device holds for that block, at
most size bytes; for block 2000, when it holds none, the screenshot is
streamed whatever size says, then silence; nothing for another block). Unknown bytes outside a message are ignored. Answers
come only after the whole message, at once unless --answer-delay says otherwise.

The first line on standard error is the pty's slave path:
    devsim: port /dev/pts/N
Give that path to the host program. Without "--" the device runs until it is
killed (SIGINT or SIGTERM: store and transcript are written, exit status 0),
or with --once until the first exit command, or with --devices N until the
last device of the line has left.

Wrapper mode: everything after "--" is a command run with the pty adapter
preloaded (LD_PRELOAD) and every "{port}" in its arguments replaced by the
slave path, e.g.
    pardulo-devsim --store out -- build/pardulo p {port}
The command's standard output and error pass straight through; when it ends,
the device writes its store and transcript and pardulo-devsim exits with the
command's exit status (128 + N when a signal N ended it).)";

constexpr const char *kFooter =
    R"(Fault options (the answers, pings, screenshot stream and line faults, and
--pull-after): alone they apply to every device; after --device K to device K
only. Records and pings are counted from 1 in the order the device received
them since it arrived. A screenshot stream stops early when the host sends a
byte, or when nobody has read from the pty for 3 seconds (its unread bytes are
then discarded).

Numbers are decimal or 0x hexadecimal. Options take their value as the next
argument or after "=" (--answer=2=ko-flash). Exit status: 0, or the command's
in wrapper mode; 2 for a bad command line or when the device itself fails
(pty, store or transcript).)";

void AddPath(CLI::App &app, const std::string &name, std::string &path, const char *value_name, const char *group,
             const std::string &help) {
    app.add_option(name, path, help)->type_name(value_name)->group(group)->check(NonEmpty());
}

// A number of the command line: decimal or 0x hex, from min to max.
template <typename Number>
void AddNumber(CLI::App &app, const std::string &name, Number &value, uint64_t min, uint64_t max,
               const char *value_name, const char *group, const std::string &help) {
    AddNumberOption(app, name, value, min, max, help, util::Radix::kDecimalOrHex)->type_name(value_name)->group(group);
}

void DefineOutputOptions(CLI::App &app, Options &options) {
    constexpr const char *kOutput = "Output";
    AddPath(app, "--store", options.store_dir, "DIR", kOutput,
            "keep the accepted records in DIR (created if missing):\n"
            "DIR/block-NNNNN.bin holds the data of block NNNNN\n"
            "(five decimal digits), DIR/index.txt one line per\n"
            "record in acceptance order: \"BLOCK SIZE CHECKSUM FILE\",\n"
            "decimal, e.g. \"1 3 294 block-00001.bin\". Rewritten at\n"
            "every accepted record and every erase; files of an\n"
            "earlier run (block-*.bin, index.txt) are removed.\n"
            "With --devices N > 1, each device keeps its records\n"
            "in DIR/device-NNNNN/ (NNNNN from 00001, created when\n"
            "it arrives) with the same block files and index.txt,\n"
            "plus status.txt, rewritten at every change:\n"
            "  puts P            put messages it received whole\n"
            "  refused R B A     one line per put not answered\n"
            "                    0x69: its number R (from 1),\n"
            "                    block B, answer A (0xNN, or\n"
            "                    \"none\" when it stayed silent)\n"
            "  exit yes|no       the exit command came\n"
            "  pulled yes|no     it was pulled (--pull-after)\n"
            "  left yes|no       it has left the port\n"
            "Earlier runs' device-NNNNN/ store files go too.");
    AddPath(app, "--transcript", options.transcript_path, "FILE", kOutput,
            "every byte on the line, one per line:\n"
            "\"MICROSECONDS DIR HEX\", MICROSECONDS since the device\n"
            "started, DIR H (host to device) or D (device to host),\n"
            "HEX two upper-case digits, e.g. \"1532 H 01\"; bytes\n"
            "read or written in one go share a timestamp. Flushed\n"
            "as the device goes; complete when pardulo-devsim exits.");
    AddPath(app, "--port-file", options.port_file, "FILE", kOutput,
            "also write the slave path (and a line feed) to FILE");
    app.add_flag("-v,--verbose", options.verbose, "describe every message on standard error (\"devsim: ...\")")
        ->group(kOutput);
}

void DefineLineOptions(CLI::App &app, Options &options) {
    AddNumber(app, "--devices", options.devices, 1, kMaxDevices, "N", kLine,
                    "N devices in turn on the port (default 1, which\n"
                    "never leaves: it outlives exit commands unless\n"
                    "--once). With N > 1, after its exit command a device\n"
                    "stays for the linger time, answering as before, then\n"
                    "leaves: the port is silent for the gap (no answers,\n"
                    "what the host sends is dropped) and a fresh, empty\n"
                    "device arrives. After the last device has left,\n"
                    "pardulo-devsim ends (wrapper mode: the port stays\n"
                    "silent until the command ends). Without \"--\",\n"
                    "--once makes a single device leave the same way.");
    AddNumber(app, "--linger", options.linger_ms, 0, kMaxMs, "MS", kLine, "stay after the exit command (default 0)");
    AddNumber(app, "--gap", options.gap_ms, 0, kMaxMs, "MS", kLine, "silence between two devices (default 4000)");
    // Checked here, applied in the order of the command line (ApplyInOrder).
    app.add_option("--device",
                   "the fault options after it, up to the next --device,\n"
                   "apply to device K only (K from 1), on top of those\n"
                   "given before any --device; \"--device all\" goes back\n"
                   "to the whole line. Counters (records, pings, bytes)\n"
                   "start again at each device. Example: device 3\n"
                   "refuses its record 2:\n"
                   "    --devices 3 --device 3 --answer 2=ko-checksum")
        ->type_name("K")
        ->group(kLine)
        ->check(CLI::Validator(
            [](const std::string &text) {
                uint64_t k = 0;
                return text == "all" || (ParseNumber(text, kMaxDevices, k) && k > 0)
                           ? std::string()
                           : "bad value " + text + " (a device number from 1, or all)";
            },
            ""));
}

void DefineRateAndOtherOptions(CLI::App &app, Options &options) {
    AddNumber(app, "--baud", options.baud, kMinBaud, kMaxBaud, "RATE", "Line rate",
                    "what the device sends leaves no faster than a UART\n"
                    "at RATE baud would send it (10 bits a byte), e.g. the\n"
                    "screenshot stream; default: as fast as the pty takes\n"
                    "it. The host's side is paced by the pty adapter when\n"
                    "PARDULO_PTY_PACE=1 is in its environment (wrapper\n"
                    "mode passes it on), at the rate the host set; its\n"
                    "drain then waits until the bytes have left.");
    AddPath(app, "--screenshot", options.screenshot_path, "FILE", kScreenshot,
            "stream FILE instead of the generated 480 x 272 BGRA\n"
            "test picture (522240 bytes)");
    constexpr const char *kOther = "Other";
    AddNumber(app, "--message-timeout", options.message_timeout_ms, 0, kMaxMs, "MS", kOther,
              "drop a message the host left unfinished for MS\n"
              "milliseconds (default 2000; 0 = never)");
    app.add_flag("--once", options.once, "end at the first exit command (without \"--\")")->group(kOther);
    app.add_option_function<std::string>(
           "--adapter", [&options](const std::string &path) { options.adapter = path; },
           "pty adapter for wrapper mode (default:\n"
           "libpardulo_pty_adapter.so next to pardulo-devsim,\n"
           "else the one installed with it, in the lib/\n"
           "folder beside its bin/ folder);\n"
           "\"none\" runs the command without it")
        ->type_name("PATH")
        ->group(kOther)
        ->check(NonEmpty());
    AddPath(app, "--write-test-picture", options.write_picture_path, "FILE", kOther,
            "write the test picture (raw BGRA) and exit");
}

// The fault options, checked on settings of their own: where they apply
// depends on the --device before them, which only their order tells.
void DefineFaultOptions(CLI::App &app, std::map<const CLI::Option *, const FaultOption *> &faults) {
    for (const FaultOption &fault : kFaultOptions) {
        CLI::Option *option = nullptr;
        if (fault.value_name == nullptr) {
            option = app.add_flag(fault.name, fault.help);
        } else {
            const FaultOption *known = &fault;
            const auto check = [known](const std::string &value) {
                DeviceSettings scratch;
                return known->apply(value, scratch) ? std::string() : "bad value " + value;
            };
            option = app.add_option(fault.name, fault.help)->type_name(fault.value_name)->check(CLI::Validator(check, ""));
        }
        option->group(fault.group);
        faults[option] = &fault;
    }
}

void DefineOptions(CLI::App &app, Options &options, std::map<const CLI::Option *, const FaultOption *> &faults) {
    PrepareProgramOptions(app, kDescription, 25);
    app.footer(kFooter);
    DefineOutputOptions(app, options);
    DefineLineOptions(app, options);
    DefineRateAndOtherOptions(app, options);
    DefineFaultOptions(app, faults);
}

// The fault options in the order given: before any --device (or after
// "--device all") into the line's settings, after "--device K" kept for K.
void ApplyInOrder(const CLI::App &app, const std::map<const CLI::Option *, const FaultOption *> &faults,
                  Options &options) {
    uint64_t scope = 0;  // 0 for the whole line
    std::map<const CLI::Option *, size_t> used;  // each occurrence has the next of its option's results
    for (const CLI::Option *option : app.parse_order()) {
        const size_t occurrence = used[option]++;
        const std::string value = occurrence < option->results().size() ? option->results()[occurrence] : "";
        if (option->get_name() == "--device") {
            scope = 0;
            if (value != "all") ParseNumber(value, kMaxDevices, scope);
            continue;
        }
        const auto fault = faults.find(option);
        if (fault == faults.end()) continue;
        ScopedFault scoped{fault->second->name, std::nullopt};
        if (fault->second->value_name != nullptr) scoped.value = value;
        if (scope == 0) ApplyFault(scoped, options.line);
        else options.for_device[scope].push_back(scoped);
    }
}

// "" when every device's settings agree and every --device K is on the line.
std::string CheckLine(const Options &options) {
    std::string error = CheckSettings(options.line, "");
    for (const auto &entry : options.for_device) {
        const uint64_t device = entry.first;
        if (!error.empty()) break;
        if (device > options.devices)
            return "--device " + std::to_string(device) + ": the line has " + std::to_string(options.devices) +
                   " device(s) (see --devices)";
        error = CheckSettings(options.SettingsFor(device), " (device " + std::to_string(device) + ")");
    }
    return error;
}

}  // namespace

DeviceSettings Options::SettingsFor(uint64_t device) const {
    DeviceSettings settings = line;
    const auto it = for_device.find(device);
    if (it != for_device.end())
        for (const ScopedFault &fault : it->second) ApplyFault(fault, settings);
    return settings;
}

std::string ParseOptions(const std::vector<std::string> &args, Options &options) {
    // After "--" the words are the command's, whatever they look like.
    const auto dashes = std::find(args.begin(), args.end(), "--");
    if (dashes != args.end()) {
        options.command.assign(dashes + 1, args.end());
        if (options.command.empty()) return "missing command after --";
    }
    for (auto arg = args.begin(); arg != dashes; ++arg) {
        const InfoRequest request = InfoRequestOf(arg->c_str());
        options.help = request == InfoRequest::kHelp;
        options.version = request == InfoRequest::kVersion;
        if (request != InfoRequest::kNone) return "";
    }
    CLI::App app("pardulo-devsim", "pardulo-devsim");
    std::map<const CLI::Option *, const FaultOption *> faults;
    DefineOptions(app, options, faults);
    const std::string error = ParseArguments(app, std::vector<std::string>(args.begin(), dashes));
    if (!error.empty()) return error;
    ApplyInOrder(app, faults, options);
    return CheckLine(options);
}

std::string UsageText() {
    Options options;
    CLI::App app("pardulo-devsim", "pardulo-devsim");
    std::map<const CLI::Option *, const FaultOption *> faults;
    DefineOptions(app, options, faults);
    return ProgramUsage(app);
}

}  // namespace devsim
