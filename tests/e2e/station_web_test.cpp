// pardulo-station's web side (--http) against lines of simulated devices:
// the API while devices come, flash and leave, the record file as the one
// truth, what is not served, an address that cannot be served, and the page
// in a real browser (Debian's chromium, headless): as served, and kept open
// while the line goes on and the station is restarted.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "map_bytes.h"
#include "pty_helper.h"
#include "simulated_device.h"
#include "station_web_client.h"
#include "test_support.h"

namespace {

using nlohmann::json;
using testing_support::BuildPath;
using testing_support::Eventually;
using testing_support::FileExists;
using testing_support::Lines;
using testing_support::MapRecord;
using testing_support::PtyAdapterEnv;
using testing_support::ReadFile;
using testing_support::RunProgram;
using testing_support::RunResult;
using Device = testing_support::SimulatedDevice;
using testing_support::TempDir;
using testing_support::WriteFile;

class StationWeb : public ::testing::Test {
protected:
    // A map of records x 300 bytes: a second's pause after each record.
    void WriteMap(int records) {
        std::string map = "\r";
        for (int block = 1; block <= records; ++block) map += MapRecord(block, std::string(300, static_cast<char>(block)));
        WriteFile(work_.file("zebmap.map"), map);
    }

    // Starts the station with args in the background; it runs until Stop()
    // sends SIGINT (or ends by itself).
    void Start(const std::string &args) {
        const auto adapter = PtyAdapterEnv();
        const std::string line = "env " + adapter.at(0) + " " + BuildPath("pardulo-station") + " " + args +
                                 " >station.out 2>station.err </dev/null & STATION_PID=$!\n"
                                 "for i in $(seq 2400); do [ -e stop ] && break; sleep 0.05; done\n"
                                 "kill -INT $STATION_PID; wait $STATION_PID";
        runner_ = std::thread([this, line, adapter] {
            run_ = RunProgram({"/bin/bash", "-c", line}, work_.path(), {adapter.at(1)}, 180);
        });
    }

    int ServedPort() { return testing_support::ServedPort(work_.file("station.err")); }

    // SIGINT; returns the seconds the station took to end after it.
    double Stop() {
        const auto asked = std::chrono::steady_clock::now();
        WriteFile(work_.file("stop"), "");
        if (runner_.joinable()) runner_.join();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
    }

    void TearDown() override { Stop(); }

    json Get(const std::string &path, int *status = nullptr) { return testing_support::GetJson(port_, path, status); }
    json FileRecords() { return testing_support::RecordsOfFile(work_.file("station.jsonl")); }

    TempDir work_;
    TempDir devices_;
    std::thread runner_;
    RunResult run_;
    int port_ = -1;
};

TEST_F(StationWeb, TheApiFollowsTheLineAndServesTheRecordFileAndNothingElse) {
    WriteMap(2);
    // Port 0: two boards, each left in its fixture a while. Port 1: one that
    // refuses its record 2.
    Device line(devices_.file("a"), {"--devices", "2", "--linger", "1500", "--gap", "3500"});
    Device refusing(devices_.file("b"), {"--answer", "2=ko-checksum"});
    ASSERT_FALSE(line.port().empty());
    ASSERT_FALSE(refusing.port().empty());
    const int held = open(line.port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);  // see station_test
    Start("--http 127.0.0.1:0 --name 'Linie-\xc3\xa9 7' " + line.port() + " " + refusing.port());
    port_ = ServedPort();
    ASSERT_GT(port_, 0) << ReadFile(work_.file("station.err"));

    // An event client for the whole run.
    std::atomic<bool> reading{true};
    std::string events;
    std::thread reader([&] {
        httplib::Client client("127.0.0.1", port_);
        client.set_read_timeout(30);
        client.Get("/api/events", [&](const char *data, std::size_t length) {
            events.append(data, length);
            return reading.load();
        });
    });

    // The states each port shows while its devices come, flash and leave.
    std::map<std::string, std::set<std::string>> seen;
    bool percent_seen = false;
    json status;
    const bool done = Eventually([&] {
        status = Get("/api/status");
        for (const json &p : status.value("ports", json::array())) {
            seen[p["port"]].insert(p["state"].get<std::string>());
            if (p["state"] == "uploading" && p["percent"].is_number() && p["percent"] > 0) percent_seen = true;
        }
        return Lines(ReadFile(work_.file("station.jsonl"))).size() >= 3 && seen[line.port()].count("waiting") &&
               status["ports"][0]["device"].is_null() && status["ports"][0]["last"].is_object() &&
               status["ports"][0]["last"]["device"] == 2 && status["totals"]["ok"] == 2;
    }, 90);
    ASSERT_TRUE(done) << status.dump() << ReadFile(work_.file("station.err"));
    EXPECT_EQ(seen[line.port()], (std::set<std::string>{"waiting", "uploading", "remove"}));
    EXPECT_TRUE(seen[refusing.port()].count("remove"));
    EXPECT_TRUE(percent_seen);

    const json records = FileRecords();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(status["station"], "Linie-\xc3\xa9 7");  // UTF-8 as it came
    EXPECT_EQ(records[0]["station"], "Linie-\xc3\xa9 7");
    EXPECT_EQ(status["map"]["records"], 2);
    EXPECT_EQ(status["map"]["sha256"], records[0]["map_sha256"]);
    EXPECT_EQ(status["totals"]["failed"], 1);
    EXPECT_EQ(status["recent"], records);
    EXPECT_EQ(status["ports"][1]["last"]["reason"], "refused: answer 0x79");

    // /api/records reads the file: all of it, or what follows line N.
    int code = 0;
    EXPECT_EQ(Get("/api/records"), records);
    EXPECT_EQ(Get("/api/records?after=1"), json(records.begin() + 1, records.end()));
    EXPECT_EQ(Get("/api/records?after=3"), json::array());
    Get("/api/records?after=-1", &code);
    EXPECT_EQ(code, 400);
    // A line that is no record (written by hand, say) keeps its place as null.
    WriteFile(work_.file("station.jsonl"), ReadFile(work_.file("station.jsonl")) + "{broken\n");
    EXPECT_EQ(Get("/api/records?after=3"), json::array({nullptr}));

    // Nothing else is served, whatever the path; only GET and HEAD.
    for (const char *path : {"/nope", "/api/status/", "/../zebmap.map", "/%2e%2e/station.jsonl", "/api/../zebmap.map",
                             "/station.jsonl"}) {
        Get(path, &code);
        EXPECT_EQ(code, 404) << path;
    }
    httplib::Client client("127.0.0.1", port_);
    for (const auto &answer : {client.Post("/api/status"), client.Delete("/"), client.Put("/api/records"),
                               client.Options("/")}) {
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, 405);
        EXPECT_EQ(answer->get_header_value("Allow"), "GET, HEAD");
    }
    const auto head = client.Head("/");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);

    // Up to 64 event clients (the reader above among them), 503 beyond;
    // SIGINT then ends the station with all of them connected.
    std::vector<int> streams;
    std::string answer;
    for (int i = 0; i < 70; ++i) {
        const int sock = testing_support::ConnectTo(port_);
        const std::string request = "GET /api/events HTTP/1.1\r\nHost: test\r\n\r\n";
        char status_line[16] = {};
        if (sock < 0 || write(sock, request.data(), request.size()) != static_cast<ssize_t>(request.size()) ||
            read(sock, status_line, sizeof status_line - 1) <= 0) {
            if (sock >= 0) close(sock);
            break;
        }
        streams.push_back(sock);
        answer = status_line;
        if (answer.rfind("HTTP/1.1 200", 0) != 0) break;
    }
    EXPECT_EQ(answer.rfind("HTTP/1.1 503", 0), 0u) << answer;
    EXPECT_EQ(streams.size(), 64u);  // 63 streams here, the 64th refused
    const double stop_s = Stop();
    for (const int sock : streams) close(sock);
    reading = false;
    reader.join();
    if (held >= 0) close(held);
    EXPECT_EQ(run_.status, 0) << run_.err;
    EXPECT_LT(stop_s, 8) << "the station took that long to end after SIGINT";

    // The stream: the status first, then every port change and record, and
    // the ports stopped at the end.
    EXPECT_EQ(events.rfind("retry: 2000\nevent: status\ndata: {", 0), 0u) << events.substr(0, 200);
    std::size_t record_events = 0;
    for (std::size_t at = 0; (at = events.find("event: record\n", at)) != std::string::npos; ++at) ++record_events;
    EXPECT_EQ(record_events, 3u);
    EXPECT_NE(events.find("\"state\":\"uploading\""), std::string::npos);
    EXPECT_NE(events.find("\"state\":\"stopped\""), std::string::npos);
}

RunResult Chromium(const std::string &dir, const std::string &mode, const std::string &url);

// The write side: the token (none, wrong, right), the requests it refuses,
// a serial number waited for, given, recorded and refused when used again,
// a pause that holds the next board until resumed, and the CSV equal to the
// record file.
TEST_F(StationWeb, WritesNeedTheTokenAndGiveSerialNumbersPauseAndResume) {
    WriteMap(2);
    Device line(devices_.file("a"), {"--devices", "2", "--gap", "3500"});
    ASSERT_FALSE(line.port().empty());
    const int held = open(line.port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);  // see station_test
    WriteFile(work_.file("token"), "s3cret-Token\n");  // its line end is no part of it
    Start("--http 127.0.0.1:0 --api-token-file token --require-serial " + line.port());
    port_ = ServedPort();
    ASSERT_GT(port_, 0) << ReadFile(work_.file("station.err"));
    const std::string token = "s3cret-Token";
    const std::string fixture = "/api/fixtures/" + testing_support::PathPart(line.port());
    const auto post = [&](const std::string &path, const std::string &with, const std::string &body, int *status) {
        return testing_support::PostJson(port_, path, with, body, status);
    };
    struct Row {
        std::string method, path, token, body;
        int status;
    };
    const Row rows[] = {
        {"POST", fixture + "/pause", "", "", 401},
        {"POST", fixture + "/pause", "s3cret-Tokem", "", 403},
        {"POST", fixture + "/pause", token + "x", "", 403},
        {"GET", fixture + "/pause", token, "", 405},
        {"POST", "/api/status", token, "", 405},
        {"POST", "/api/fixtures/nosuch/serial", token, R"({"serial":"A"})", 404},
        {"POST", fixture + "/serial", token, "not json", 400},
        {"POST", fixture + "/serial", token, R"({"serial":7})", 400},
        {"POST", fixture + "/serial", token, R"({"serial":"two\nlines"})", 400},
        {"POST", fixture + "/serial", token, R"({"serial":")" + std::string(65, 'x') + "\"}", 400},
        {"POST", fixture + "/serial", token, std::string(100000, '{'), 413},
    };
    for (const Row &row : rows) {
        int status = 0;
        const json answer = row.method == "GET" ? Get(row.path, &status) : post(row.path, row.token, row.body, &status);
        EXPECT_EQ(status, row.status) << row.method << " " << row.path << " " << row.body.substr(0, 40);
        EXPECT_TRUE(answer.is_object() && answer["error"].is_string()) << row.path << ": " << answer.dump();
    }

    // The board waits for its serial number, and says so.
    const auto state = [&] { return Get("/api/status")["ports"][0].value("state", std::string()); };
    ASSERT_TRUE(Eventually([&] { return state() == "awaiting_serial"; }, 30)) << state();
    // The picture for docs/production.md (docs/station-serial.png): the
    // tile that asks for its serial number, with its field.
    if (FileExists("/usr/bin/chromium")) {
        TempDir profile;
        const std::string url = "http://127.0.0.1:" + std::to_string(port_) + "/";
        const RunResult dom = Chromium(profile.path(), "--dump-dom", url);
        EXPECT_NE(dom.out.find("placeholder=\"serial number (scan)\""), std::string::npos) << dom.out.substr(0, 2000);
        EXPECT_NE(dom.out.find("scan its serial number"), std::string::npos);
        const std::string picture = BuildPath("station-serial.png");
        const RunResult shot = Chromium(profile.path(), "--screenshot=" + picture, url);
        EXPECT_TRUE(FileExists(picture)) << shot.err;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(line.Stored(1), "<missing>");
    EXPECT_EQ(Get("/api/status")["ports"][0]["state"], "awaiting_serial");
    int status = 0;
    EXPECT_EQ(post(fixture + "/serial", token, R"({"serial":"SN-0042"})", &status)["serial"], "SN-0042");
    EXPECT_EQ(status, 200);
    ASSERT_TRUE(Eventually([&] { return FileRecords().size() == 1; }, 30));
    EXPECT_EQ(FileRecords()[0]["serial"], "SN-0042");
    EXPECT_EQ(FileRecords()[0]["result"], "ok");
    post(fixture + "/serial", token, R"({"serial":"SN-0042"})", &status);
    EXPECT_EQ(status, 409);

    // Paused: the next board is not taken until resumed.
    post(fixture + "/pause", token, "", &status);
    EXPECT_EQ(status, 200);
    post(fixture + "/serial", token, R"({"serial":"=SN-2"})", &status);
    EXPECT_EQ(status, 200);
    ASSERT_TRUE(Eventually([&] { return state() == "paused"; }, 30)) << state();
    EXPECT_EQ(Get("/api/status")["ports"][0]["paused"], true);
    std::this_thread::sleep_for(std::chrono::seconds(4));  // the second board has come meanwhile
    EXPECT_EQ(FileRecords().size(), 1u);
    EXPECT_EQ(state(), "paused");
    post(fixture + "/resume", token, "", &status);
    EXPECT_EQ(status, 200);
    ASSERT_TRUE(Eventually([&] { return FileRecords().size() == 2; }, 30));
    EXPECT_EQ(FileRecords()[1]["serial"], "=SN-2");

    httplib::Client client("127.0.0.1", port_);
    const auto csv = client.Get("/api/records.csv");
    ASSERT_TRUE(csv);
    EXPECT_EQ(csv->status, 200);
    EXPECT_EQ(csv->get_header_value("Content-Type"), "text/csv; charset=utf-8");
    EXPECT_EQ(testing_support::CsvDiffersFrom(csv->body, FileRecords()), "");
    EXPECT_NE(csv->body.find(",'=SN-2,"), std::string::npos) << csv->body;
    Stop();
    if (held >= 0) close(held);
    // The token never shows.
    EXPECT_EQ(run_.out.find(token) + run_.err.find(token), 2 * std::string::npos);

    // Without a token file nothing can be changed; a token file that holds
    // nothing is refused at the start.
    std::remove(work_.file("stop").c_str());
    std::remove(work_.file("station.err").c_str());
    Start("--http 127.0.0.1:0 " + work_.file("absent-port"));
    port_ = ServedPort();
    ASSERT_GT(port_, 0);
    const json refused = post("/api/fixtures/0/pause", token, "", &status);
    EXPECT_EQ(status, 403);
    EXPECT_NE(refused.value("error", std::string()).find("no API token is configured"), std::string::npos);
    Stop();
    WriteFile(work_.file("empty"), "\n");
    const RunResult empty = RunProgram({BuildPath("pardulo-station"), "--http", "127.0.0.1:0", "--api-token-file",
                                        "empty", "absent"},
                                       work_.path(), {}, 20);
    EXPECT_EQ(empty.status, 2);
    EXPECT_NE(empty.err.find("must hold one line"), std::string::npos) << empty.err;
}

TEST_F(StationWeb, AnAddressThatCannotBeServedEndsTheStationBeforeAnything) {
    WriteMap(1);
    // A port taken by this test: the station must be refused it, not share it.
    const int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    ASSERT_EQ(getsockname(taken, reinterpret_cast<sockaddr *>(&address), &size), 0);
    const std::string in_use = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));

    const std::pair<std::string, std::string> rows[] = {
        {in_use, "cannot serve http on " + in_use + ": Address already in use; nothing was flashed"},
        {"70000", "bad --http 70000: expected [ADDR:]PORT"},
        {"no-such-host.invalid:8380", "cannot serve http on no-such-host.invalid:8380: no-such-host.invalid: "},
        {"127.0.0.1:", "bad --http 127.0.0.1:"},
    };
    for (const auto &[http, message] : rows) {
        const RunResult run = RunProgram({BuildPath("pardulo-station"), "--once", "--http", http, "/dev/null"},
                                         work_.path(), {}, 30);
        EXPECT_EQ(run.status, 2) << http;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        EXPECT_FALSE(FileExists(work_.file("station.jsonl"))) << http;
        EXPECT_FALSE(FileExists(work_.file("station"))) << http;
    }
    close(taken);
}

// Runs Debian's chromium headless on url with a fresh profile in dir; mode
// is "--dump-dom" or "--screenshot=FILE". The page comes with the status of
// its moment, so what the browser shows once it has loaded is the test.
RunResult Chromium(const std::string &dir, const std::string &mode, const std::string &url) {
    return RunProgram({"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                       "--disable-background-networking", "--disable-component-update", "--disable-sync",
                       "--user-data-dir=" + dir, "--window-size=1280,760", mode, url},
                      dir, {}, 60);
}

TEST_F(StationWeb, ARealBrowserShowsEveryPortAndTotalsEqualToTheRecords) {
    ASSERT_TRUE(FileExists("/usr/bin/chromium")) << "the browser test needs Debian's chromium: scripts/install_deps.sh test";
    WriteMap(10);  // ten seconds an upload: the page meets one under way
    // Port 0 flashes its board; port 1's first board refuses a record, and
    // its second comes a little later; port 2's refuses its first record.
    Device ok(devices_.file("a"));
    Device line(devices_.file("b"), {"--devices", "2", "--gap", "2500", "--device", "1", "--answer", "2=ko-checksum"});
    Device refusing(devices_.file("c"), {"--answer", "1=ko-flash"});
    const std::vector<std::string> ports = {ok.port(), line.port(), refusing.port()};
    const int held = open(line.port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    Start("--http 127.0.0.1:0 --name 'Line 3' " + ports[0] + " " + ports[1] + " " + ports[2]);
    port_ = ServedPort();
    ASSERT_GT(port_, 0) << ReadFile(work_.file("station.err"));
    const std::string url = "http://127.0.0.1:" + std::to_string(port_) + "/";
    ASSERT_TRUE(Eventually([&] { return FileRecords().size() >= 3; }, 60));

    // The picture for docs/production.md (docs/station-web.png), while the line runs.
    TempDir profile;
    const std::string picture = BuildPath("station-web.png");
    const RunResult shot = Chromium(profile.path(), "--screenshot=" + picture, url);
    EXPECT_TRUE(FileExists(picture)) << shot.err;

    // Each tile and the totals, against the record file as it was both
    // before and after the page was read (a record in between: read again).
    std::string dom;
    json records;
    for (int attempt = 0; attempt < 5; ++attempt) {
        records = FileRecords();
        TempDir fresh;
        dom = Chromium(fresh.path(), "--dump-dom", url).out;
        if (FileRecords() == records && dom.find("<h1 id=\"station\">Line 3</h1>") != std::string::npos) break;
    }
    int ok_records = 0;
    for (const json &record : records) ok_records += record["result"] == "ok";
    for (const std::string &port : ports) {
        EXPECT_NE(dom.find("<section class=\"tile\" data-port=\"" + port + "\""), std::string::npos) << port;
    }
    EXPECT_NE(dom.find("<b id=\"ok\">" + std::to_string(ok_records) + "</b>"), std::string::npos) << dom;
    EXPECT_NE(dom.find("<b id=\"failed\">" + std::to_string(records.size() - ok_records) + "</b>"), std::string::npos);
    EXPECT_NE(dom.find("the device could not write its flash"), std::string::npos);
    EXPECT_NE(dom.find("<h1 id=\"station\">Line 3</h1>"), std::string::npos) << dom;
    Stop();
    if (held >= 0) close(held);
    EXPECT_EQ(run_.status, 0) << run_.err;
}

// Debian's chromium, headless, with the page open for as long as a test
// needs it, driven over the browser's DevTools pipe (its descriptors 3 and
// 4: JSON messages, each ended by a NUL).
class Browser {
public:
    explicit Browser(const std::string &profile) {
        int to[2], from[2];
        if (pipe2(to, O_CLOEXEC) != 0 || pipe2(from, O_CLOEXEC) != 0) return;
        // Above 4, so that putting them at 3 and 4 in the browser moves neither onto the other.
        const int theirs_in = fcntl(to[0], F_DUPFD_CLOEXEC, 10), theirs_out = fcntl(from[1], F_DUPFD_CLOEXEC, 10);
        close(to[0]);
        close(from[1]);
        to_ = to[1];
        from_ = from[0];
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, theirs_in, 3);
        posix_spawn_file_actions_adddup2(&actions, theirs_out, 4);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        const std::string profile_arg = "--user-data-dir=" + profile;
        const char *argv[] = {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                              "--disable-background-networking", "--remote-debugging-pipe", profile_arg.c_str(),
                              "about:blank", nullptr};
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, const_cast<char **>(argv), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(theirs_in);
        close(theirs_out);
    }
    ~Browser() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(to_);
        close(from_);
    }

    // Opens url in a new tab; false when the browser does not answer.
    bool Open(const std::string &url) {
        const json target = Call("Target.createTarget", {{"url", url}});
        const json attached = Call("Target.attachToTarget", {{"targetId", target.value("targetId", "")}, {"flatten", true}});
        session_ = attached.value("sessionId", "");
        return !session_.empty();
    }

    // What expression gives in the page, as text ("" for anything else).
    std::string Evaluate(const std::string &expression) {
        const json result = Call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}}, session_);
        const json value = result.contains("result") ? result["result"].value("value", json()) : json();
        return value.is_string() ? value.get<std::string>() : "";
    }

private:
    // One command and its result (null when none comes within 20 s).
    json Call(const std::string &method, const json &params, const std::string &session = "") {
        json message = {{"id", ++last_id_}, {"method", method}, {"params", params}};
        if (!session.empty()) message["sessionId"] = session;
        const std::string bytes = message.dump() + '\0';
        if (write(to_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return json();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (std::size_t end; std::chrono::steady_clock::now() < deadline;) {
            while ((end = received_.find('\0')) != std::string::npos) {
                const json answer = json::parse(received_.substr(0, end), nullptr, false);
                received_.erase(0, end + 1);
                if (answer.is_object() && answer.value("id", -1) == last_id_) return answer.value("result", json());
            }
            pollfd ready{from_, POLLIN, 0};
            char buffer[65536];
            const ssize_t got = poll(&ready, 1, 1000) > 0 ? read(from_, buffer, sizeof buffer) : 0;
            if (got < 0 || (got == 0 && (ready.revents & POLLHUP) != 0)) break;
            received_.append(buffer, static_cast<std::size_t>(got));
        }
        return json();
    }

    pid_t pid_ = -1;
    int to_ = -1, from_ = -1;
    int last_id_ = 0;
    std::string received_, session_;
};

TEST_F(StationWeb, ThePageFollowsTheLineLiveAndComesBackToARestartedStation) {
    WriteMap(2);
    // The fixture's port is a link that leads nowhere until a board comes.
    const std::string fixture = devices_.file("fixture");
    Start("--http 127.0.0.1:0 --name 'Line 3' " + fixture);
    port_ = ServedPort();
    ASSERT_GT(port_, 0) << ReadFile(work_.file("station.err"));
    TempDir profile;
    Browser browser(profile.path());
    ASSERT_TRUE(browser.Open("http://127.0.0.1:" + std::to_string(port_) + "/"));
    const auto shown = [&] {
        return browser.Evaluate("['link', 'station', 'ok'].map(id => document.getElementById(id).textContent).join('|')");
    };
    std::string page;
    EXPECT_TRUE(Eventually([&] { return (page = shown()) == "live|Line 3|0"; }, 30)) << page;

    // A board comes and is flashed: the page follows without a reload.
    {
        Device board(devices_.file("a"));
        ASSERT_EQ(symlink(board.port().c_str(), fixture.c_str()), 0);
        EXPECT_TRUE(Eventually([&] { return (page = shown()) == "live|Line 3|1"; }, 60)) << page;
        ASSERT_EQ(FileRecords().size(), 1u);
        unlink(fixture.c_str());
    }

    // The station ends and another starts on its address: the page says it
    // has lost the station, then shows the new one by itself.
    Stop();
    EXPECT_TRUE(Eventually([&] { return (page = shown()).rfind("reconnecting", 0) == 0; }, 30)) << page;
    std::remove(work_.file("stop").c_str());
    Start("--http 127.0.0.1:" + std::to_string(port_) + " --name 'Line 4' " + fixture);
    EXPECT_TRUE(Eventually([&] { return (page = shown()) == "live|Line 4|0"; }, 30)) << page;
}

}  // namespace
