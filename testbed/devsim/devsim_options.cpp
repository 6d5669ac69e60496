#include "devsim_options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace devsim {

const char *UsageText() {
    return R"(Usage: pardulo-devsim [options]                  simulate a display device on a pty
       pardulo-devsim [options] -- COMMAND [ARGS]   ... and run COMMAND against it
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
command's exit status (128 + N when a signal N ended it).

Output:
  --store DIR            keep the accepted records in DIR (created if missing):
                         DIR/block-NNNNN.bin holds the data of block NNNNN
                         (five decimal digits), DIR/index.txt one line per
                         record in acceptance order: "BLOCK SIZE CHECKSUM FILE",
                         decimal, e.g. "1 3 294 block-00001.bin". Rewritten at
                         every accepted record and every erase; files of an
                         earlier run (block-*.bin, index.txt) are removed.
                         With --devices N > 1, each device keeps its records
                         in DIR/device-NNNNN/ (NNNNN from 00001, created when
                         it arrives) with the same block files and index.txt,
                         plus status.txt, rewritten at every change:
                           puts P            put messages it received whole
                           refused R B A     one line per put not answered
                                             0x69: its number R (from 1),
                                             block B, answer A (0xNN, or
                                             "none" when it stayed silent)
                           exit yes|no       the exit command came
                           pulled yes|no     it was pulled (--pull-after)
                           left yes|no       it has left the port
                         Earlier runs' device-NNNNN/ store files go too.
  --transcript FILE      every byte on the line, one per line:
                         "MICROSECONDS DIR HEX", MICROSECONDS since the device
                         started, DIR H (host to device) or D (device to host),
                         HEX two upper-case digits, e.g. "1532 H 01"; bytes
                         read or written in one go share a timestamp. Flushed
                         as the device goes; complete when pardulo-devsim exits.
  --port-file FILE       also write the slave path (and a line feed) to FILE
  -v, --verbose          describe every message on standard error ("devsim: ...")

A line of devices (several boards, one after the other, in one fixture):
  --devices N            N devices in turn on the port (default 1, which
                         never leaves: it outlives exit commands unless
                         --once). With N > 1, after its exit command a device
                         stays for the linger time, answering as before, then
                         leaves: the port is silent for the gap (no answers,
                         what the host sends is dropped) and a fresh, empty
                         device arrives. After the last device has left,
                         pardulo-devsim ends (wrapper mode: the port stays
                         silent until the command ends). Without "--",
                         --once makes a single device leave the same way.
  --linger MS            stay after the exit command (default 0)
  --gap MS               silence between two devices (default 4000)
  --device K             the fault options after it, up to the next --device,
                         apply to device K only (K from 1), on top of those
                         given before any --device; "--device all" goes back
                         to the whole line. Counters (records, pings, bytes)
                         start again at each device. Example: device 3
                         refuses its record 2:
                             --devices 3 --device 3 --answer 2=ko-checksum
  --pull-after N         the device is taken away after N bytes of put
                         messages (from the first CMD_PUT on): it falls
                         silent at once and its gap starts. The port stays,
                         as when a board leaves a fixture whose adapter
                         stays; --hangup-after is the adapter going too

Line rate:
  --baud RATE            what the device sends leaves no faster than a UART
                         at RATE baud would send it (10 bits a byte), e.g. the
                         screenshot stream; default: as fast as the pty takes
                         it. The host's side is paced by the pty adapter when
                         PARDULO_PTY_PACE=1 is in its environment (wrapper
                         mode passes it on), at the rate the host set; its
                         drain then waits until the bytes have left.

Fault options: everything below, and --pull-after. Alone they apply to every
device; after --device K to device K only.

Answers to put messages (records counted from 1, in the order the device
received them since it arrived; "N=" applies to record N only):
  --answer [N=]SPEC      SPEC: auto (default: by the checksum), ok (0x69,
                         record kept), ko-checksum (0x79), ko-flash (0x89),
                         byte:0xNN (that byte; kept only when it is 0x69),
                         none (no answer)
  --answer-delay [N=]MS  answer MS milliseconds after the message ended
  --answer-twice         send every put answer two times in a row
  --corrupt-block B[:K]  keep block B with its byte K (default 0; the last
                         one when the record is shorter) inverted while
                         answering 0x69: a flash write gone wrong unnoticed,
                         which only reading the block back finds. Repeat
                         the option for more blocks

Pings (counted from 1 in the order the device received them; "N=" applies
to ping N only):
  --ping-answer [N=]SPEC SPEC: ok (0x03, default), byte:0xNN or a number,
                         none (no answer), early (0x03 right after the first
                         of the eight bytes, nothing after the eighth)
  --ping-answer-after-first   same as --ping-answer early, for every ping

Screenshot (the get request's answer):
  --screenshot FILE      stream FILE instead of the generated 480 x 272 BGRA
                         test picture (522240 bytes)
  --get-bytes N          stream N bytes (the picture repeats when N is larger;
                         0 = a silent device)
  --get-endless          stream the picture over and over, without end
  --get-pause-after N    pause once after N bytes of the stream ...
  --get-pause-ms MS      ... for MS milliseconds
  A stream stops early when the host sends a byte, or when nobody has read
  from the pty for 3 seconds (its unread bytes are then discarded).

Line faults:
  --read-delay-us N      read the line one byte at a time, sleeping N
                         microseconds between reads
  --hangup-after N       after N bytes from the host (since the device
                         arrived), close the pty: the host sees the line drop
                         and no further device arrives (wrapper mode still
                         waits for the command)

Other:
  --message-timeout MS   drop a message the host left unfinished for MS
                         milliseconds (default 2000; 0 = never)
  --once                 end at the first exit command (without "--")
  --adapter PATH         pty adapter for wrapper mode (default:
                         libpardulo_pty_adapter.so next to pardulo-devsim,
                         else the one installed with it, in the lib/
                         folder beside its bin/ folder);
                         "none" runs the command without it
  --write-test-picture FILE   write the test picture (raw BGRA) and exit
  -h, --help             this text
  -V, --version          the version

Numbers are decimal or 0x hexadecimal. Options take their value as the next
argument or after "=" (--answer=2=ko-flash). Exit status: 0, or the command's
in wrapper mode; 2 for a bad command line or when the device itself fails
(pty, store or transcript).
)";
}

bool ParseNumber(const std::string &text, uint64_t max, uint64_t &value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    errno = 0;
    char *end = nullptr;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || parsed > max) return false;
    value = parsed;
    return true;
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

bool IsFaultFlag(const std::string &name) {
    return name == "--answer-twice" || name == "--ping-answer-after-first" || name == "--get-endless";
}

bool IsFaultWithValue(const std::string &name) {
    return name == "--answer" || name == "--answer-delay" || name == "--ping-answer" || name == "--get-bytes" ||
           name == "--get-pause-after" || name == "--get-pause-ms" || name == "--read-delay-us" ||
           name == "--hangup-after" || name == "--pull-after" || name == "--corrupt-block";
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

bool ParseMs(const std::string &text, int &ms) {
    uint64_t parsed = 0;
    if (!ParseNumber(text, kMaxMs, parsed)) return false;
    ms = static_cast<int>(parsed);
    return true;
}

// Applies one fault option to settings; false when its value does not parse.
bool ApplyFault(const ScopedFault &fault, DeviceSettings &settings) {
    const std::string &name = fault.name;
    Faults &faults = settings.faults;
    if (name == "--answer-twice") faults.answer_twice = true;
    else if (name == "--ping-answer-after-first") faults.ping = {PingRule::Kind::Early, 0};
    else if (name == "--get-endless") settings.get_endless = true;
    if (!fault.value) return IsFaultFlag(name);

    const std::string &value = *fault.value;
    uint64_t n = 0;
    if (name == "--answer") return SetForAllOrOne(value, ParseAnswerRule, faults.answer, faults.answer_for_record);
    if (name == "--answer-delay")
        return SetForAllOrOne(value, ParseMs, faults.answer_delay_ms, faults.answer_delay_for_record);
    if (name == "--ping-answer") return SetForAllOrOne(value, ParsePingRule, faults.ping, faults.ping_for_attempt);
    if (name == "--get-pause-ms") return ParseMs(value, settings.get_pause_ms);
    if (name == "--corrupt-block") return ParseCorruptBlock(value, faults.corrupt_block);
    if (name == "--read-delay-us") return ParseMs(value, settings.read_delay_us);
    if (!ParseNumber(value, UINT64_MAX - 1, n)) return false;
    if (name == "--get-bytes") settings.get_bytes = n;
    else if (name == "--get-pause-after") settings.get_pause_after = n;
    else if (name == "--hangup-after") settings.hangup_after = n;
    else if (name == "--pull-after" && n > 0) settings.pull_after = n;
    else return false;
    return true;
}

// Options that only make sense together; "" when the settings agree.
std::string CheckSettings(const DeviceSettings &settings, const std::string &whose) {
    if (settings.get_endless && settings.get_bytes) return "--get-bytes and --get-endless exclude each other" + whose;
    if ((settings.get_pause_after != StreamPlan::kNoPause) != (settings.get_pause_ms > 0))
        return "--get-pause-after and --get-pause-ms go together" + whose;
    return "";
}

// The options that describe the line rather than one device's faults.
std::string ParseLineOption(const std::string &name, const std::string &value, Options &options) {
    const std::string bad_value = "bad value for " + name + ": " + value;
    uint64_t n = 0;
    if (name == "--store" || name == "--transcript" || name == "--port-file" || name == "--screenshot" ||
        name == "--write-test-picture" || name == "--adapter") {
        if (value.empty()) return "bad value for " + name + ": empty path";
        if (name == "--store") options.store_dir = value;
        else if (name == "--transcript") options.transcript_path = value;
        else if (name == "--port-file") options.port_file = value;
        else if (name == "--screenshot") options.screenshot_path = value;
        else if (name == "--write-test-picture") options.write_picture_path = value;
        else options.adapter = value;
    } else if (name == "--devices") {
        if (!ParseNumber(value, kMaxDevices, n) || n == 0) return bad_value + " (1 to 99999)";
        options.devices = n;
    } else if (name == "--baud") {
        if (!ParseNumber(value, kMaxBaud, n) || n < kMinBaud) return bad_value + " (50 to 4000000)";
        options.baud = static_cast<uint32_t>(n);
    } else if (name == "--gap" || name == "--linger" || name == "--message-timeout") {
        int ms = 0;
        if (!ParseMs(value, ms)) return bad_value;
        if (name == "--gap") options.gap_ms = ms;
        else if (name == "--linger") options.linger_ms = ms;
        else options.message_timeout_ms = ms;
    } else {
        return "unknown option " + name;
    }
    return "";
}

bool IsLineOptionWithValue(const std::string &name) {
    for (const char *known : {"--store", "--transcript", "--port-file", "--screenshot", "--write-test-picture",
                              "--adapter", "--devices", "--baud", "--gap", "--linger", "--message-timeout", "--device"})
        if (name == known) return true;
    return false;
}

bool IsLineFlag(const std::string &name) {
    return name == "-v" || name == "--verbose" || name == "--once" || name == "-h" || name == "--help" ||
           name == "-V" || name == "--version";
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
    uint64_t scope = 0;  // --device K: 0 for the whole line
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        if (name == "--") {
            options.command.assign(args.begin() + static_cast<long>(i) + 1, args.end());
            if (options.command.empty()) return "missing command after --";
            break;
        }
        std::optional<std::string> value;
        const size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        if (IsFaultFlag(name) || IsLineFlag(name)) {
            if (value) return name + " takes no value";
        } else if (!IsFaultWithValue(name) && !IsLineOptionWithValue(name)) {
            return "unknown option " + args[i];
        } else if (!value) {
            if (i + 1 >= args.size()) return "missing value for " + name;
            value = args[++i];
        }

        if (name == "-h" || name == "--help") {
            options.help = true;
        } else if (name == "-V" || name == "--version") {
            options.version = true;
        } else if (name == "-v" || name == "--verbose") {
            options.verbose = true;
        } else if (name == "--once") {
            options.once = true;
        } else if (name == "--device") {
            uint64_t k = 0;
            if (*value == "all") scope = 0;
            else if (ParseNumber(*value, kMaxDevices, k) && k > 0) scope = k;
            else return "bad value for --device: " + *value + " (a device number from 1, or all)";
        } else if (IsFaultFlag(name) || IsFaultWithValue(name)) {
            const ScopedFault fault{name, value};
            DeviceSettings scratch;
            if (!ApplyFault(fault, scope == 0 ? options.line : scratch)) return "bad value for " + name + ": " + *value;
            if (scope != 0) options.for_device[scope].push_back(fault);
        } else {
            const std::string error = ParseLineOption(name, *value, options);
            if (!error.empty()) return error;
        }
    }
    std::string error = CheckSettings(options.line, "");
    for (const auto &[device, faults] : options.for_device) {
        if (!error.empty()) break;
        if (device > options.devices)
            return "--device " + std::to_string(device) + ": the line has " + std::to_string(options.devices) +
                   " device(s) (see --devices)";
        error = CheckSettings(options.SettingsFor(device), " (device " + std::to_string(device) + ")");
    }
    return error;
}

}  // namespace devsim
