#include "station_status.h"

#include <cmath>
#include <utility>

#include "progress_log.h"

namespace {

constexpr double kFirstMinuteMs = 60000;

using State = StationStatus::State;

// The state as the web side names it: a port not heard from yet is
// waiting, and a finished run's device is to be removed.
const char *StateName(State state) {
    switch (state) {
        case State::kStarting:
        case State::kWaiting: return "waiting";
        case State::kUploading: return "uploading";
        case State::kFinished:
        case State::kRemove: return "remove";
        case State::kStopped: return "stopped";
        case State::kAwaitingSerial: return "awaiting_serial";
        case State::kPaused: return "paused";
    }
    return "waiting";
}

// What the web shows of an upload: its percent, and its seconds left (-1
// while not known).
int Percent(const StationStatus::Port &p) {
    return p.has_progress ? ProgressPercent(p.progress.bytes_sent, p.progress.map_bytes) : 0;
}

long long SecondsLeft(const StationStatus::Port &p) {
    if (!p.has_progress) return -1;
    const double left = UploadSecondsLeft(p.progress, p.bytes_per_second);
    return left < 0 ? -1 : std::llround(left);
}

}  // namespace

const std::vector<std::string> &PortStateNames() {
    // The names are StateName's; the states that show a name of their own,
    // in the order a port goes through them.
    static const std::vector<std::string> kNames = [] {
        std::vector<std::string> names;
        for (State state : {State::kWaiting, State::kAwaitingSerial, State::kUploading, State::kRemove,
                            State::kPaused, State::kStopped}) {
            names.emplace_back(StateName(state));
        }
        return names;
    }();
    return kNames;
}

bool DevicesPerHour(uint32_t devices, double elapsed_ms, double *per_hour) {
    if (!(elapsed_ms >= kFirstMinuteMs)) return false;
    *per_hour = devices / (elapsed_ms / 3.6e6);
    return true;
}

StationStatus::StationStatus(const StationFacts &facts, const std::vector<std::string> &ports, std::string started,
                             double start_ms)
    : facts_(facts), started_(std::move(started)), start_ms_(start_ms), ports_(ports.size()) {
    for (std::size_t i = 0; i < ports.size(); ++i) ports_[i].name = ports[i];
}

StationStatus::Port *StationStatus::At(int port) {
    return port >= 0 && static_cast<std::size_t>(port) < ports_.size() ? &ports_[static_cast<std::size_t>(port)]
                                                                       : nullptr;
}

bool StationStatus::Set(Port &p, State state) {
    const bool shown = std::string(StateName(p.state)) != StateName(state);
    if (p.state == state) return false;
    p.state = state;
    p.has_progress = false;
    p.progress = UploadProgress{};
    p.bytes_per_second = 0;
    return shown;
}

bool StationStatus::Waiting(int port) { return NoPort(port, ""); }

bool StationStatus::NoPort(int port, const std::string &reason) {
    Port *p = At(port);
    if (p == nullptr) return false;
    const bool changed = Set(*p, State::kWaiting) || p->no_port != reason;
    p->device = 0;
    p->no_port = reason;
    return changed;
}

bool StationStatus::Uploading(int port, uint32_t device) {
    Port *p = At(port);
    if (p == nullptr) return false;
    Set(*p, State::kUploading);
    p->device = device;
    p->no_port.clear();
    return true;
}

bool StationStatus::Progress(int port, const UploadProgress &progress, double bytes_per_second, double now_ms) {
    Port *p = At(port);
    if (p == nullptr || p->state != State::kUploading) return false;
    const int percent_before = Percent(*p);
    const long long left_before = SecondsLeft(*p);
    p->has_progress = true;
    p->progress = progress;
    p->bytes_per_second = bytes_per_second;
    // Progress comes ten times a second; only what a client shows counts.
    if (Percent(*p) == percent_before && SecondsLeft(*p) == left_before) return false;
    if (now_ms - p->told_ms < kProgressEveryMs) return false;
    p->told_ms = now_ms;
    return true;
}

bool StationStatus::AwaitingRemoval(int port) {
    Port *p = At(port);
    return p != nullptr && Set(*p, State::kRemove);
}

bool StationStatus::AwaitingSerial(int port, uint32_t device) {
    Port *p = At(port);
    if (p == nullptr) return false;
    Set(*p, State::kAwaitingSerial);
    p->device = device;
    p->no_port.clear();
    return true;
}

bool StationStatus::Paused(int port) {
    Port *p = At(port);
    return p != nullptr && Set(*p, State::kPaused);
}

bool StationStatus::PauseAsked(int port, bool asked) {
    Port *p = At(port);
    if (p == nullptr || p->pause_asked == asked) return false;
    p->pause_asked = asked;
    return true;
}

bool StationStatus::SerialGiven(int port, const std::string &serial) {
    Port *p = At(port);
    if (p == nullptr || p->serial == serial) return false;
    p->serial = serial;
    return true;
}

bool StationStatus::Finished(int port, const DeviceRun &run, const std::string &record_line) {
    Port *p = At(port);
    if (p == nullptr) return false;
    (run.ok ? ok_ : failed_) += 1;
    // The board stays in its fixture until it is taken out; a port without
    // a device (--once) has nothing to take out, but its result shows all
    // the same until the station ends.
    Set(*p, State::kFinished);
    p->device = run.device;
    p->has_last = true;
    p->last_run = run;
    Json record = Json::parse(record_line, nullptr, false);
    if (!record.is_object()) record = nullptr;  // never a line of FormatRecordLine
    p->last = record;
    if (record.is_null()) return true;
    last_record_ = record;
    recent_.push_back(std::move(record));
    if (recent_.size() > kRecentRecords) recent_.pop_front();
    return true;
}

void StationStatus::Stop() {
    for (Port &p : ports_) Set(p, State::kStopped);
}

Json StationStatus::PortJson(int port) const {
    const Port &p = PortAt(port);
    const bool uploading = p.state == State::kUploading;
    const bool has_device = uploading || p.state == State::kFinished || p.state == State::kRemove ||
                            p.state == State::kAwaitingSerial;
    const long long left = SecondsLeft(p);
    Json object;
    object["port"] = p.name;
    object["state"] = StateName(p.state);
    object["device"] = has_device && p.device > 0 ? Json(p.device) : Json(nullptr);
    object["no_port"] = p.state == State::kWaiting && !p.no_port.empty() ? Json(p.no_port) : Json(nullptr);
    object["percent"] = uploading ? Json(Percent(p)) : Json(nullptr);
    object["seconds_left"] = uploading && left >= 0 ? Json(left) : Json(nullptr);
    object["last"] = p.last;
    object["paused"] = p.pause_asked;
    object["serial"] = p.serial.empty() ? Json(nullptr) : Json(p.serial);
    return object;
}

Json StationStatus::TotalsJson(double now_ms) const {
    Json totals;
    totals["ok"] = ok_;
    totals["failed"] = failed_;
    double per_hour = 0;
    totals["devices_per_hour"] =
        DevicesPerHour(ok_ + failed_, now_ms - start_ms_, &per_hour) ? Json(std::llround(per_hour)) : Json(nullptr);
    if (HasBroker()) {
        totals["broker"] = {{"state", broker_state_}, {"reason", broker_reason_}, {"waiting", broker_waiting_}};
    }
    return totals;
}

bool StationStatus::Broker(const std::string &state, const std::string &reason, uint64_t waiting) {
    if (state == broker_state_ && reason == broker_reason_ && waiting == broker_waiting_) return false;
    broker_state_ = state;
    broker_reason_ = reason;
    broker_waiting_ = waiting;
    return true;
}

Json StationStatus::StatusJson(double now_ms) const {
    Json status;
    status["station"] = facts_.station;
    status["map"] = {{"sha256", facts_.map_sha256}, {"records", facts_.map_records}, {"bytes", facts_.map_bytes}};
    status["started"] = started_;
    status["ports"] = Json::array();
    for (std::size_t i = 0; i < ports_.size(); ++i) status["ports"].push_back(PortJson(static_cast<int>(i)));
    status["totals"] = TotalsJson(now_ms);
    status["recent"] = Json::array();
    for (const Json &record : recent_) status["recent"].push_back(record);
    return status;
}
