#include "station_http.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "file_handles.h"
#include "platform_time.h"
#include "station_feed.h"
#include "station_http_platform.h"
#include "globals.h"
#include "station_json.h"
#include "station_metrics.h"
#include "station_status.h"

extern const char kStationPage[];  // station_page.html, built in

namespace {

constexpr std::size_t kMaxRecordsPerAnswer = 1000;
constexpr std::size_t kMaxRecordLine = 64 * 1024;  // longer lines are no record of ours
constexpr std::size_t kMaxBody = 4096;             // a write's body is a serial number at most
// Requests never keep a connection: an idle kept connection would hold a
// server thread, and each of those polls its socket.
constexpr std::size_t kRequestsPerConnection = 1;
// Threads for the event streams at their most, and for everything else.
constexpr std::size_t kServerThreads = StationFeed::kMaxClients + 16;
// A client that takes nothing for this long in the middle of an answer is
// let go; so is one that sends no request within it.
constexpr time_t kWriteTimeoutS = 2;
constexpr time_t kReadTimeoutS = 2;
// A stream with nothing to say writes a comment this often, which finds the
// clients that have gone away.
constexpr std::chrono::milliseconds kKeepAlive(5000);
constexpr std::chrono::milliseconds kGatherEvents(100);
constexpr int kReconnectMs = 2000;  // what the page's EventSource waits before it tries again
// Connections waiting to be accepted (the build sets it for the library too,
// where the library is compiled with the program).
constexpr int kListenBacklog = CPPHTTPLIB_LISTEN_BACKLOG;

const char kJson[] = "application/json";
const char kText[] = "text/plain; charset=utf-8";


// "[ADDR:]PORT" into host and port; "[::1]:8380" for an IPv6 address.
bool SplitAddress(const std::string &text, std::string *host, int *port) {
    const std::size_t colon = text.rfind(':');
    std::string port_text = text;
    *host = "127.0.0.1";
    if (colon != std::string::npos) {
        *host = text.substr(0, colon);
        port_text = text.substr(colon + 1);
        if (host->size() >= 2 && host->front() == '[' && host->back() == ']') *host = host->substr(1, host->size() - 2);
        if (host->empty()) return false;
    }
    if (port_text.empty() || port_text.size() > 5 || port_text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *port = std::stoi(port_text);
    return *port <= 65535;
}

std::string AddressError(const std::string &host) {
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    struct addrinfo *found = nullptr;
    const int status = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (status != 0) return AddressErrorText(status);
    freeaddrinfo(found);
    return "";
}

// The record file's whole lines after the first `after`, at most
// kMaxRecordsPerAnswer, each as its object (null for a line that is not
// one). A line still being written (no line feed yet) is not counted.
// False when the file cannot be read.
bool ReadRecordsAfter(const std::string &path, std::size_t after, Json *records) {
    const FilePtr file = OpenRegularFile(path.c_str(), "rb");
    if (!file) return false;
    *records = Json::array();
    std::size_t line_number = 0;
    std::string line;
    bool too_long = false;
    char buffer[1 << 16];
    std::size_t got;
    while (records->size() < kMaxRecordsPerAnswer && (got = fread(buffer, 1, sizeof buffer, file.get())) > 0) {
        for (std::size_t at = 0; at < got && records->size() < kMaxRecordsPerAnswer;) {
            const char *end = static_cast<const char *>(memchr(buffer + at, '\n', got - at));
            const std::size_t stop = end != nullptr ? static_cast<std::size_t>(end - buffer) : got;
            if (line_number >= after && !too_long) {
                line.append(buffer + at, stop - at);
                too_long = line.size() > kMaxRecordLine;
            }
            at = stop + 1;
            if (end == nullptr) break;
            if (line_number >= after) {
                Json record = too_long ? Json(nullptr) : Json::parse(line, nullptr, false);
                records->push_back(record.is_discarded() ? Json(nullptr) : std::move(record));
            }
            ++line_number;
            line.clear();
            too_long = false;
        }
    }
    return ferror(file.get()) == 0;
}

bool ParseCount(const std::string &text, std::size_t *count) {
    if (text.empty() || text.size() > 15 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *count = static_cast<std::size_t>(std::stoull(text));
    return true;
}

void NoStore(httplib::Response &res) { res.set_header("Cache-Control", "no-store"); }

std::string ErrorJson(const std::string &message) {
    Json error;
    error["error"] = message;
    return JsonText(error) + "\n";
}

// The page with the status of the moment in it, so that it is whole at
// once (and a browser that only loads it sees everything). "</" is written
// "<\/" in it, so no text of the status can end its script element.
std::string PageWithStatus(const Json &status) {
    static const std::string kMarker = "<script id=\"initial-status\" type=\"application/json\">null<";
    std::string page = kStationPage;
    std::string json = JsonText(status);
    for (std::size_t at = 0; (at = json.find("</", at)) != std::string::npos; at += 3) json.replace(at, 2, "<\\/");
    const std::size_t marker = page.find(kMarker);
    if (marker != std::string::npos) page.replace(marker + kMarker.size() - 5, 4, json);
    return page;
}

// The Authorization header's token, "" when there is none of the Bearer kind.
std::string BearerToken(const httplib::Request &req) {
    static const std::string kBearer = "Bearer ";
    const std::string header = req.get_header_value("Authorization");
    if (header.size() <= kBearer.size() || header.compare(0, kBearer.size(), kBearer) != 0) return "";
    return header.substr(kBearer.size());
}

// Compared in a time that depends on the lengths only, never on where the
// first difference lies: a client timing its tries learns nothing of the token.
bool SameToken(const std::string &given, const std::string &token) {
    const std::size_t length = std::max(given.size(), token.size());
    unsigned difference = given.size() == token.size() ? 0u : 1u;
    for (std::size_t i = 0; i < length; ++i) {
        const auto a = static_cast<unsigned char>(i < given.size() ? given[i] : 0);
        const auto b = static_cast<unsigned char>(i < token.size() ? token[i] : 0);
        difference |= static_cast<unsigned>(a ^ b);
    }
    return difference == 0;
}

// A value as one CSV field (RFC 4180): quoted when it holds a comma, a quote
// or a line end. A text that a spreadsheet would take for a formula (it
// starts with = + - @, a tab or a carriage return) gets a ' before it, which
// the spreadsheet shows as text; numbers are left as they are, since a
// negative number is no formula.
std::string CsvField(const Json &value) {
    std::string text;
    if (value.is_string()) {
        text = value.get<std::string>();
        if (!text.empty() && std::strchr("=+-@\t\r", text[0]) != nullptr) text.insert(0, "'");
    } else if (!value.is_null()) {
        text = JsonText(value);
    }
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

// The records as CSV: a header row of every field name in the order the
// records first hold them, then one row per record (a line that is no
// record has none), lines ended CRLF.
std::string RecordsCsv(const std::vector<Json> &records) {
    std::vector<std::string> names;
    for (const Json &record : records) {
        for (const auto &field : record.items()) {
            if (std::find(names.begin(), names.end(), field.key()) == names.end()) names.push_back(field.key());
        }
    }
    std::string csv;
    for (std::size_t i = 0; i < names.size(); ++i) csv += (i > 0 ? "," : "") + CsvField(Json(names[i]));
    csv += "\r\n";
    for (const Json &record : records) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            csv += (i > 0 ? "," : "") + (record.contains(names[i]) ? CsvField(record[names[i]]) : std::string());
        }
        csv += "\r\n";
    }
    return csv;
}

std::string EventText(const char *name, const Json &data) {
    return std::string("event: ") + name + "\ndata: " + JsonText(data) + "\n\n";
}

}  // namespace

bool IsSerialText(const std::string &serial) {
    if (serial.empty() || serial.size() > kMaxSerial || serial.front() == ' ' || serial.back() == ' ') return false;
    return std::all_of(serial.begin(), serial.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

struct StationHttp::Server {
    void Route();
    void RouteRefusals();
    void RouteStatus();
    void RouteRecords();
    void RouteEvents();
    void RouteCsv();
    void RouteWrites();
    // The fixture of a name (or of its index), -1 for none.
    int FixtureOf(const std::string &name) const;
    // True when the request may write; else its answer is in res.
    bool Authorized(const httplib::Request &req, httplib::Response &res) const;
    void Write(const httplib::Request &req, httplib::Response &res);
    void StreamEvents(const httplib::Request &req, httplib::Response &res);
    Json Status();
    std::string Metrics();
    // Under mutex: the event to every feed client.
    void Publish(const char *name, const Json &data) { feed.Publish(EventText(name, data)); }
    void PublishPort(int port) { Publish("port", status->PortJson(port)); }

    httplib::Server http;
    std::string url;
    std::string host;  // as bound: a wildcard serves every address
    int bound_port = 0;
    std::string record_path;
    std::thread thread;
    std::atomic<bool> listen_done{false};

    std::string token;     // "" for none: nothing can be changed
    WriteHandler on_write;

    std::mutex mutex;  // guards status; events are published under it too
    const StationStatus *status = nullptr;  // the station's, changed under mutex
    RecordCounters counters;  // the record file's, counted on with every record (under mutex)
    uint64_t hook_failures = 0;  // under mutex
    std::string hook_log;
    std::function<MetricsBroker()> broker;  // set before the threads run
    StationFeed feed;
};

StationHttp::StationHttp() : server_(std::make_unique<Server>()) {}

StationHttp::~StationHttp() { Stop(); }

const std::string &StationHttp::Url() const { return server_->url; }

std::string StationHttp::ServingUrls() const {
    if (server_->host != "0.0.0.0" && server_->host != "::") return server_->url;
    std::string urls;
    for (const std::string &address : MachineAddresses(server_->host == "::")) {
        const bool ipv6 = address.find(':') != std::string::npos;
        urls += (urls.empty() ? "" : " ") + std::string("http://") + (ipv6 ? "[" + address + "]" : address) + ":" +
                std::to_string(server_->bound_port) + "/";
    }
    return urls.empty() ? server_->url : urls;
}

std::unique_ptr<StationHttp> StationHttp::Bind(const std::string &address, std::string record_path,
                                               std::string *error) {
    std::string host;
    int port = 0;
    if (!SplitAddress(address, &host, &port)) {
        *error = "bad --http " + address + ": expected [ADDR:]PORT, PORT from 0 to 65535";
        return nullptr;
    }
    if (const std::string bad = AddressError(host); !bad.empty()) {
        *error = "cannot serve http on " + address + ": " + host + ": " + bad;
        return nullptr;
    }
    std::unique_ptr<StationHttp> web(new StationHttp());
    Server &server = *web->server_;
    server.record_path = std::move(record_path);
    socket_t listener = INVALID_SOCKET;
    server.http.set_socket_options([&listener](socket_t sock) {
        SetListenerOptions(sock);
        listener = sock;
    });
    ClearSocketError();
    const int bound =
        port == 0 ? server.http.bind_to_any_port(host) : (server.http.bind_to_port(host, port) ? port : -1);
    if (bound < 0) {
        const std::string why = SocketErrorText();
        *error = "cannot serve http on " + address + ": " + (why.empty() ? "the address cannot be bound" : why);
        return nullptr;
    }
    // Debian's compiled library listens with a backlog of 5: a line's
    // browsers and pollers that connect at once would wait a second for a
    // retry each. Listening again makes the queue longer on Linux (Windows
    // keeps the first backlog, which is this one there).
    if (listener != INVALID_SOCKET) listen(listener, kListenBacklog);
    const bool ipv6 = host.find(':') != std::string::npos;
    server.url = "http://" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(bound) + "/";
    server.host = host;
    server.bound_port = bound;
    return web;
}

void StationHttp::Start(const StationStatus &status) {
    Server &server = *server_;
    if (server.status) return;
    server.status = &status;
    // Counters go on from what the files hold, so a restart keeps them.
    ReadRecordCounters(server.record_path, &server.counters);
    if (!server.hook_log.empty()) server.hook_failures = CountHookLogFailures(server.hook_log);
    server.Route();
    server.http.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
    server.http.set_keep_alive_max_count(kRequestsPerConnection);
    server.http.set_read_timeout(kReadTimeoutS);
    server.http.set_write_timeout(kWriteTimeoutS);
    server.http.set_payload_max_length(kMaxBody);
    SetServerOptions(server.http);
    server.thread = std::thread([&server] {
        server.http.listen_after_bind();
        server.listen_done = true;
    });
}

Json StationHttp::Server::Status() {
    std::lock_guard<std::mutex> lock(mutex);
    return status->StatusJson(MonotonicNowMs());
}

std::string StationHttp::Server::Metrics() {
    MetricsSnapshot snapshot;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const Json now = status->StatusJson(MonotonicNowMs());
        for (const Json &port : now["ports"]) {
            snapshot.fixtures.push_back({port.value("port", ""), port.value("state", "")});
        }
        snapshot.counters = counters;
        snapshot.hook_failures = hook_failures;
    }
    const StationFacts &facts = status->Facts();  // never changes once serving
    snapshot.station = facts.station;
    snapshot.version = VERSION;
    snapshot.map_sha256 = facts.map_sha256;
    snapshot.map_records = facts.map_records;
    snapshot.map_bytes = facts.map_bytes;
    snapshot.states = PortStateNames();
    if (broker) snapshot.broker = broker();
    return RenderMetrics(snapshot);
}

void StationHttp::Server::Route() {
    RouteRefusals();
    RouteStatus();
    RouteRecords();
    RouteEvents();
    RouteCsv();
    RouteWrites();
}

void StationHttp::AllowWrites(std::string token, WriteHandler handler) {
    server_->token = std::move(token);
    server_->on_write = std::move(handler);
}

// GET and HEAD everywhere, POST on the write routes only and nothing else
// there; a path of none of the routes is 404, with a text.
void StationHttp::Server::RouteRefusals() {
    http.set_pre_routing_handler([](const httplib::Request &req, httplib::Response &res) {
        const bool write_route = req.path.rfind("/api/fixtures/", 0) == 0;
        if (write_route ? req.method == "POST" : req.method == "GET" || req.method == "HEAD") {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        res.status = 405;
        res.set_header("Allow", write_route ? "POST" : "GET, HEAD");
        if (write_route) {
            res.set_content(ErrorJson("method not allowed: only POST"), kJson);
        } else if (req.path.rfind("/api/", 0) == 0) {
            res.set_content(ErrorJson("method not allowed: only GET and HEAD"), kJson);
        } else {
            res.set_content("method not allowed: only GET and HEAD\n", kText);
        }
        return httplib::Server::HandlerResponse::Handled;
    });
    http.set_error_handler([](const httplib::Request &req, httplib::Response &res) {
        if (!res.body.empty()) return;
        if (res.status == 413 || req.method == "POST") {
            res.set_content(ErrorJson(res.status == 413 ? "the body is too large" : "no such route"), kJson);
            return;
        }
        res.set_content(res.status == 404 ? "not found\n" : "error\n", kText);
    });
}

void StationHttp::Server::RouteStatus() {
    http.Get("/", [this](const httplib::Request &, httplib::Response &res) {
        NoStore(res);
        res.set_content(PageWithStatus(Status()), "text/html; charset=utf-8");
    });
    http.Get("/api/status", [this](const httplib::Request &, httplib::Response &res) {
        NoStore(res);
        res.set_content(JsonText(Status()) + "\n", kJson);
    });
    http.Get("/metrics", [this](const httplib::Request &, httplib::Response &res) {
        NoStore(res);
        res.set_content(Metrics(), kMetricsContentType);
    });
}

void StationHttp::Server::RouteRecords() {
    http.Get("/api/records", [this](const httplib::Request &req, httplib::Response &res) {
        NoStore(res);
        std::size_t after = 0;
        if (req.has_param("after") && !ParseCount(req.get_param_value("after"), &after)) {
            res.status = 400;
            res.set_content(ErrorJson("after must be a count of lines: ?after=N"), kJson);
            return;
        }
        // The file is the one truth: read from it, never from what the
        // station keeps, and on a thread of the server, never the station's.
        Json records;
        if (!ReadRecordsAfter(record_path, after, &records)) {
            res.status = 500;
            res.set_content(ErrorJson("the record file cannot be read: " + record_path), kJson);
            return;
        }
        res.set_content(JsonText(records) + "\n", kJson);
    });
}

void StationHttp::Server::RouteCsv() {
    http.Get("/api/records.csv", [this](const httplib::Request &, httplib::Response &res) {
        NoStore(res);
        std::vector<Json> records;
        for (std::size_t after = 0;; after += kMaxRecordsPerAnswer) {
            Json some;
            if (!ReadRecordsAfter(record_path, after, &some)) {
                res.status = 500;
                res.set_content(ErrorJson("the record file cannot be read: " + record_path), kJson);
                return;
            }
            for (Json &record : some) {
                if (record.is_object()) records.push_back(std::move(record));
            }
            if (some.size() < kMaxRecordsPerAnswer) break;
        }
        res.set_header("Content-Disposition", "attachment; filename=\"records.csv\"");
        res.set_content(RecordsCsv(records), "text/csv; charset=utf-8");
    });
}

int StationHttp::Server::FixtureOf(const std::string &name) const {
    const std::size_t count = status->PortCount();
    for (std::size_t i = 0; i < count; ++i) {
        if (status->PortAt(static_cast<int>(i)).name == name) return static_cast<int>(i);
    }
    std::size_t index = 0;
    return ParseCount(name, &index) && index < count ? static_cast<int>(index) : -1;
}

bool StationHttp::Server::Authorized(const httplib::Request &req, httplib::Response &res) const {
    const std::string given = BearerToken(req);
    if (token.empty()) {
        res.status = 403;
        res.set_content(ErrorJson("no API token is configured (api_token_file): nothing can be changed"), kJson);
    } else if (given.empty()) {
        res.status = 401;
        res.set_header("WWW-Authenticate", "Bearer");
        res.set_content(ErrorJson("this needs Authorization: Bearer TOKEN"), kJson);
    } else if (!SameToken(given, token)) {
        res.status = 403;
        res.set_content(ErrorJson("the token is wrong"), kJson);
    } else {
        return true;
    }
    return false;
}

void StationHttp::Server::Write(const httplib::Request &req, httplib::Response &res) {
    NoStore(res);
    if (!Authorized(req, res)) return;
    WriteRequest request;
    const std::string name = req.matches[1];
    const std::string action = req.matches[2];
    request.port = FixtureOf(name);
    if (request.port < 0) {
        res.status = 404;
        res.set_content(ErrorJson("no such fixture: " + name), kJson);
        return;
    }
    request.kind = action == "serial" ? WriteRequest::Kind::kSerial
                   : action == "pause" ? WriteRequest::Kind::kPause
                                       : WriteRequest::Kind::kResume;
    if (request.kind == WriteRequest::Kind::kSerial) {
        const Json body = Json::parse(req.body, nullptr, false);
        if (!body.is_object() || !body.contains("serial") || !body["serial"].is_string() ||
            !IsSerialText(body["serial"].get<std::string>())) {
            res.status = 400;
            res.set_content(ErrorJson("the body must be {\"serial\": \"...\"}, one printable line of 1 to " +
                                      std::to_string(kMaxSerial) + " characters"),
                            kJson);
            return;
        }
        request.serial = body["serial"].get<std::string>();
    }
    const WriteAnswer answer = on_write ? on_write(request) : WriteAnswer{503, "the station takes no writes"};
    res.status = answer.status;
    Json done{{"fixture", status->PortAt(request.port).name}, {"action", action}};
    if (request.kind == WriteRequest::Kind::kSerial) done["serial"] = request.serial;
    res.set_content(answer.status == 200 ? JsonText(done) + "\n" : ErrorJson(answer.error), kJson);
}

void StationHttp::Server::RouteWrites() {
    http.Post(R"(/api/fixtures/(.+)/(serial|pause|resume))",
              [this](const httplib::Request &req, httplib::Response &res) { Write(req, res); });
}

void StationHttp::Server::RouteEvents() {
    http.Get("/api/events",
             [this](const httplib::Request &req, httplib::Response &res) { StreamEvents(req, res); });
}

void StationHttp::Server::StreamEvents(const httplib::Request &req, httplib::Response &res) {
    NoStore(res);
    if (req.method == "HEAD") {
        res.set_header("Content-Type", "text/event-stream");
        return;
    }
    StationFeed::ClientPtr client;
    {
        // The status and the joining under one lock: no event is lost
        // between the two, and none comes twice.
        std::lock_guard<std::mutex> lock(mutex);
        client = feed.Join("retry: " + std::to_string(kReconnectMs) + "\n" +
                           EventText("status", status->StatusJson(MonotonicNowMs())));
    }
    if (!client) {
        res.status = 503;
        res.set_header("Retry-After", "10");
        res.set_content("too many event clients (at most " + std::to_string(StationFeed::kMaxClients) + ")\n",
                        kText);
        return;
    }
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, client](std::size_t, httplib::DataSink &sink) {
            std::string text;
            // Events are gathered for a moment and go out in one write: a
            // busy line wakes each client a few times a second, not once per
            // port and change.
            switch (feed.Next(client, kKeepAlive, kGatherEvents, &text)) {
                case StationFeed::Take::kEvents: return sink.write(text.data(), text.size());
                case StationFeed::Take::kIdle: return sink.write(":\n\n", 3);
                case StationFeed::Take::kEnd: break;
            }
            sink.done();
            return true;
        },
        [this, client](bool) { feed.Leave(client); });
}

void StationHttp::Change(int port, Tell tell, const std::function<bool()> &change) {
    Server &server = *server_;
    if (!server.status) {
        change();
        return;
    }
    std::lock_guard<std::mutex> lock(server.mutex);
    if (!change()) return;
    if (tell == Tell::kTotals) {
        server.Publish("totals", server.status->TotalsJson(MonotonicNowMs()));
        return;
    }
    if (tell == Tell::kEveryPort) {
        for (std::size_t i = 0; i < server.status->PortCount(); ++i) server.PublishPort(static_cast<int>(i));
        return;
    }
    if (tell == Tell::kRecord) {
        server.Publish("record", server.status->LastRecord());
        server.Publish("totals", server.status->TotalsJson(MonotonicNowMs()));
    }
    server.PublishPort(port);
}

void StationHttp::OnRecordWritten(const std::string &record_line) {
    std::lock_guard<std::mutex> lock(server_->mutex);
    CountRecordLine(record_line, &server_->counters);
}

void StationHttp::SetBrokerMetrics(std::function<MetricsBroker()> broker) { server_->broker = std::move(broker); }

void StationHttp::SetHookLog(std::string hook_log_path) { server_->hook_log = std::move(hook_log_path); }

void StationHttp::OnHookFailure() {
    std::lock_guard<std::mutex> lock(server_->mutex);
    ++server_->hook_failures;
}

void StationHttp::Stop() {
    Server &server = *server_;
    server.feed.Close();
    if (!server.thread.joinable()) return;
    // The server may not have begun to listen yet; it can only be stopped
    // once it has.
    while (!server.http.is_running() && !server.listen_done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    server.http.stop();
    server.thread.join();
}
