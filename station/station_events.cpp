#include "station_events.h"

#include <cmath>
#include <cstddef>
#include <stdexcept>

namespace {

const char *const kEventNames[] = {"waiting", "no_port", "uploading", "progress", "finished",
                                   "removal", "problem", "awaiting_serial", "paused"};

const char *const kFailureNames[] = {"none",      "map_unreadable", "no_port",     "map_framing", "send_error",
                                     "no_answer", "refused",        "device_gone", "interrupted", "exit_not_sent",
                                     "read_back_differs", "read_back_short"};

// The index of name in names, thrown out when it has none.
template <std::size_t N>
int IndexOf(const char *const (&names)[N], const Json &name) {
    const std::string text = name.get<std::string>();
    for (std::size_t i = 0; i < N; ++i) {
        if (text == names[i]) return static_cast<int>(i);
    }
    throw std::invalid_argument("unknown name: " + text);
}

// A duration that is no number would write as null, which reads as none.
double Finite(double value) { return std::isfinite(value) ? value : 0.0; }

void CheckVersion(const Json &json) {
    if (json.at("version").get<int>() != kStationChannelVersion) {
        throw std::invalid_argument("another version of the station's channel");
    }
}

bool HasText(EventKind kind) { return kind == EventKind::kNoPort || kind == EventKind::kProblem; }

template <typename Value>
bool DecodeLine(const std::string &line, Value *value) {
    const Json json = Json::parse(line, nullptr, false);
    if (!json.is_object()) return false;
    try {
        *value = json.get<Value>();
    } catch (const std::exception &) {  // Json's own, and a name or version of none of ours
        return false;
    }
    return true;
}

}  // namespace

void to_json(Json &json, const UploadOutcome &outcome) {
    json = Json{{"map_records", outcome.map_records},
                {"map_bytes", outcome.map_bytes},
                {"records_accepted", outcome.records_accepted},
                {"bytes_sent", outcome.bytes_sent},
                {"failure", kFailureNames[static_cast<int>(outcome.failure)]},
                {"failed_block", outcome.failed_block},
                {"answer", outcome.answer},
                {"read_back_at", outcome.read_back_at},
                {"read_back_of", outcome.read_back_of},
                {"read_back_seconds", Finite(outcome.read_back_seconds)}};
}

void from_json(const Json &json, UploadOutcome &outcome) {
    json.at("map_records").get_to(outcome.map_records);
    json.at("map_bytes").get_to(outcome.map_bytes);
    json.at("records_accepted").get_to(outcome.records_accepted);
    json.at("bytes_sent").get_to(outcome.bytes_sent);
    outcome.failure = static_cast<UploadFailure>(IndexOf(kFailureNames, json.at("failure")));
    json.at("failed_block").get_to(outcome.failed_block);
    json.at("answer").get_to(outcome.answer);
    // A journal written before the read-back existed still reads: nothing
    // was read back.
    if (!json.contains("read_back_at")) return;
    json.at("read_back_at").get_to(outcome.read_back_at);
    json.at("read_back_of").get_to(outcome.read_back_of);
    json.at("read_back_seconds").get_to(outcome.read_back_seconds);
}

void to_json(Json &json, const UploadProgress &progress) {
    json = Json{{"bytes_sent", progress.bytes_sent},
                {"map_bytes", progress.map_bytes},
                {"records_accepted", progress.records_accepted},
                {"map_records", progress.map_records},
                {"block", progress.block}};
}

void from_json(const Json &json, UploadProgress &progress) {
    json.at("bytes_sent").get_to(progress.bytes_sent);
    json.at("map_bytes").get_to(progress.map_bytes);
    json.at("records_accepted").get_to(progress.records_accepted);
    json.at("map_records").get_to(progress.map_records);
    json.at("block").get_to(progress.block);
}

void to_json(Json &json, const DeviceRun &run) {
    json = Json{{"id", run.id},
                {"device", run.device},
                {"started", run.started},
                {"present", run.present},
                {"port_failure", run.port_failure},
                {"ok", run.ok},
                {"outcome", run.outcome},
                {"seconds", Finite(run.seconds)},
                {"device_path", run.device_path},
                {"adapter_serial", run.has_adapter_serial ? Json(run.adapter_serial) : Json(nullptr)},
                {"stopped_during_upload", run.stopped_during_upload},
                {"attempt_reasons", run.attempt_reasons},
                {"serial", run.serial ? Json(*run.serial) : Json(nullptr)}};
}

void from_json(const Json &json, DeviceRun &run) {
    json.at("id").get_to(run.id);
    json.at("device").get_to(run.device);
    json.at("started").get_to(run.started);
    json.at("present").get_to(run.present);
    json.at("port_failure").get_to(run.port_failure);
    json.at("ok").get_to(run.ok);
    json.at("outcome").get_to(run.outcome);
    json.at("seconds").get_to(run.seconds);
    json.at("device_path").get_to(run.device_path);
    const Json &serial = json.at("adapter_serial");
    run.has_adapter_serial = !serial.is_null();
    run.adapter_serial = run.has_adapter_serial ? serial.get<std::string>() : "";
    // A journal written before these fields existed still reads: none
    // of its attempts was told, and no serial number was given.
    if (json.contains("attempt_reasons")) json.at("attempt_reasons").get_to(run.attempt_reasons);
    const auto device_serial = json.find("serial");
    run.serial = device_serial == json.end() || device_serial->is_null()
                     ? std::nullopt
                     : std::optional<std::string>(device_serial->get<std::string>());
    json.at("stopped_during_upload").get_to(run.stopped_during_upload);
}

void to_json(Json &json, const StationFacts &facts) {
    json = Json{{"station", facts.station},
                {"map_sha256", facts.map_sha256},
                {"map_records", facts.map_records},
                {"map_bytes", facts.map_bytes}};
}

void from_json(const Json &json, StationFacts &facts) {
    json.at("station").get_to(facts.station);
    json.at("map_sha256").get_to(facts.map_sha256);
    json.at("map_records").get_to(facts.map_records);
    json.at("map_bytes").get_to(facts.map_bytes);
}

void to_json(Json &json, const StationEvent &event) {
    json = Json{{"version", kStationChannelVersion},
                {"kind", kEventNames[static_cast<int>(event.kind)]},
                {"port", event.port},
                {"device", event.run.device}};
    if (HasText(event.kind)) json["text"] = event.text;
    if (event.kind == EventKind::kProgress) {
        json["progress"] = event.progress;
        json["bytes_per_second"] = Finite(event.bytes_per_second);
    }
    if (event.kind == EventKind::kFinished) json["run"] = event.run;
}

void from_json(const Json &json, StationEvent &event) {
    CheckVersion(json);
    event = StationEvent{};
    event.kind = static_cast<EventKind>(IndexOf(kEventNames, json.at("kind")));
    json.at("port").get_to(event.port);
    if (event.kind == EventKind::kFinished) json.at("run").get_to(event.run);
    json.at("device").get_to(event.run.device);
    if (HasText(event.kind)) json.at("text").get_to(event.text);
    if (event.kind == EventKind::kProgress) {
        json.at("progress").get_to(event.progress);
        json.at("bytes_per_second").get_to(event.bytes_per_second);
    }
}

void to_json(Json &json, const PortWorkerSetup &setup) {
    json = Json{{"version", kStationChannelVersion},
                {"index", setup.index},
                {"port", setup.port},
                {"fixture", setup.fixture},
                {"folder", setup.folder},
                {"once", setup.once},
                {"wait_s", Finite(setup.wait_s)},
                {"run_id", setup.run_id},
                {"first_device", setup.first_device},
                {"facts", setup.facts},
                {"retries", setup.retries},
                {"verify", setup.verify},
                {"require_serial", setup.require_serial}};
}

void from_json(const Json &json, PortWorkerSetup &setup) {
    CheckVersion(json);
    json.at("index").get_to(setup.index);
    json.at("port").get_to(setup.port);
    json.at("fixture").get_to(setup.fixture);
    json.at("folder").get_to(setup.folder);
    json.at("once").get_to(setup.once);
    json.at("wait_s").get_to(setup.wait_s);
    json.at("run_id").get_to(setup.run_id);
    json.at("first_device").get_to(setup.first_device);
    json.at("facts").get_to(setup.facts);
    json.at("retries").get_to(setup.retries);
    json.at("verify").get_to(setup.verify);
    json.at("require_serial").get_to(setup.require_serial);
}

std::string EncodeEvent(const StationEvent &event) { return JsonText(Json(event)) + "\n"; }

bool DecodeEvent(const std::string &line, StationEvent *event) { return DecodeLine(line, event); }

std::string EncodeSetup(const PortWorkerSetup &setup) { return JsonText(Json(setup)) + "\n"; }

bool DecodeSetup(const std::string &line, PortWorkerSetup *setup) { return DecodeLine(line, setup); }
