// pardulo-station's /metrics against a line of simulated devices, read by
// Prometheus's own tools (Debian's prometheus package): promtool accepts
// what it serves while the line runs, and a real Prometheus scraping it on
// a loopback port counts the devices the record file holds.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <map>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "background_server.h"
#include "map_bytes.h"
#include "pty_helper.h"
#include "simulated_device.h"
#include "station_web_client.h"
#include "test_support.h"

namespace {

using nlohmann::json;
using testing_support::BuildPath;
using testing_support::Eventually;
using testing_support::Lines;
using testing_support::ReadFile;
using testing_support::RunProgram;
using testing_support::RunResult;
using testing_support::TempDir;
using testing_support::WriteFile;
using Device = testing_support::SimulatedDevice;

const char kPromtool[] = "/usr/bin/promtool";
const char kPrometheus[] = "/usr/bin/prometheus";

class StationMetrics : public ::testing::Test {
protected:
    // Two boards on port 0, one refusing its record 2 on port 1; a map of
    // two records of 300 bytes, a second's pause after each.
    void StartLine() {
        std::string map = "\r";
        for (int block = 1; block <= 2; ++block) map += testing_support::MapRecord(block, std::string(300, 'x'));
        WriteFile(work_.file("zebmap.map"), map);
        line_ = std::make_unique<Device>(devices_.file("a"), std::vector<std::string>{"--devices", "2", "--gap", "3500"});
        refusing_ = std::make_unique<Device>(devices_.file("b"), std::vector<std::string>{"--answer", "2=ko-checksum"});
        ASSERT_FALSE(line_->port().empty());
        ASSERT_FALSE(refusing_->port().empty());
        held_ = open(line_->port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);  // see station_test
        const auto adapter = testing_support::PtyAdapterEnv();
        const std::string command = "env " + adapter.at(0) + " " + BuildPath("pardulo-station") +
                                    " --http 127.0.0.1:0 --name 'L\"7' " + line_->port() + " " + refusing_->port() +
                                    " >station.out 2>station.err </dev/null & STATION_PID=$!\n"
                                    "for i in $(seq 2400); do [ -e stop ] && break; sleep 0.05; done\n"
                                    "kill -INT $STATION_PID; wait $STATION_PID";
        runner_ = std::thread([this, command, adapter] {
            run_ = RunProgram({"/bin/bash", "-c", command}, work_.path(), {adapter.at(1)}, 180);
        });
        port_ = testing_support::ServedPort(work_.file("station.err"));
        ASSERT_GT(port_, 0) << ReadFile(work_.file("station.err"));
    }

    void TearDown() override {
        WriteFile(work_.file("stop"), "");
        if (runner_.joinable()) runner_.join();
        if (held_ >= 0) close(held_);
    }

    std::string Metrics() {
        httplib::Client client("127.0.0.1", port_);
        const auto answer = client.Get("/metrics");
        return answer && answer->status == 200 ? answer->body : "";
    }

    // promtool's verdict on text: "" when it is accepted.
    std::string PromtoolProblems(const std::string &text) {
        WriteFile(work_.file("metrics.txt"), text);
        const RunResult run = RunProgram({"/bin/sh", "-c", std::string(kPromtool) + " check metrics <metrics.txt"},
                                         work_.path(), {}, 30);
        return run.status == 0 ? "" : "status " + std::to_string(run.status) + ": " + run.out + run.err;
    }

    std::size_t Records() { return Lines(ReadFile(work_.file("station.jsonl"))).size(); }

    TempDir work_;
    TempDir devices_;
    std::unique_ptr<Device> line_, refusing_;
    int held_ = -1;
    std::thread runner_;
    RunResult run_;
    int port_ = -1;
};

TEST_F(StationMetrics, PromtoolAcceptsWhatIsServedWhileTheLineRuns) {
    if (access(kPromtool, X_OK) != 0) GTEST_SKIP() << kPromtool << " is not installed (Debian's prometheus)";
    StartLine();
    std::string during;
    ASSERT_TRUE(Eventually([&] {
        during = Metrics();
        return during.find("state=\"uploading\"} 1") != std::string::npos;
    }, 60)) << during;
    EXPECT_EQ(PromtoolProblems(during), "") << during;

    std::string after;
    ASSERT_TRUE(Eventually([&] {
        after = Metrics();
        return Records() == 3 && after.find("fixture=\"" + line_->port() + "\",result=\"ok\"} 2") != std::string::npos;
    }, 90)) << after;
    EXPECT_EQ(PromtoolProblems(after), "") << after;
    EXPECT_NE(after.find("pardulo_devices_total{station=\"L\\\"7\",fixture=\"" + refusing_->port() +
                         "\",result=\"failed\"} 1"), std::string::npos) << after;
    EXPECT_NE(after.find("pardulo_records_written_total{station=\"L\\\"7\"} 3"), std::string::npos) << after;
    printf("%s", after.c_str());
}

// The answer of Prometheus's query API to query, by the label of each
// series; empty while it has none.
std::map<std::string, double> Query(int port, const std::string &query, const std::string &label) {
    httplib::Client client("127.0.0.1", port);
    const auto answer = client.Get("/api/v1/query", httplib::Params{{"query", query}}, httplib::Headers{});
    std::map<std::string, double> values;
    if (!answer || answer->status != 200) return values;
    const json body = json::parse(answer->body, nullptr, false);
    if (!body.is_object() || body.value("status", "") != "success") return values;
    for (const json &series : body["data"]["result"]) {
        values[series["metric"].value(label, "")] = std::stod(series["value"][1].get<std::string>());
    }
    return values;
}

TEST_F(StationMetrics, ARealPrometheusCountsTheDevicesOfTheRecordFile) {
    if (access(kPrometheus, X_OK) != 0) GTEST_SKIP() << kPrometheus << " is not installed";
    StartLine();
    const int prometheus_port = testing_support::FreeLoopbackPort();
    ASSERT_GT(prometheus_port, 0);
    WriteFile(work_.file("prometheus.yml"), "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: station\n"
                                            "    static_configs:\n      - targets: ['127.0.0.1:" +
                                                std::to_string(port_) + "']\n");
    testing_support::BackgroundServer prometheus;
    ASSERT_TRUE(prometheus.Start({kPrometheus, "--config.file=" + work_.file("prometheus.yml"),
                                  "--storage.tsdb.path=" + work_.file("tsdb"),
                                  "--web.listen-address=127.0.0.1:" + std::to_string(prometheus_port)},
                                 work_.file("prometheus.log")));

    ASSERT_TRUE(Eventually([&] { return Records() == 3; }, 90)) << ReadFile(work_.file("station.err"));
    std::map<std::string, double> in_file;
    for (const json &record : testing_support::RecordsOfFile(work_.file("station.jsonl"))) in_file[record["result"]] += 1;
    std::map<std::string, double> scraped;
    EXPECT_TRUE(Eventually([&] {
        scraped = Query(prometheus_port, "sum by (result) (pardulo_devices_total{job=\"station\"})", "result");
        return scraped == in_file;
    }, 60)) << "scraped ok " << scraped["ok"] << " failed " << scraped["failed"] << "\n"
            << ReadFile(work_.file("prometheus.log")).substr(0, 3000);
    EXPECT_EQ(in_file, (std::map<std::string, double>{{"ok", 2}, {"failed", 1}}));
    prometheus.Stop();
}

}  // namespace
