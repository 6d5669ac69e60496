#include "station_metrics.h"

#include <cmath>
#include <cstdio>

#include "record_lines.h"
#include "station_json.h"

const char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

namespace {

const char *const kResults[] = {"ok", "failed"};  // shown for every fixture, at 0 before the first

// The length of the UTF-8 sequence at text[at], 0 when it is none.
std::size_t Utf8Length(const std::string &text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    std::size_t length = lead >= 0xf0 && lead <= 0xf4 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc2 && lead < 0xe0 ? 2 : 0;
    if (length == 0 || lead > 0xf4 || at + length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xc0) != 0x80) return 0;
    }
    // Overlong forms, surrogates and code points beyond U+10FFFF.
    const unsigned char second = byte(at + 1);
    if ((lead == 0xe0 && second < 0xa0) || (lead == 0xed && second >= 0xa0) || (lead == 0xf0 && second < 0x90) ||
        (lead == 0xf4 && second >= 0x90)) {
        return 0;
    }
    return length;
}

std::string Number(double value) {
    char text[40];
    snprintf(text, sizeof text, "%.3f", std::isfinite(value) ? value : 0.0);
    return text;
}

std::string Bound(double value) {
    char text[40];
    snprintf(text, sizeof text, "%g", value);
    return text;
}

void Family(std::string *out, const char *name, const char *type, const char *help) {
    *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

// NAME{station="...",LABELS} VALUE; labels is the rest, already written.
void Sample(std::string *out, const std::string &name, const std::string &labels, const std::string &value) {
    *out += name + "{" + labels + "} " + value + "\n";
}

std::string Label(const char *name, const std::string &value) {
    return std::string(name) + "=\"" + MetricsLabelValue(value) + "\"";
}

bool HasUploadTime(const Json &record) {
    const std::string reason = record.value("reason", Json()).is_string() ? record["reason"].get<std::string>() : "";
    return reason != "no device" && reason.rfind("no port", 0) != 0;
}

void RenderDevices(std::string *out, const MetricsSnapshot &s, const std::string &station) {
    Family(out, "pardulo_devices_total", "counter", "Devices recorded, by fixture and result.");
    std::map<std::string, FixtureCounters> fixtures = s.counters.fixtures;
    for (const MetricsFixture &fixture : s.fixtures) fixtures[fixture.name];  // at 0 before its first device
    for (const auto &[name, counters] : fixtures) {
        std::map<std::string, uint64_t> results = counters.results;
        for (const char *result : kResults) results[result];
        for (const auto &[result, count] : results) {
            Sample(out, "pardulo_devices_total", station + "," + Label("fixture", name) + "," + Label("result", result),
                   std::to_string(count));
        }
    }
    Family(out, "pardulo_upload_seconds", "histogram", "Upload durations, by fixture.");
    for (const auto &[name, counters] : fixtures) {
        const std::string labels = station + "," + Label("fixture", name);
        uint64_t below = 0;
        for (std::size_t i = 0; i <= kUploadBucketsS.size(); ++i) {
            below += counters.buckets[i];
            const std::string le = i < kUploadBucketsS.size() ? Bound(kUploadBucketsS[i]) : "+Inf";
            Sample(out, "pardulo_upload_seconds_bucket", labels + "," + Label("le", le), std::to_string(below));
        }
        Sample(out, "pardulo_upload_seconds_sum", labels, Number(counters.seconds_sum));
        Sample(out, "pardulo_upload_seconds_count", labels, std::to_string(counters.uploads));
    }
}

}  // namespace

std::string MetricsLabelValue(const std::string &value) {
    std::string out;
    for (std::size_t at = 0; at < value.size();) {
        const std::size_t length = Utf8Length(value, at);
        if (length == 0) {
            out += "\xef\xbf\xbd";
            ++at;
            continue;
        }
        const char c = value[at];
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out.append(value, at, length);
        at += length;
    }
    return out;
}

void CountRecordLine(const std::string &line, RecordCounters *counters) {
    const Json record = Json::parse(line, nullptr, false);
    if (!record.is_object()) return;
    const Json fixture = record.value("fixture", Json());
    const Json port = record.value("port", Json());
    const Json name = fixture.is_string() ? fixture : port;
    const Json result = record.value("result", Json());
    if (!name.is_string() || !result.is_string()) return;
    FixtureCounters &counts = counters->fixtures[name.get<std::string>()];
    ++counters->records;
    ++counts.results[result.get<std::string>()];
    const Json seconds = record.value("seconds", Json());
    if (!seconds.is_number() || !HasUploadTime(record)) return;
    const double s = seconds.get<double>();
    if (!std::isfinite(s) || s < 0) return;
    std::size_t bucket = 0;
    while (bucket < kUploadBucketsS.size() && s > kUploadBucketsS[bucket]) ++bucket;
    ++counts.buckets[bucket];
    counts.seconds_sum += s;
    ++counts.uploads;
}

bool ReadRecordCounters(const std::string &path, RecordCounters *counters) {
    return ReadRecordLines(path, 0, [counters](const std::string &line, uint64_t) {
        CountRecordLine(line, counters);
        return true;
    });
}

uint64_t CountHookLogFailures(const std::string &path) {
    uint64_t failures = 0;
    ReadRecordLines(path, 0, [&failures](const std::string &line, uint64_t) {
        if (!line.empty() && line.rfind("  |", 0) != 0) ++failures;
        return true;
    });
    return failures;
}

std::string RenderMetrics(const MetricsSnapshot &s) {
    std::string out;
    const std::string station = Label("station", s.station);
    RenderDevices(&out, s, station);
    Family(&out, "pardulo_fixture_state", "gauge", "1 for the state the fixture is in, 0 for the others.");
    for (const MetricsFixture &fixture : s.fixtures) {
        for (const std::string &state : s.states) {
            Sample(&out, "pardulo_fixture_state", station + "," + Label("fixture", fixture.name) + "," +
                   Label("state", state), state == fixture.state ? "1" : "0");
        }
    }
    Family(&out, "pardulo_records_written_total", "counter", "Record lines in the record file.");
    Sample(&out, "pardulo_records_written_total", station, std::to_string(s.counters.records));
    Family(&out, "pardulo_hook_failures_total", "counter", "Record hooks that failed or were killed.");
    Sample(&out, "pardulo_hook_failures_total", station, std::to_string(s.hook_failures));
    if (s.broker.present) {
        Family(&out, "pardulo_mqtt_state", "gauge", "1 for the state of the records' broker, 0 for the others.");
        for (const std::string &state : s.broker.states) {
            Sample(&out, "pardulo_mqtt_state", station + "," + Label("state", state), state == s.broker.state ? "1" : "0");
        }
        Family(&out, "pardulo_mqtt_records_waiting", "gauge", "Records the broker has not acknowledged yet.");
        Sample(&out, "pardulo_mqtt_records_waiting", station, std::to_string(s.broker.waiting));
    }
    Family(&out, "pardulo_map_info", "gauge", "The map the station flashes.");
    Sample(&out, "pardulo_map_info", station + "," + Label("sha256", s.map_sha256) + "," +
           Label("records", std::to_string(s.map_records)) + "," + Label("bytes", std::to_string(s.map_bytes)), "1");
    Family(&out, "pardulo_build_info", "gauge", "The station's program version.");
    out += "pardulo_build_info{" + Label("version", s.version) + "} 1\n";
    return out;
}
