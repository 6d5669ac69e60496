#include "device_record.h"

#include <cstdio>
#include <ctime>

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
    }
    return "link error";
}

}  // namespace

std::string FailureReason(const DeviceRun &run) {
    // A port that does not open is told apart from one where nothing answers.
    if (!run.present) return run.port_failure.empty() ? "no device" : "no port: " + run.port_failure;
    if (run.ok) return "";
    const UploadFailure failure = run.outcome.failure;
    if (failure == UploadFailure::kRefused) {
        char text[32];
        snprintf(text, sizeof text, "refused: answer 0x%02x", static_cast<unsigned>(run.outcome.answer));
        return text;
    }
    // Not ok although nothing was noted: the upload's result decides.
    if (failure == UploadFailure::kNone) return "link error";
    return ReasonOfFailure(failure);
}

std::string JsonString(const std::string &text) {
    std::string json = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(byte));
            json += escaped;
        } else {
            json += c;
        }
    }
    return json + "\"";
}

std::string FormatRecordLine(const std::string &time, const StationFacts &facts, const std::string &port,
                             const DeviceRun &run) {
    const std::string reason = FailureReason(run);
    const int block = run.outcome.failed_block;
    std::string line = "{\"time\":" + JsonString(time);
    line += ",\"station\":" + JsonString(facts.station);
    line += ",\"port\":" + JsonString(port);
    line += ",\"device_path\":" + (run.device_path.empty() ? "null" : JsonString(run.device_path));
    line += ",\"adapter_serial\":" + (run.has_adapter_serial ? JsonString(run.adapter_serial) : "null");
    line += ",\"device\":" + std::to_string(run.device);
    line += ",\"map_sha256\":" + JsonString(facts.map_sha256);
    line += ",\"map_records\":" + std::to_string(facts.map_records);
    line += ",\"map_bytes\":" + std::to_string(facts.map_bytes);
    line += ",\"records_accepted\":" + std::to_string(run.present ? run.outcome.records_accepted : 0);
    line += std::string(",\"result\":") + (run.ok ? "\"ok\"" : "\"failed\"");
    line += ",\"failed_block\":" + (run.present && !run.ok && block >= 0 ? std::to_string(block) : "null");
    line += ",\"reason\":" + (reason.empty() ? "null" : JsonString(reason));
    line += ",\"seconds\":" + Number(run.seconds, "%.3f");
    return line + "}\n";
}

std::string FormatResultLine(const std::string &port, const DeviceRun &run) {
    const std::string reason = FailureReason(run);
    return port + " " + std::to_string(run.device) + (run.ok ? " ok " : " failed ") + Number(run.seconds, "%.1f") +
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
