#include "station_board.h"

#include <algorithm>
#include <cstring>

#include "console.h"
#include "operator_display.h"
#include "printable_text.h"

namespace {

using State = StationStatus::State;

// Standard error unbuffered; nobody to tell when it fails.
void WriteAll(const std::string &text) { WriteToStderr(text.data(), text.size()); }

std::string Result(const DeviceRun &run) {
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%.1f s", run.seconds);
    const std::string head = "device " + std::to_string(run.device) + " ";
    if (run.ok) return head + "ok, " + seconds;
    if (!run.present) return "failed: " + FailureReason(run);
    return head + "failed: " + FailureReason(run) + ", " + seconds;
}

}  // namespace

StationBoard::StationBoard(const StationStatus &status, bool live) : status_(status), live_(live) {
    // Port names come from the command line: on the board they stay on their line.
    for (std::size_t i = 0; i < status.PortCount(); ++i) {
        ports_.push_back(PrintableText(status.PortAt(static_cast<int>(i)).name.c_str()));
        width_ = std::max(width_, ports_.back().size());
    }
}

std::string StationBoard::StepText(int port) const {
    const StationStatus::Port &p = status_.PortAt(port);
    switch (p.state) {
        case State::kWaiting:
            return p.no_port.empty() ? "waiting for a device" : "no port: " + PrintableText(p.no_port.c_str());
        case State::kUploading: return "device " + std::to_string(p.device) + " uploading";
        case State::kFinished: return p.has_last ? Result(p.last_run) : "";
        case State::kRemove: return "waiting for removal";
        case State::kAwaitingSerial: return "device " + std::to_string(p.device) + " waiting for its serial number";
        case State::kPaused: return "paused";
        case State::kStarting:
        case State::kStopped: break;
    }
    return "";
}

void StationBoard::PortChanged(int port) {
    changed_ = true;
    const std::string step = StepText(port);
    if (!live_ && !step.empty()) WriteAll("station: " + ports_[port] + "  " + step + "\n");
}

void StationBoard::ProgressChanged() { changed_ = true; }

void StationBoard::Finished(int port, const std::string &port_name, const DeviceRun &run) {
    PortChanged(port);
    // Scripts read standard output; a terminal shared with the board gets
    // the board out of the way first.
    Erase();
    fflush(stderr);
    fputs(FormatResultLine(port_name, run).c_str(), stdout);
    fflush(stdout);
}

void StationBoard::Say(const std::string &text) {
    Erase();
    WriteAll("station: " + text + "\n");
    changed_ = true;
}

std::string StationBoard::PortLine(int port) const {
    const StationStatus::Port &p = status_.PortAt(port);
    const std::string last = p.has_last ? Result(p.last_run) : "";
    std::string text = StepText(port);
    switch (p.state) {
        case State::kStarting: text = "starting"; break;
        case State::kWaiting:
            if (!last.empty()) text += "  (last: " + last + ")";
            break;
        case State::kUploading:
            if (p.has_progress) {
                const UploadProgress &f = p.progress;
                text += "  " + FormatUploadLine(f.bytes_sent, f.map_bytes, f.records_accepted, f.map_records,
                                                p.bytes_per_second);
            }
            break;
        case State::kFinished:
        case State::kAwaitingSerial:
        case State::kPaused: break;
        case State::kRemove: text = last + "  - waiting for removal"; break;
        case State::kStopped: text = last.empty() ? "stopped" : last + "  (stopped)"; break;
    }
    std::string line = ports_[port];
    line.resize(width_, ' ');
    return line + "  " + text;
}

std::string StationBoard::TotalsLine(double now_ms) const {
    const uint32_t ok = status_.Ok();
    const uint32_t failed = status_.Failed();
    double per_hour = 0;
    char text[128];
    if (!DevicesPerHour(ok + failed, now_ms - status_.StartMs(), &per_hour)) {
        snprintf(text, sizeof text, "ok %u  failed %u  - devices/hour (after the first minute)", ok, failed);
    } else {
        snprintf(text, sizeof text, "ok %u  failed %u  %.0f devices/hour", ok, failed, per_hour);
    }
    if (!status_.HasBroker()) return text;
    return text + ("  broker " + status_.BrokerState() + ", " + std::to_string(status_.BrokerWaiting()) +
                   " records waiting");
}

void StationBoard::Erase() {
    if (!live_ || drawn_lines_ == 0) return;
    WriteAll(ConsoleRowsUp(drawn_lines_) + "\r" CONSOLE_ERASE_BELOW);
    drawn_lines_ = 0;
}

void StationBoard::Draw(double now_ms) {
    std::string text = drawn_lines_ > 0 ? ConsoleRowsUp(drawn_lines_) : "";
    // A line wider than the terminal would wrap, and the board would no
    // longer go back to its own top.
    const int width = StderrColumns();
    const std::size_t columns = width > 1 ? static_cast<std::size_t>(width - 1) : 0;
    const auto fit = [columns](std::string line) {
        if (columns > 0 && line.size() > columns) line.resize(columns);
        return "\r" + line + CONSOLE_ERASE_ROW_END "\n";
    };
    for (std::size_t i = 0; i < ports_.size(); ++i) text += fit(PortLine(static_cast<int>(i)));
    text += fit(TotalsLine(now_ms));
    WriteAll(text);
    drawn_lines_ = static_cast<int>(ports_.size()) + 1;
    drawn_ms_ = now_ms;
    changed_ = false;
}

void StationBoard::Refresh(double now_ms) {
    if (!live_) return;
    // Progress comes ten times a second from every port: five drawings a
    // second are plenty for a person.
    const double since = now_ms - drawn_ms_;
    if (drawn_lines_ == 0 || (changed_ && since >= 200) || since >= 1000) Draw(now_ms);
}

void StationBoard::Close(double now_ms) {
    if (live_) {
        Draw(now_ms);
        drawn_lines_ = 0;
    } else {
        WriteAll("station: " + TotalsLine(now_ms) + "\n");
    }
}
