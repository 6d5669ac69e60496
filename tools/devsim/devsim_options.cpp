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
get request (0x02, block, size: the screenshot is streamed whatever block and
size say, then silence). Unknown bytes outside a message are ignored. Answers
come only after the whole message, at once unless --answer-delay says otherwise.

The first line on standard error is the pty's slave path:
    devsim: port /dev/pts/N
Give that path to the host program. Without "--" the device runs until it is
killed (SIGINT or SIGTERM: store and transcript are written, exit status 0),
or with --once until the first exit command.

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
  --transcript FILE      every byte on the line, one per line:
                         "MICROSECONDS DIR HEX", MICROSECONDS since the device
                         started, DIR H (host to device) or D (device to host),
                         HEX two upper-case digits, e.g. "1532 H 01"; bytes
                         read or written in one go share a timestamp. Flushed
                         as the device goes; complete when pardulo-devsim exits.
  --port-file FILE       also write the slave path (and a line feed) to FILE
  -v, --verbose          describe every message on standard error ("devsim: ...")

Answers to put messages (records counted from 1, in the order the device
received them since it started; "N=" applies to record N only):
  --answer [N=]SPEC      SPEC: auto (default: by the checksum), ok (0x69,
                         record kept), ko-checksum (0x79), ko-flash (0x89),
                         byte:0xNN (that byte; kept only when it is 0x69),
                         none (no answer)
  --answer-delay [N=]MS  answer MS milliseconds after the message ended
  --answer-twice         send every put answer two times in a row

Pings (counted from 1 in order of arrival; "N=" applies to ping N only):
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
  --hangup-after N       after N bytes from the host, close the pty: the host
                         sees the line drop (wrapper mode still waits for the
                         command)
  --message-timeout MS   drop a message the host left unfinished for MS
                         milliseconds (default 2000; 0 = never)

Other:
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

std::string ParseOptions(const std::vector<std::string> &args, Options &options) {
    constexpr uint64_t kMaxMs = INT_MAX;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        if (name == "--") {
            options.command.assign(args.begin() + static_cast<long>(i) + 1, args.end());
            if (options.command.empty()) return "missing command after --";
            break;
        }
        std::optional<std::string> inline_value;
        const size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            inline_value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        // Fetches the option's value: after "=" or the next argument.
        std::string value;
        auto take = [&]() -> bool {
            if (inline_value) {
                value = *inline_value;
                return true;
            }
            if (i + 1 >= args.size()) return false;
            value = args[++i];
            return true;
        };
        auto flag = [&]() -> bool { return !inline_value; };
        const std::string bad_value = "bad value for " + name;

        if (name == "-h" || name == "--help") {
            options.help = true;
        } else if (name == "-V" || name == "--version") {
            options.version = true;
        } else if (name == "-v" || name == "--verbose") {
            if (!flag()) return name + " takes no value";
            options.verbose = true;
        } else if (name == "--once") {
            if (!flag()) return name + " takes no value";
            options.once = true;
        } else if (name == "--get-endless") {
            if (!flag()) return name + " takes no value";
            options.get_endless = true;
        } else if (name == "--answer-twice") {
            if (!flag()) return name + " takes no value";
            options.faults.answer_twice = true;
        } else if (name == "--ping-answer-after-first") {
            if (!flag()) return name + " takes no value";
            options.faults.ping = {PingRule::Kind::Early, 0};
        } else if (name == "--store" || name == "--transcript" || name == "--port-file" ||
                   name == "--screenshot" || name == "--write-test-picture" || name == "--adapter") {
            if (!take()) return "missing value for " + name;
            if (value.empty()) return bad_value + ": empty path";
            if (name == "--store") options.store_dir = value;
            else if (name == "--transcript") options.transcript_path = value;
            else if (name == "--port-file") options.port_file = value;
            else if (name == "--screenshot") options.screenshot_path = value;
            else if (name == "--write-test-picture") options.write_picture_path = value;
            else options.adapter = value;
        } else if (name == "--answer") {
            if (!take()) return "missing value for " + name;
            if (!SetForAllOrOne(value, ParseAnswerRule, options.faults.answer, options.faults.answer_for_record))
                return bad_value + ": " + value;
        } else if (name == "--answer-delay") {
            if (!take()) return "missing value for " + name;
            const auto parse_ms = [](const std::string &text, int &ms) {
                uint64_t parsed = 0;
                if (!ParseNumber(text, kMaxMs, parsed)) return false;
                ms = static_cast<int>(parsed);
                return true;
            };
            if (!SetForAllOrOne(value, parse_ms, options.faults.answer_delay_ms,
                                options.faults.answer_delay_for_record))
                return bad_value + ": " + value;
        } else if (name == "--ping-answer") {
            if (!take()) return "missing value for " + name;
            if (!SetForAllOrOne(value, ParsePingRule, options.faults.ping, options.faults.ping_for_attempt))
                return bad_value + ": " + value;
        } else if (name == "--get-bytes" || name == "--get-pause-after" || name == "--hangup-after") {
            if (!take()) return "missing value for " + name;
            uint64_t n = 0;
            if (!ParseNumber(value, UINT64_MAX - 1, n)) return bad_value + ": " + value;
            if (name == "--get-bytes") options.get_bytes = n;
            else if (name == "--get-pause-after") options.get_pause_after = n;
            else options.hangup_after = n;
        } else if (name == "--get-pause-ms" || name == "--read-delay-us" || name == "--message-timeout") {
            if (!take()) return "missing value for " + name;
            uint64_t n = 0;
            if (!ParseNumber(value, kMaxMs, n)) return bad_value + ": " + value;
            if (name == "--get-pause-ms") options.get_pause_ms = static_cast<int>(n);
            else if (name == "--read-delay-us") options.read_delay_us = static_cast<int>(n);
            else options.message_timeout_ms = static_cast<int>(n);
        } else {
            return "unknown option " + args[i];
        }
    }
    if (options.get_endless && options.get_bytes) return "--get-bytes and --get-endless exclude each other";
    if ((options.get_pause_after != StreamPlan::kNoPause) != (options.get_pause_ms > 0))
        return "--get-pause-after and --get-pause-ms go together";
    return "";
}

}  // namespace devsim
