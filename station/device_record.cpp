#include "device_record.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <random>

#include "station_json.h"

namespace {

std::string Number(double value, const char *format) {
    char text[64];
    snprintf(text, sizeof text, format, value);
    return text;
}

const char *ReasonOfFailure(UploadFailure failure) {
    switch (failure) {
        case UploadFailure::kNone: return "";
        case UploadFailure::kMapUnreadable:
        case UploadFailure::kMapFraming: return "map error";
        case UploadFailure::kNoPort:
        case UploadFailure::kSendError:
        case UploadFailure::kExitNotSent: return "link error";
        case UploadFailure::kNoAnswer: return "no answer";
        case UploadFailure::kRefused: return "refused";  // with the answer, see FailureReason
        case UploadFailure::kDeviceGone: return "device gone";
        case UploadFailure::kInterrupted: return "interrupted";
        case UploadFailure::kReadBackDiffers:
        case UploadFailure::kReadBackShort: return "read back";  // with the bytes, see FailureReason
    }
    return "link error";
}

}  // namespace

std::string RecordResult(const DeviceRun &run) {
    if (run.ok) return "ok";
    return run.stopped_during_upload ? "interrupted" : "failed";
}

std::string NewRunId() {
    // Two draws of 32 bits; the clock mixed in guards against a
    // random_device that is deterministic on some platform's runtime.
    std::random_device random;
    const uint64_t draws = (static_cast<uint64_t>(random()) << 32) ^ static_cast<uint64_t>(random());
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    const uint64_t clock = static_cast<uint64_t>(now.tv_sec) * 1000000000ULL + static_cast<uint64_t>(now.tv_nsec);
    char text[17];
    snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(draws ^ (clock * 0x9E3779B97F4A7C15ULL)));
    return text;
}

std::string RecordId(const std::string &run_id, int port, uint32_t device) {
    return run_id + "-" + std::to_string(port) + "-" + std::to_string(device);
}

std::string FailureReason(const DeviceRun &run) {
    if (run.stopped_during_upload) return "station stopped during the upload";
    // A port that does not open is told apart from one where nothing answers.
    if (!run.present) return run.port_failure.empty() ? "no device" : "no port: " + run.port_failure;
    if (run.ok) return "";
    const UploadFailure failure = run.outcome.failure;
    if (failure == UploadFailure::kRefused) {
        char text[32];
        snprintf(text, sizeof text, "refused: answer 0x%02x", static_cast<unsigned>(run.outcome.answer));
        return text;
    }
    if (failure == UploadFailure::kReadBackDiffers) return "read back differs at byte " + std::to_string(run.outcome.read_back_at);
    if (failure == UploadFailure::kReadBackShort) {
        return "read back " + std::to_string(run.outcome.read_back_at) + " of " + std::to_string(run.outcome.read_back_of) +
               " bytes";
    }
    // Not ok although nothing was noted: the upload's result decides.
    if (failure == UploadFailure::kNone) return "link error";
    return ReasonOfFailure(failure);
}

std::string FormatRecordLine(const std::string &time, const StationFacts &facts, const std::string &port,
                             const std::string &fixture, const DeviceRun &run) {
    const std::string reason = FailureReason(run);
    const int block = run.outcome.failed_block;
    Json record;
    record["id"] = run.id;
    record["time"] = time;
    record["started"] = run.started.empty() ? Json(nullptr) : Json(run.started);
    record["station"] = facts.station;
    record["port"] = port;
    record["fixture"] = fixture;
    record["device_path"] = run.device_path.empty() ? Json(nullptr) : Json(run.device_path);
    record["adapter_serial"] = run.has_adapter_serial ? Json(run.adapter_serial) : Json(nullptr);
    record["device"] = run.device;
    record["map_sha256"] = facts.map_sha256;
    record["map_records"] = facts.map_records;
    record["map_bytes"] = facts.map_bytes;
    record["records_accepted"] = run.present ? run.outcome.records_accepted : 0;
    record["result"] = RecordResult(run);
    record["failed_block"] = run.present && !run.ok && block >= 0 ? Json(block) : Json(nullptr);
    record["reason"] = reason.empty() ? Json(nullptr) : Json(reason);
    record["serial"] = run.serial ? Json(*run.serial) : Json(nullptr);
    record["attempts"] = run.attempt_reasons.size();
    Json reasons = Json::array();
    for (const std::string &attempt : run.attempt_reasons) reasons.push_back(attempt.empty() ? Json(nullptr) : Json(attempt));
    record["attempt_reasons"] = reasons;
    // The seconds keep their three decimals ("2.230"), as line tooling
    // reads them; the library would write the shortest form ("2.23"). They
    // go last, after the library's closing brace is taken off.
    std::string line = JsonText(record);
    line.pop_back();
    const double seconds = std::isfinite(run.seconds) ? run.seconds : 0.0;
    return line + ",\"seconds\":" + Number(seconds, "%.3f") + "}\n";
}

std::string FormatResultLine(const std::string &port, const DeviceRun &run) {
    const std::string reason = FailureReason(run);
    return port + " " + std::to_string(run.device) + " " + RecordResult(run) + " " + Number(run.seconds, "%.1f") +
           " " + (reason.empty() ? "-" : reason) + "\n";
}

std::string UtcTimestamp() {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm utc {};
    gmtime_r(&now.tv_sec, &utc);
    char text[40];
    const size_t length = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    snprintf(text + length, sizeof text - length, ".%03ldZ", now.tv_nsec / 1000000L);
    return text;
}
