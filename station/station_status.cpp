#include "station_status.h"

#include <cmath>
#include <utility>

#include "operator_display.h"

namespace {

constexpr double kFirstMinuteMs = 60000;

const char *StateName(int state) { return PortStateNames().at(static_cast<std::size_t>(state)).c_str(); }

}  // namespace

const std::vector<std::string> &PortStateNames() {
    static const std::vector<std::string> kNames = {"waiting", "uploading", "remove", "stopped"};
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
    if (p.state == state) return false;
    p.state = state;
    p.percent = 0;
    p.seconds_left = -1;
    return true;
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

bool StationStatus::Progress(int port, const std::string &live_line, double now_ms) {
    Port *p = At(port);
    unsigned percent = 0;
    long left = -1;
    if (p == nullptr || p->state != State::kUploading || !ReadUploadLine(live_line, &percent, &left)) return false;
    // Progress comes ten times a second; only what a client shows counts.
    if (p->percent == static_cast<int>(percent) && p->seconds_left == left) return false;
    p->percent = static_cast<int>(percent);
    p->seconds_left = left;
    if (now_ms - p->told_ms < kProgressEveryMs) return false;
    p->told_ms = now_ms;
    return true;
}

bool StationStatus::AwaitingRemoval(int port) {
    Port *p = At(port);
    return p != nullptr && Set(*p, State::kRemove);
}

bool StationStatus::Finished(int port, const std::string &record_line) {
    Port *p = At(port);
    if (p == nullptr) return false;
    Json record = Json::parse(record_line, nullptr, false);
    if (!record.is_object()) return false;
    (record.value("result", "") == "ok" ? ok_ : failed_) += 1;
    // The board stays in its fixture until it is taken out; a port without
    // a device (--once) has nothing to take out, but its result shows all
    // the same until the station ends.
    Set(*p, State::kRemove);
    p->device = record.value("device", 0u);
    p->last = record;
    last_record_ = record;
    recent_.push_back(std::move(record));
    if (recent_.size() > kRecentRecords) recent_.pop_front();
    return true;
}

void StationStatus::Stop() {
    for (Port &p : ports_) Set(p, State::kStopped);
}

Json StationStatus::PortJson(int port) const {
    const Port &p = ports_.at(static_cast<std::size_t>(port));
    const bool uploading = p.state == State::kUploading;
    const bool has_device = uploading || p.state == State::kRemove;
    Json object;
    object["port"] = p.name;
    object["state"] = StateName(static_cast<int>(p.state));
    object["device"] = has_device && p.device > 0 ? Json(p.device) : Json(nullptr);
    object["no_port"] = p.state == State::kWaiting && !p.no_port.empty() ? Json(p.no_port) : Json(nullptr);
    object["percent"] = uploading ? Json(p.percent) : Json(nullptr);
    object["seconds_left"] = uploading && p.seconds_left >= 0 ? Json(p.seconds_left) : Json(nullptr);
    object["last"] = p.last;
    return object;
}

Json StationStatus::TotalsJson(double now_ms) const {
    Json totals;
    totals["ok"] = ok_;
    totals["failed"] = failed_;
    double per_hour = 0;
    totals["devices_per_hour"] =
        DevicesPerHour(ok_ + failed_, now_ms - start_ms_, &per_hour) ? Json(std::llround(per_hour)) : Json(nullptr);
    return totals;
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
