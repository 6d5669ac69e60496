#include "operator_display.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "console.h"
#include "globals.h"
#include "platform_time.h"
#include "printable_text.h"
#include "progress_log.h"
#include "serial_link.h"
#include "serial_ports.h"

namespace {

// ---- output --------------------------------------------------------------

OperatorDisplayIo &Io() {
    static OperatorDisplayIo io = DefaultOperatorDisplayIo();
    return io;
}

void Emit(const std::string &text) { Io().write(text.data(), text.size()); }

// ---- formatting ----------------------------------------------------------

std::string Printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char *format, ...) {
    char buffer[256];
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (length <= 0) return std::string();
    return std::string(buffer, std::min(static_cast<std::size_t>(length), sizeof buffer - 1));
}

std::string Bytes(double bytes) {
    if (bytes < 1024.0) return Printf("%.0f B", bytes);
    if (bytes < 1024.0 * 1024.0) return Printf("%.1f KiB", bytes / 1024.0);
    return Printf("%.2f MiB", bytes / (1024.0 * 1024.0));
}

std::string Speed(double bytes_per_second) {
    if (bytes_per_second <= 0) return "--- B/s";
    return Bytes(bytes_per_second) + "/s";
}

std::string Duration(double seconds) {
    if (seconds < 0) return "--:--";
    const auto whole = static_cast<unsigned long>(seconds + 0.5);
    if (whole >= 3600) return Printf("%lu:%02lu:%02lu", whole / 3600, whole / 60 % 60, whole % 60);
    return Printf("%lu:%02lu", whole / 60, whole % 60);
}

unsigned Percent(uint32_t part, uint32_t whole) { return static_cast<unsigned>(ProgressPercent(part, whole)); }

// ---- the live line ---------------------------------------------------------

constexpr double kRedrawIntervalMs = 100;
constexpr double kSpeedWindowMs = 3000;   // "current" speed: the last few seconds
constexpr double kShortestSpanMs = 250;   // below that a speed is only noise
constexpr double kPauseAfterRecordS = PAUSE_MS / 1000.0;  // the upload's pause after each accepted record

// Bytes moved against transfer time, a few samples a second, so the speed
// shown follows the line of the last seconds rather than the whole run.
class SpeedMeter {
public:
    void Reset() { count_ = 0; next_ = 0; }

    void Add(double active_ms, uint32_t bytes) {
        samples_[next_] = Sample{active_ms, bytes};
        next_ = (next_ + 1) % kSize;
        if (count_ < kSize) ++count_;
    }

    // Bytes per second over the window, or 0 when there is too little to say.
    double BytesPerSecond() const {
        if (count_ < 2) return 0;
        const Sample &newest = samples_[(next_ + kSize - 1) % kSize];
        const Sample *oldest = nullptr;
        for (std::size_t i = count_; i-- > 1;) {  // oldest first
            const Sample &candidate = samples_[(next_ + kSize - 1 - i) % kSize];
            if (newest.active_ms - candidate.active_ms <= kSpeedWindowMs) {
                oldest = &candidate;
                break;
            }
        }
        if (oldest == nullptr) oldest = &samples_[(next_ + kSize - 2) % kSize];
        const double span_ms = newest.active_ms - oldest->active_ms;
        if (span_ms < kShortestSpanMs || newest.bytes < oldest->bytes) return 0;
        return static_cast<double>(newest.bytes - oldest->bytes) * 1000.0 / span_ms;
    }

private:
    struct Sample {
        double active_ms;
        uint32_t bytes;
    };
    static constexpr std::size_t kSize = 48;  // > window / redraw interval
    Sample samples_[kSize] = {};
    std::size_t count_ = 0;
    std::size_t next_ = 0;
};

enum class LiveKind { kNone, kUpload, kDownload };

struct LiveLine {
    LiveKind kind = LiveKind::kNone;
    uint32_t total_bytes = 0;
    uint32_t total_records = 0;
    uint32_t bytes = 0;
    uint32_t records = 0;
    bool visible = false;       // the line is on the screen now
    double last_draw_ms = 0;
    double last_update_ms = 0;
    double active_ms = 0;       // transfer time, the pauses left out
    bool after_record = false;  // the last update counted a new record
    SpeedMeter meter;
};

LiveLine &Line() {
    static LiveLine line;
    return line;
}

void Clear(LiveLine &line) {
    if (line.visible) Emit("\r\033[K");
    line.visible = false;
}

void Draw(LiveLine &line, double now) {
    line.meter.Add(line.active_ms, line.bytes);
    const double speed = line.meter.BytesPerSecond();
    std::string text = line.kind == LiveKind::kUpload
                           ? FormatUploadLine(line.bytes, line.total_bytes, line.records, line.total_records, speed)
                           : FormatDownloadLine(line.bytes, line.total_bytes, speed);
    // A line longer than the terminal wraps, and the carriage return would
    // then go back to the start of its last part only.
    const int columns = Io().columns ? Io().columns() : 0;
    if (columns > 1 && text.size() > static_cast<std::size_t>(columns - 1)) text.resize(columns - 1);
    Emit("\r" + text + "\033[K");
    line.visible = true;
    line.last_draw_ms = now;
}

// Draws when the line is hidden, when forced, or when the last drawing is
// old enough.
void MaybeDraw(LiveLine &line, double now, bool force) {
    if (force || !line.visible || now - line.last_draw_ms >= kRedrawIntervalMs) Draw(line, now);
}

void Begin(LiveKind kind, uint32_t total_bytes, uint32_t total_records) {
    LiveLine &line = Line();
    Clear(line);
    line = LiveLine();
    if (!Io().live) return;
    line.kind = kind;
    line.total_bytes = total_bytes;
    line.total_records = total_records;
    line.last_update_ms = Io().now_ms();
    line.last_draw_ms = line.last_update_ms;
    line.meter.Add(0, 0);
}

void End() {
    LiveLine &line = Line();
    Clear(line);
    line.kind = LiveKind::kNone;
}

}  // namespace

OperatorDisplayIo DefaultOperatorDisplayIo() {
    OperatorDisplayIo io;
    io.live = StderrIsLiveTerminal();
    io.write = WriteToStderr;
    io.now_ms = MonotonicNowMs;
    io.columns = StderrColumns;
    return io;
}

void SetOperatorDisplayIo(const OperatorDisplayIo &io) {
    Line() = LiveLine();
    Io() = io;
}

std::string FormatUploadLine(uint32_t bytes_sent, uint32_t total_bytes, uint32_t records_accepted,
                             uint32_t total_records, double bytes_per_second) {
    const uint32_t remaining_bytes = bytes_sent < total_bytes ? total_bytes - bytes_sent : 0;
    const uint32_t remaining_pauses = records_accepted < total_records ? total_records - records_accepted : 0;
    double left = -1;
    if (remaining_bytes == 0) {
        left = remaining_pauses * kPauseAfterRecordS;
    } else if (bytes_per_second > 0) {
        left = remaining_bytes / bytes_per_second + remaining_pauses * kPauseAfterRecordS;
    }
    return Printf("upload %3u%%  %s of %s  %u of %u records  %s  %s left", Percent(bytes_sent, total_bytes),
                  Bytes(bytes_sent).c_str(), Bytes(total_bytes).c_str(), records_accepted, total_records,
                  Speed(bytes_per_second).c_str(), Duration(left).c_str());
}

bool ReadUploadLine(const std::string &line, unsigned *percent, long *seconds_left) {
    int consumed = 0;
    if (sscanf(line.c_str(), "upload %u%%%n", percent, &consumed) != 1 || consumed <= 0 || *percent > 100) return false;
    // The time left is the word before the closing " left": "M:SS", "H:MM:SS" or "--:--".
    const std::string tail = " left";
    if (line.size() < tail.size() || line.compare(line.size() - tail.size(), tail.size(), tail) != 0) return false;
    const std::size_t start = line.rfind(' ', line.size() - tail.size() - 1);
    if (start == std::string::npos) return false;
    const std::string duration = line.substr(start + 1, line.size() - tail.size() - start - 1);
    *seconds_left = -1;
    if (duration == "--:--") return true;
    long total = 0;
    std::size_t fields = 0;
    for (std::size_t at = 0; at <= duration.size(); ++fields) {
        const std::size_t colon = std::min(duration.find(':', at), duration.size());
        const std::string field = duration.substr(at, colon - at);
        if (field.empty() || field.size() > 6 || field.find_first_not_of("0123456789") != std::string::npos) return false;
        total = total * 60 + std::stol(field);
        at = colon + 1;
    }
    if (fields < 2 || fields > 3) return false;
    *seconds_left = total;
    return true;
}

std::string FormatDownloadLine(uint32_t received, uint32_t expected, double bytes_per_second) {
    std::string text = Printf("download  %s of %s  %3u%%  %s", Bytes(received).c_str(), Bytes(expected).c_str(),
                              Percent(received, expected), Speed(bytes_per_second).c_str());
    if (received < expected) {
        const double left = bytes_per_second > 0 ? (expected - received) / bytes_per_second : -1;
        text += "  " + Duration(left) + " left";
    }
    return text;
}

bool LiveLinesShown() { return Io().live; }

void ProgressBegin(uint32_t total_bytes, uint32_t total_records) {
    Begin(LiveKind::kUpload, total_bytes, total_records);
}

void ProgressUpdate(uint32_t bytes_sent, uint32_t records_accepted) {
    LiveLine &line = Line();
    if (line.kind != LiveKind::kUpload) return;
    const double now = Io().now_ms();
    // The pause after an accepted record is no transfer time. It lies next
    // to the update that counts the record, before or after it depending on
    // where the caller reports; both neighbours are left out, which costs
    // only the few milliseconds of a checksum and its answer.
    const bool new_record = records_accepted != line.records;
    if (!new_record && !line.after_record) line.active_ms += now - line.last_update_ms;
    line.after_record = new_record;
    line.last_update_ms = now;
    line.bytes = bytes_sent;
    line.records = records_accepted;
    MaybeDraw(line, now, new_record);
}

void ProgressHide() { Clear(Line()); }

void ProgressEnd() { End(); }

void DownloadBegin(uint32_t expected_bytes) {
    Begin(LiveKind::kDownload, expected_bytes, 0);
    LiveLine &line = Line();
    if (line.kind == LiveKind::kDownload) Draw(line, line.last_update_ms);
}

void DownloadUpdate(uint32_t received_bytes) {
    LiveLine &line = Line();
    if (line.kind != LiveKind::kDownload) return;
    const double now = Io().now_ms();
    line.active_ms += now - line.last_update_ms;
    line.last_update_ms = now;
    line.bytes = received_bytes;
    MaybeDraw(line, now, false);
}

void DownloadEnd() { End(); }

std::string FormatPortHint(const char *portname, bool refused, const std::vector<std::string> &ports, bool listed) {
    std::string names;
    for (const std::string &name : ports) names += (names.empty() ? "" : ", ") + name;
    const std::string wanted = portname != nullptr ? portname : "";
    if (refused) {
        return "hint: " + PrintableText(wanted.c_str()) +
               " exists but could not be opened: another program may be using it, or it needs permission" +
               (names.empty() ? std::string() : "; serial ports: " + names) + "\n";
    }
    if (!listed) return "hint: the serial ports could not be listed\n";
    if (ports.empty()) return "hint: no serial ports found\n";
    // An operator used to other systems types the bare device name.
    const std::string with_dev = "/dev/" + wanted;
    for (const std::string &name : ports) {
        if (wanted.find('/') == std::string::npos && name == with_dev) {
            return "hint: did you mean " + name + "? available serial ports: " + names + "\n";
        }
    }
    return "hint: available serial ports: " + names + "\n";
}

void PrintPortHint(const char *portname, int connect_error) {
    // The live line, if any, must not share the terminal row with the hint.
    End();
    // A pseudo-terminal is no port the library knows unless the adapter is
    // preloaded; listing the machine's real ports would only mislead.
    const bool unknown = connect_error > kConnectNoSuchPort && connect_error < kConnectNotOpened;
    if (unknown && IsPseudoTerminal(portname)) {
        Emit("hint: " + PrintableText(portname) + " is " + kPseudoTerminalNeedsAdapter +
             " (LD_PRELOAD=libpardulo_pty_adapter.so; pardulo-devsim -- COMMAND preloads it)\n");
        return;
    }
    // Opening failed on a device that is there: busy or forbidden.
    const bool refused =
        connect_error > kConnectNotOpened && connect_error < kConnectNotSettable && SerialDeviceExists(portname);
    std::vector<std::string> names;
    const bool listed = ListSerialPorts(names);
    for (std::string &name : names) name = PrintableText(name.c_str());
    Emit(FormatPortHint(portname, refused, names, listed));
}

const char kInterruptNotice[] =
    "\r\033[Kinterrupted: the device may be in the middle of a record, so the next run can fail once\n";

void PrintOperatorNote(const std::string &line) {
    if (!Io().live) return;
    End();
    Emit(line + "\n");
}

std::string FormatDevelopSummary(const BuildStats &stats, int32_t built, int32_t checked) {
    if (!stats.listing_read) {
        return checked == -2 ? "develop: resources/ could not be read; nothing was packed and there is no map"
                             : "develop: resources/ could not be read; nothing was packed, the map checked above "
                               "is an earlier one";
    }
    std::string text = Printf("develop: %d packed, %d skipped", stats.packed, stats.skipped);
    if (built < 0) {
        text += "; the build stopped on the error above";
    } else if (stats.packed + stats.skipped == 0) {
        text = "develop: no resources found in resources/ (no *.rawh files); the map holds no records";
    }
    if (checked != 0) text += "; the map does not check";
    return text;
}

std::string FormatRefusalHint(const UploadOutcome &outcome) {
    const int block = outcome.failed_block;
    if (outcome.failure == UploadFailure::kNoAnswer) {
        return Printf("hint: the device did not answer block %d within %u ms", block, TIMEOUT_MS);
    }
    if (outcome.failure != UploadFailure::kRefused) return std::string();
    switch (outcome.answer) {
        case RESPONSE_KO_CHECKSUM:
            return Printf("hint: the device refused block %d (0x79): the checksum did not match", block);
        case RESPONSE_KO_FLASH:
            return Printf("hint: the device refused block %d (0x89): it could not write its flash", block);
        default:
            return Printf("hint: the device answered block %d with 0x%02X, which is no answer it gives", block,
                          static_cast<unsigned>(outcome.answer));
    }
}

void InstallInterruptNotice() {
    if (!Io().live) return;
    WriteOnInterrupt(kInterruptNotice);
}
