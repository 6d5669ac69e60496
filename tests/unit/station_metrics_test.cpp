// /metrics without a server: label values escaped as the format wants, the
// families a scraper reads, and counters that go on from the record file.
#include <gtest/gtest.h>

#include <string>

#include "station_metrics.h"
#include "test_support.h"

namespace {

using testing_support::TempDir;
using testing_support::WriteFile;

TEST(StationMetrics, LabelValuesAreEscapedAndKeptUtf8) {
    const struct {
        const char *value;
        const char *written;
    } kCases[] = {
        {"line 7", "line 7"},
        {"a\\b", "a\\\\b"},
        {"say \"hi\"", "say \\\"hi\\\""},
        {"two\nlines", "two\\nlines"},
        {"tab\tand\rcr", "tab\tand\rcr"},             // only the three are escaped
        {"Linie-\xc3\xa9", "Linie-\xc3\xa9"},         // UTF-8 as it came
        {"bad\xff", "bad\xef\xbf\xbd"},               // not UTF-8: U+FFFD
        {"cut\xc3", "cut\xef\xbf\xbd"},               // a sequence cut short
        {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // a surrogate
    };
    for (const auto &c : kCases) EXPECT_EQ(MetricsLabelValue(c.value), c.written) << c.value;
}

std::string Record(const char *fixture_field, const char *name, const char *result, const char *seconds,
                   const char *reason = "null") {
    return std::string("{\"id\":\"x\",\"") + fixture_field + "\":\"" + name + "\",\"device\":1,\"result\":\"" + result +
           "\",\"reason\":" + reason + ",\"seconds\":" + seconds + "}\n";
}

TEST(StationMetrics, CountersGoOnFromTheRecordFileAndRenderEveryFamily) {
    TempDir dir;
    // "fixture" where a record has it, "port" otherwise; lines that are no
    // record, and the one still being written, count for nothing.
    WriteFile(dir.file("station.jsonl"), Record("port", "A", "ok", "1.500") + Record("fixture", "A", "failed", "61") +
                                             "{broken\n" + "\n" + Record("port", "B", "failed", "0", "\"no device\"") +
                                             Record("port", "B", "ok", "3"));
    RecordCounters counters;
    ASSERT_TRUE(ReadRecordCounters(dir.file("station.jsonl"), &counters));
    EXPECT_EQ(counters.records, 4u);
    CountRecordLine(Record("fixture", "B\\\"\\n", "ok", "2.250"), &counters);  // appended after the start
    EXPECT_EQ(counters.records, 5u);
    EXPECT_FALSE(ReadRecordCounters(dir.path(), &counters));  // a folder is no file
    RecordCounters none;
    EXPECT_TRUE(ReadRecordCounters(dir.file("missing.jsonl"), &none));
    EXPECT_EQ(none.records, 0u);

    WriteFile(dir.file("hooks.log"), "t1 hook for device 1 on A exited with status 3\n  | out\n  | more\nt2 hook ...\n");
    MetricsSnapshot s;
    s.station = "L\"7";
    s.version = "1.0";
    s.map_sha256 = "ab";
    s.map_records = 2;
    s.map_bytes = 515;
    s.states = {"waiting", "uploading"};
    s.fixtures = {{"A", "uploading"}, {"C", "waiting"}};
    s.counters = counters;
    s.hook_failures = CountHookLogFailures(dir.file("hooks.log"));
    s.broker = {true, "down", {"connected", "down"}, 7};
    const std::string text = RenderMetrics(s);
    for (const char *line : {
             "# TYPE pardulo_devices_total counter\n",
             "pardulo_devices_total{station=\"L\\\"7\",fixture=\"A\",result=\"failed\"} 1\n",
             "pardulo_devices_total{station=\"L\\\"7\",fixture=\"A\",result=\"ok\"} 1\n",
             "pardulo_devices_total{station=\"L\\\"7\",fixture=\"C\",result=\"ok\"} 0\n",  // before its first device
             "pardulo_devices_total{station=\"L\\\"7\",fixture=\"B\\\"\\n\",result=\"ok\"} 1\n",
             "# TYPE pardulo_upload_seconds histogram\n",
             "pardulo_upload_seconds_bucket{station=\"L\\\"7\",fixture=\"A\",le=\"2\"} 1\n",
             "pardulo_upload_seconds_bucket{station=\"L\\\"7\",fixture=\"A\",le=\"60\"} 1\n",
             "pardulo_upload_seconds_bucket{station=\"L\\\"7\",fixture=\"A\",le=\"120\"} 2\n",
             "pardulo_upload_seconds_bucket{station=\"L\\\"7\",fixture=\"A\",le=\"+Inf\"} 2\n",
             "pardulo_upload_seconds_sum{station=\"L\\\"7\",fixture=\"A\"} 62.500\n",
             "pardulo_upload_seconds_count{station=\"L\\\"7\",fixture=\"B\"} 1\n",  // "no device" has no upload
             "pardulo_fixture_state{station=\"L\\\"7\",fixture=\"A\",state=\"uploading\"} 1\n",
             "pardulo_fixture_state{station=\"L\\\"7\",fixture=\"A\",state=\"waiting\"} 0\n",
             "pardulo_records_written_total{station=\"L\\\"7\"} 5\n",
             "pardulo_hook_failures_total{station=\"L\\\"7\"} 2\n",
             "pardulo_map_info{station=\"L\\\"7\",sha256=\"ab\",records=\"2\",bytes=\"515\"} 1\n",
             "pardulo_mqtt_state{station=\"L\\\"7\",state=\"down\"} 1\n",
             "pardulo_mqtt_records_waiting{station=\"L\\\"7\"} 7\n",
             "# HELP pardulo_build_info ",
             "pardulo_build_info{version=\"1.0\"} 1\n",
         }) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
    }
}

}  // namespace
