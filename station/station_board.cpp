#include "station_board.h"

#include <algorithm>
#include <cstring>

#include "console.h"
#include "printable_text.h"
#include "station_status.h"

namespace {

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

StationBoard::StationBoard(std::vector<std::string> ports, bool live, double start_ms)
    : ports_(std::move(ports)), states_(ports_.size()), live_(live), start_ms_(start_ms) {
    // Port names come from the command line: on the board they stay on their line.
    for (std::string &port : ports_) {
        port = PrintableText(port.c_str());
        width_ = std::max(width_, port.size());
    }
}

void StationBoard::Plain(int port, const std::string &text) {
    if (!live_) WriteAll("station: " + ports_[port] + "  " + text + "\n");
}

void StationBoard::Waiting(int port) {
    PortState &state = states_[port];
    state.status = "waiting for a device";
    if (!state.last.empty()) state.status += "  (last: " + state.last + ")";
    changed_ = true;
    Plain(port, "waiting for a device");
}

void StationBoard::NoPort(int port, const std::string &reason) {
    PortState &state = states_[port];
    state.status = "no port: " + PrintableText(reason.c_str());
    Plain(port, state.status);
    if (!state.last.empty()) state.status += "  (last: " + state.last + ")";
    changed_ = true;
}

void StationBoard::Uploading(int port, uint32_t device) {
    states_[port].status = "device " + std::to_string(device) + " uploading";
    changed_ = true;
    Plain(port, states_[port].status);
}

void StationBoard::Progress(int port, const std::string &live_line) {
    const std::string &status = states_[port].status;
    states_[port].status = status.substr(0, status.find(" uploading")) + " uploading  " + live_line;
    changed_ = true;
}

void StationBoard::Finished(int port, const DeviceRun &run) {
    PortState &state = states_[port];
    state.last = Result(run);
    state.status = state.last;
    (run.ok ? ok_ : failed_) += 1;
    changed_ = true;
    Plain(port, state.last);
    // Scripts read standard output; a terminal shared with the board gets
    // the board out of the way first.
    Erase();
    fflush(stderr);
    fputs(FormatResultLine(ports_[port], run).c_str(), stdout);
    fflush(stdout);
}

void StationBoard::AwaitingRemoval(int port) {
    PortState &state = states_[port];
    state.status = state.last + "  - waiting for removal";
    changed_ = true;
    Plain(port, "waiting for removal");
}

void StationBoard::Say(const std::string &text) {
    Erase();
    WriteAll("station: " + text + "\n");
    changed_ = true;
}

std::string StationBoard::PortLine(int port) const {
    std::string line = ports_[port];
    line.resize(width_, ' ');
    return line + "  " + states_[port].status;
}

std::string StationBoard::TotalsLine(double now_ms) const {
    double per_hour = 0;
    char text[128];
    if (!DevicesPerHour(ok_ + failed_, now_ms - start_ms_, &per_hour)) {
        snprintf(text, sizeof text, "ok %u  failed %u  - devices/hour (after the first minute)", ok_, failed_);
    } else {
        snprintf(text, sizeof text, "ok %u  failed %u  %.0f devices/hour", ok_, failed_, per_hour);
    }
    return text;
}

void StationBoard::Erase() {
    if (!live_ || drawn_lines_ == 0) return;
    WriteAll("\033[" + std::to_string(drawn_lines_) + "A\r\033[J");
    drawn_lines_ = 0;
}

void StationBoard::Draw(double now_ms) {
    std::string text = drawn_lines_ > 0 ? "\033[" + std::to_string(drawn_lines_) + "A" : "";
    // A line wider than the terminal would wrap, and the board would no
    // longer go back to its own top.
    const int width = StderrColumns();
    const std::size_t columns = width > 1 ? static_cast<std::size_t>(width - 1) : 0;
    const auto fit = [columns](std::string line) {
        if (columns > 0 && line.size() > columns) line.resize(columns);
        return "\r" + line + "\033[K\n";
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
    for (PortState &state : states_) state.status = state.last.empty() ? "stopped" : state.last + "  (stopped)";
    if (live_) {
        Draw(now_ms);
        drawn_lines_ = 0;
    } else {
        WriteAll("station: " + TotalsLine(now_ms) + "\n");
    }
}
