// GET /metrics: the station in Prometheus's text format (0.0.4), for a
// factory that watches its lines from one place. The counters are the
// record file's: read from it at start and counted on as lines are
// appended, so a restart of the station never sets them back. No I/O but
// the reading of the record file and the hook log; the caller gives a
// snapshot of the rest.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Upper bounds of the upload-time buckets, in seconds: uploads take seconds
// to minutes, a link that crawls up to ten of them.
constexpr std::array<double, 11> kUploadBucketsS = {1, 2, 5, 10, 20, 30, 60, 120, 300, 600, 1200};

// What the records of one fixture add up to.
struct FixtureCounters {
    std::map<std::string, uint64_t> results;  // by the record's result ("ok", "failed")
    // Uploads per bucket of kUploadBucketsS (not cumulative), the last one
    // beyond the largest bound.
    std::array<uint64_t, kUploadBucketsS.size() + 1> buckets{};
    double seconds_sum = 0;
    uint64_t uploads = 0;
};

// The counters of the record file, by fixture name.
struct RecordCounters {
    std::map<std::string, FixtureCounters> fixtures;
    uint64_t records = 0;  // record lines written (every line that is a record)
};

// Counts one record line (with or without its line feed). The fixture is
// the record's "fixture", or its "port" where it has none; a line that is
// not a record object is not counted. Only runs with a device (a "device"
// above 0 and not "no device"/"no port") have an upload time.
void CountRecordLine(const std::string &line, RecordCounters *counters);
// Counts every whole line of the record file at path (none when it is
// missing). False when it cannot be read.
bool ReadRecordCounters(const std::string &path, RecordCounters *counters);
// The hook failures the hook log at path holds (0 when it is missing): one
// entry per failure, its first line the one not indented with "  |".
uint64_t CountHookLogFailures(const std::string &path);

struct MetricsFixture {
    std::string name;
    std::string state;  // as the status JSON calls it
};

// The records' broker (--mqtt), when there is one.
struct MetricsBroker {
    bool present = false;
    std::string state;              // the present one, as the publisher names it
    std::vector<std::string> states;  // every one it can be in
    uint64_t waiting = 0;           // records not yet acknowledged
};

// Everything /metrics shows, taken at one moment.
struct MetricsSnapshot {
    std::string station;
    std::string version;
    std::string map_sha256;
    uint32_t map_records = 0;
    uint32_t map_bytes = 0;
    std::vector<std::string> states;  // every state a fixture can be in
    std::vector<MetricsFixture> fixtures;
    RecordCounters counters;
    uint64_t hook_failures = 0;
    MetricsBroker broker;
};

// The exposition text, every family with its HELP and TYPE.
std::string RenderMetrics(const MetricsSnapshot &snapshot);
// A label value as the format writes it inside its quotes: backslash,
// double quote and line feed escaped; bytes that are not UTF-8 become
// U+FFFD, since the format is UTF-8 and a scraper drops a page that is not.
std::string MetricsLabelValue(const std::string &value);
// The media type /metrics answers with.
extern const char kMetricsContentType[];
