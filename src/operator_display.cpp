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

enum class LiveKind { kNone, kUpload, kDownload };

struct LiveLine {
    LiveKind kind = LiveKind::kNone;
    uint32_t total_bytes = 0;
    uint32_t total_records = 0;
    uint32_t bytes = 0;
    uint32_t records = 0;
    bool visible = false;       // the line is on the screen now
    double last_draw_ms = 0;
    TransferPace pace;
};

LiveLine &Line() {
    static LiveLine line;
    return line;
}

void Clear(LiveLine &line) {
    if (line.visible) Emit("\r" CONSOLE_ERASE_ROW_END);
    line.visible = false;
}

void Draw(LiveLine &line, double now) {
    const double speed = line.pace.Sample();
    std::string text = line.kind == LiveKind::kUpload
                           ? FormatUploadLine(line.bytes, line.total_bytes, line.records, line.total_records, speed)
                           : FormatDownloadLine(line.bytes, line.total_bytes, speed);
    // A line longer than the terminal wraps, and the carriage return would
    // then go back to the start of its last part only.
    const int columns = Io().columns ? Io().columns() : 0;
    if (columns > 1 && text.size() > static_cast<std::size_t>(columns - 1)) text.resize(columns - 1);
    Emit("\r" + text + CONSOLE_ERASE_ROW_END);
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
    line.last_draw_ms = Io().now_ms();
    line.pace.Begin(line.last_draw_ms);
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

void TransferPace::Begin(double now_ms) {
    *this = TransferPace();
    last_update_ms_ = now_ms;
    Sample();
}

void TransferPace::Update(uint32_t bytes, uint32_t pauses, double now_ms) {
    const bool new_pause = pauses != pauses_;
    if (!new_pause && !after_pause_) active_ms_ += now_ms - last_update_ms_;
    after_pause_ = new_pause;
    last_update_ms_ = now_ms;
    bytes_ = bytes;
    pauses_ = pauses;
}

double TransferPace::Sample() {
    points_[next_] = Point{active_ms_, bytes_};
    next_ = (next_ + 1) % kPoints;
    if (count_ < kPoints) ++count_;
    if (count_ < 2) return 0;
    const Point &newest = points_[(next_ + kPoints - 1) % kPoints];
    const Point *oldest = nullptr;
    for (std::size_t i = count_; i-- > 1;) {  // oldest first
        const Point &candidate = points_[(next_ + kPoints - 1 - i) % kPoints];
        if (newest.active_ms - candidate.active_ms <= kSpeedWindowMs) {
            oldest = &candidate;
            break;
        }
    }
    if (oldest == nullptr) oldest = &points_[(next_ + kPoints - 2) % kPoints];
    const double span_ms = newest.active_ms - oldest->active_ms;
    if (span_ms < kShortestSpanMs || newest.bytes < oldest->bytes) return 0;
    return static_cast<double>(newest.bytes - oldest->bytes) * 1000.0 / span_ms;
}

std::string FormatUploadLine(uint32_t bytes_sent, uint32_t total_bytes, uint32_t records_accepted,
                             uint32_t total_records, double bytes_per_second) {
    UploadProgress progress;
    progress.bytes_sent = bytes_sent;
    progress.map_bytes = total_bytes;
    progress.records_accepted = records_accepted;
    progress.map_records = total_records;
    const double left = UploadSecondsLeft(progress, bytes_per_second);
    return Printf("upload %3u%%  %s of %s  %u of %u records  %s  %s left", Percent(bytes_sent, total_bytes),
                  Bytes(bytes_sent).c_str(), Bytes(total_bytes).c_str(), records_accepted, total_records,
                  Speed(bytes_per_second).c_str(), Duration(left).c_str());
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
    // The pause after an accepted record is no transfer time: both
    // neighbours of the update that counts the record are left out, which
    // costs only the few milliseconds of a checksum and its answer.
    const bool new_record = records_accepted != line.records;
    line.pace.Update(bytes_sent, records_accepted, now);
    line.bytes = bytes_sent;
    line.records = records_accepted;
    MaybeDraw(line, now, new_record);
}

void ShowUploadProgress(const UploadProgress &progress) {
    ProgressUpdate(progress.bytes_sent, progress.records_accepted);
}

void ProgressHide() { Clear(Line()); }

void ProgressEnd() { End(); }

void DownloadBegin(uint32_t expected_bytes) {
    Begin(LiveKind::kDownload, expected_bytes, 0);
    LiveLine &line = Line();
    if (line.kind == LiveKind::kDownload) Draw(line, line.last_draw_ms);
}

void DownloadUpdate(uint32_t received_bytes) {
    LiveLine &line = Line();
    if (line.kind != LiveKind::kDownload) return;
    const double now = Io().now_ms();
    line.pace.Update(received_bytes, 0, now);
    line.bytes = received_bytes;
    MaybeDraw(line, now, false);
}

void DownloadEnd() { End(); }

std::string FormatPortHint(const char *portname, bool refused, const std::vector<std::string> &ports, bool listed,
                           const std::string &advice) {
    std::string names;
    for (const std::string &name : ports) names += (names.empty() ? "" : ", ") + name;
    const std::string wanted = portname != nullptr ? portname : "";
    if (refused) {
        const std::string why = advice.empty()
                                    ? "could not be opened: another program may be using it, or it needs permission"
                                    : "this user may not open it: " + advice;
        return "hint: " + PrintableText(wanted.c_str()) + " exists but " + why +
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
             " (LD_PRELOAD=" + PrintableText(PtyAdapterPath().c_str()) +
             "; pardulo-devsim -- COMMAND preloads it)\n");
        return;
    }
    // Opening failed on a device that is there: busy or forbidden.
    const bool refused =
        connect_error > kConnectNotOpened && connect_error < kConnectNotSettable && SerialDeviceExists(portname);
    std::vector<std::string> names;
    const bool listed = ListSerialPorts(names);
    for (std::string &name : names) name = PrintableText(name.c_str());
    Emit(FormatPortHint(portname, refused, names, listed, refused ? PortPermissionAdvice(portname, connect_error) : ""));
}

const char kInterruptNotice[] =
    "\r" CONSOLE_ERASE_ROW_END
    "interrupted: the device may be in the middle of a record, so the next run can fail once\n";

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
