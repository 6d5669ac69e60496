#include "record_publisher.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>

#include "record_lines.h"
#include "station_json.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kWindow = 20;           // records sent and not yet acknowledged, at most
constexpr int kKeepAliveS = 10;
constexpr int kLoopMs = 100;          // a new record waits at most this long to be seen
constexpr milliseconds kStatusEvery(1000);
constexpr milliseconds kRecheckFile(1000);
constexpr milliseconds kConnackWithin(15000);
constexpr milliseconds kRetryFirst(500), kRetryMost(5000);
constexpr milliseconds kOfflineWithin(1000);  // the farewell's wait for its acknowledgement
const char kOffline[] = "{\"state\": \"offline\"}";

struct ClientDeleter {
    void operator()(mosquitto *client) const { mosquitto_destroy(client); }
};
using ClientPtr = std::unique_ptr<mosquitto, ClientDeleter>;

// A record on its way: its mid, its id and the end of its line in the file.
struct InFlight {
    int mid = 0;
    std::string id;
    uint64_t end = 0;
    bool acked = false;
};

std::string ErrorText(int rc, int saved_errno) {
    return rc == MOSQ_ERR_ERRNO ? std::string(strerror(saved_errno)) : std::string(mosquitto_strerror(rc));
}

std::string IdOf(const std::string &line) {
    const Json record = Json::parse(line, nullptr, false);
    return record.is_object() && record.value("id", Json()).is_string() ? record["id"].get<std::string>() : "";
}

// "mqtt://HOST[:PORT]" or "mqtts://..."; false for anything else.
bool ParseUrl(const std::string &url, std::string *host, int *port, bool *tls) {
    const std::string plain = "mqtt://", secure = "mqtts://";
    *tls = url.rfind(secure, 0) == 0;
    if (!*tls && url.rfind(plain, 0) != 0) return false;
    std::string rest = url.substr(*tls ? secure.size() : plain.size());
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    std::string port_text;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos) return false;
        *host = rest.substr(1, close - 1);
        rest = rest.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') return false;
        port_text = rest.empty() ? "" : rest.substr(1);
    } else {
        const std::size_t colon = rest.find(':');
        *host = rest.substr(0, colon);
        port_text = colon == std::string::npos ? "" : rest.substr(colon + 1);
        if (colon != std::string::npos && port_text.empty()) return false;
    }
    if (host->empty() || host->find_first_of("/@?# ") != std::string::npos) return false;
    *port = *tls ? 8883 : 1883;
    if (port_text.empty()) return true;
    if (port_text.size() > 5 || port_text.find_first_not_of("0123456789") != std::string::npos) return false;
    *port = std::stoi(port_text);
    return *port > 0 && *port <= 65535;
}

// Writes text to path whole or not at all: aside, made durable, renamed.
bool WriteAtomically(const std::string &path, const std::string &text) {
    const std::string aside = path + ".new";
    const int fd = open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    const bool closed = close(fd) == 0;
    return written && closed && rename(aside.c_str(), path.c_str()) == 0;
}

void LibraryInit() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

}  // namespace

const char *BrokerStateName(BrokerState state) {
    switch (state) {
        case BrokerState::kConnecting: return "connecting";
        case BrokerState::kConnected: return "connected";
        case BrokerState::kDown: return "down";
    }
    return "down";
}

std::string TopicSafe(const std::string &name) {
    std::string safe;
    for (std::size_t at = 0; at < name.size();) {
        const unsigned char c = static_cast<unsigned char>(name[at]);
        if (c < 0x80) {
            const bool bad = c < 0x20 || c == 0x7f || c == '+' || c == '#' || c == '/';
            safe += bad ? '_' : static_cast<char>(c);
            ++at;
            continue;
        }
        const std::size_t length = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : 2;
        const bool whole = at + length <= name.size() &&
                           mosquitto_validate_utf8(name.data() + at, static_cast<int>(length)) == MOSQ_ERR_SUCCESS;
        safe += whole ? name.substr(at, length) : "_";
        at += whole ? length : 1;
    }
    return safe.empty() ? "station" : safe;
}

struct RecordPublisher::Impl {
    PublisherSettings settings;
    std::function<std::string()> status_json;
    std::string host;
    int port = 0;
    bool tls = false;
    std::string password;
    std::string records_topic, status_topic;

    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<bool> appended{true};
    std::atomic<bool> status_dirty{true};
    mutable std::mutex mutex;  // guards shown
    PublisherSnapshot shown;

    // The thread's own; the library's callbacks run on it too, in Loop.
    ClientPtr client;
    bool connected = false;        // CONNACK accepted
    std::string dropped;           // why the connection must be dropped, "" while it is fine
    uint64_t acked_offset = 0;     // the end of the last line the broker acknowledged
    std::string acked_id;
    uint64_t send_offset = 0;      // the end of the last line sent
    uint64_t count_offset = 0;     // the end of the last line seen
    uint64_t unsent = 0;           // lines after send_offset up to count_offset
    uint64_t delivered = 0;
    std::deque<InFlight> in_flight;
    bool ack_dirty = false;        // acknowledgements not yet kept in the file
    int offline_mid = -1;
    bool offline_acked = false;
    Clock::time_point connect_at, retry_at, status_at, checked_at;
    milliseconds retry_delay = kRetryFirst;

    void Run();
    bool Connect();
    void Drop(std::string reason);
    void Show(BrokerState state, const std::string &reason);
    void ShowWaiting();
    void LoadAcked();
    void SaveAcked();
    void CountNew();
    void SendRecords();
    void SendStatus();
    void OnAck(int mid);
    void Farewell();
};

void RecordPublisher::Impl::Show(BrokerState state, const std::string &reason) {
    const std::lock_guard<std::mutex> lock(mutex);
    shown.state = state;
    shown.reason = reason;
}

void RecordPublisher::Impl::ShowWaiting() {
    const std::lock_guard<std::mutex> lock(mutex);
    shown.waiting = unsent + in_flight.size();
    shown.delivered = delivered;
}

// Where to go on from: the line after the acknowledged id, found again in
// the file (the offset kept beside it is for records without one). An id
// no longer in the file (a new record file) starts it from its beginning.
void RecordPublisher::Impl::LoadAcked() {
    std::ifstream file(settings.acked_path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const Json kept = Json::parse(text, nullptr, false);
    if (!kept.is_object()) return;
    const std::string id = kept.value("id", Json()).is_string() ? kept["id"].get<std::string>() : "";
    const uint64_t offset = kept.value("offset", Json()).is_number_unsigned() ? kept["offset"].get<uint64_t>() : 0;
    uint64_t found = 0;
    if (id.empty()) {
        struct stat info {};
        found = stat(settings.record_path.c_str(), &info) == 0 && static_cast<uint64_t>(info.st_size) >= offset
                    ? offset : 0;
    } else {
        ReadRecordLines(settings.record_path, 0, [&](const std::string &line, uint64_t end) {
            if (line.find(id) != std::string::npos && IdOf(line) == id) found = end;
            return true;
        });
    }
    acked_offset = send_offset = count_offset = found;
    acked_id = found > 0 ? id : "";
}

void RecordPublisher::Impl::SaveAcked() {
    Json kept;
    kept["id"] = acked_id;
    kept["offset"] = acked_offset;
    WriteAtomically(settings.acked_path, JsonText(kept) + "\n");
}

// The lines appended since the last look. A file shorter than what was seen
// is a new one: it goes out from its beginning.
void RecordPublisher::Impl::CountNew() {
    checked_at = Clock::now();
    struct stat info {};
    const uint64_t size = stat(settings.record_path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
    if (size < count_offset) {
        acked_offset = send_offset = count_offset = unsent = 0;
        acked_id.clear();
        in_flight.clear();
    }
    ReadRecordLines(settings.record_path, count_offset, [this](const std::string &, uint64_t end) {
        count_offset = end;
        ++unsent;
        return true;
    });
    ShowWaiting();
}

bool RecordPublisher::Impl::Connect() {
    const char *id = settings.client_id.empty() ? nullptr : settings.client_id.c_str();
    // A clean session: what the broker has not acknowledged is sent again
    // from the file, by this publisher, never by the library on its own.
    client.reset(mosquitto_new(id, true, this));
    if (!client) {
        Drop(std::string("cannot make an MQTT client: ") + strerror(errno));
        return false;
    }
    mosquitto *c = client.get();
    dropped.clear();  // what the last client said as it went is of no concern to this one
    mosquitto_int_option(c, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_max_inflight_messages_set(c, kWindow);
    mosquitto_connect_callback_set(c, [](mosquitto *, void *self, int rc) {
        Impl &impl = *static_cast<Impl *>(self);
        if (rc != 0) {
            impl.dropped = std::string("refused: ") + mosquitto_connack_string(rc);
            return;
        }
        impl.connected = true;
        impl.retry_delay = kRetryFirst;
        impl.status_dirty = true;
        impl.status_at = Clock::time_point();
        impl.Show(BrokerState::kConnected, "");
    });
    mosquitto_disconnect_callback_set(c, [](mosquitto *, void *self, int rc) {
        Impl &impl = *static_cast<Impl *>(self);
        if (impl.dropped.empty()) impl.dropped = rc == 0 ? "disconnected" : "connection lost";
    });
    mosquitto_publish_callback_set(c, [](mosquitto *, void *self, int mid) { static_cast<Impl *>(self)->OnAck(mid); });
    const char *user = settings.username.empty() ? nullptr : settings.username.c_str();
    const char *pass = settings.password_file.empty() ? nullptr : password.c_str();
    int rc = user != nullptr || pass != nullptr ? mosquitto_username_pw_set(c, user, pass) : MOSQ_ERR_SUCCESS;
    if (rc == MOSQ_ERR_SUCCESS && tls) {
        const char *ca_file = settings.ca_file.empty() ? nullptr : settings.ca_file.c_str();
        rc = mosquitto_tls_set(c, ca_file, ca_file == nullptr ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_will_set(c, status_topic.c_str(), static_cast<int>(strlen(kOffline)), kOffline, 1, true);
    }
    Show(BrokerState::kConnecting, "");
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_connect_async(c, host.c_str(), port, kKeepAliveS);
    if (rc != MOSQ_ERR_SUCCESS) {
        Drop(ErrorText(rc, errno));
        return false;
    }
    connect_at = Clock::now();
    return true;
}

// Ends the connection: what was in flight goes out again on the next one.
void RecordPublisher::Impl::Drop(std::string reason) {
    client.reset();
    connected = false;
    dropped.clear();
    send_offset = acked_offset;
    unsent += in_flight.size();
    in_flight.clear();
    status_dirty = true;
    retry_at = Clock::now() + retry_delay;
    retry_delay = std::min(retry_delay * 2, kRetryMost);
    Show(BrokerState::kDown, reason);
    ShowWaiting();
}

void RecordPublisher::Impl::SendRecords() {
    if (unsent == 0 || in_flight.size() >= static_cast<std::size_t>(kWindow)) return;
    ReadRecordLines(settings.record_path, send_offset, [this](const std::string &line, uint64_t end) {
        if (end > count_offset || in_flight.size() >= static_cast<std::size_t>(kWindow)) return false;
        InFlight sent;
        sent.end = end;
        if (line.empty()) {
            sent.acked = true;  // nothing to send: no record (or one too long to be one)
        } else {
            sent.id = IdOf(line);
            const int rc = mosquitto_publish(client.get(), &sent.mid, records_topic.c_str(),
                                             static_cast<int>(line.size()), line.data(), 1, false);
            if (rc != MOSQ_ERR_SUCCESS) {
                dropped = ErrorText(rc, errno);
                return false;
            }
        }
        in_flight.push_back(std::move(sent));
        send_offset = end;
        --unsent;
        return true;
    });
    OnAck(-1);  // lines that had nothing to send count as acknowledged at once
}

// A PUBACK (mid -1: none, only lines that had nothing to send). What is
// acknowledged in a row from the oldest on is done with; the file keeps it
// after the library's loop has handed over all that came.
void RecordPublisher::Impl::OnAck(int mid) {
    if (mid > 0 && mid == offline_mid) offline_acked = true;
    for (InFlight &sent : in_flight) {
        if (mid > 0 && sent.mid == mid && !sent.acked) {
            sent.acked = true;
            break;
        }
    }
    bool moved = false;
    while (!in_flight.empty() && in_flight.front().acked) {
        acked_offset = in_flight.front().end;
        acked_id = in_flight.front().id;
        if (in_flight.front().mid > 0) ++delivered;
        in_flight.pop_front();
        moved = true;
    }
    if (!moved) return;
    ack_dirty = true;
    ShowWaiting();
}

void RecordPublisher::Impl::SendStatus() {
    if (!status_dirty || Clock::now() - status_at < kStatusEvery) return;
    status_dirty = false;  // before the status is taken: a change while it is goes out next
    const Json status = status_json ? Json::parse(status_json(), nullptr, false) : Json();
    Json online;
    online["state"] = "online";
    if (status.is_object()) {
        for (const auto &[key, value] : status.items()) {
            if (key != "state") online[key] = value;
        }
    }
    const std::string text = JsonText(online);
    const int rc = mosquitto_publish(client.get(), nullptr, status_topic.c_str(), static_cast<int>(text.size()),
                                     text.data(), 1, true);
    if (rc != MOSQ_ERR_SUCCESS) dropped = ErrorText(rc, errno);
    status_at = Clock::now();
}

void RecordPublisher::Impl::Run() {
    LoadAcked();
    CountNew();
    while (!stop) {
        // The records waiting are told while the broker is away too.
        if (appended.exchange(false) || Clock::now() - checked_at >= kRecheckFile) CountNew();
        if (!client) {
            if (Clock::now() < retry_at) {
                std::this_thread::sleep_for(milliseconds(50));
                continue;
            }
            if (!Connect()) continue;
        }
        const int rc = mosquitto_loop(client.get(), kLoopMs, 1);
        const int saved_errno = errno;
        if (rc != MOSQ_ERR_SUCCESS && dropped.empty()) dropped = ErrorText(rc, saved_errno);
        if (dropped.empty() && !connected && Clock::now() - connect_at > kConnackWithin) {
            dropped = "no answer from the broker";
        }
        if (ack_dirty) SaveAcked();
        ack_dirty = false;
        if (!dropped.empty()) {
            Drop(dropped);
            continue;
        }
        if (connected) SendRecords();
        if (connected && dropped.empty()) SendStatus();
    }
    Farewell();
}

// A station that ends tells so itself (the last will is for one that
// vanishes); the wait for the broker's word is short and bounded.
void RecordPublisher::Impl::Farewell() {
    if (client && connected) {
        int mid = 0;
        const int length = static_cast<int>(strlen(kOffline));
        if (mosquitto_publish(client.get(), &mid, status_topic.c_str(), length, kOffline, 1, true) == MOSQ_ERR_SUCCESS) {
            offline_mid = mid;
            const Clock::time_point until = Clock::now() + kOfflineWithin;
            while (!offline_acked && dropped.empty() && Clock::now() < until) {
                if (mosquitto_loop(client.get(), 50, 1) != MOSQ_ERR_SUCCESS) break;
            }
        }
        mosquitto_disconnect(client.get());
        mosquitto_loop(client.get(), 50, 1);
    }
    if (ack_dirty) SaveAcked();
    client.reset();
}

RecordPublisher::RecordPublisher() = default;

RecordPublisher::~RecordPublisher() {
    if (!impl_) return;
    impl_->stop = true;
    if (impl_->thread.joinable()) impl_->thread.join();
}

void RecordPublisher::RecordAppended() { impl_->appended = true; }

void RecordPublisher::StatusChanged() { impl_->status_dirty = true; }

PublisherSnapshot RecordPublisher::Snapshot() const {
    const std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->shown;
}

namespace {

// The password file's first line; false when it cannot be read.
bool ReadPassword(const std::string &path, std::string *password) {
    std::ifstream file(path, std::ios::binary);
    if (!file || !std::getline(file, *password)) return false;
    if (!password->empty() && password->back() == '\r') password->pop_back();
    return true;
}

bool PublishableTopic(const std::string &topic) {
    return mosquitto_pub_topic_check2(topic.c_str(), topic.size()) == MOSQ_ERR_SUCCESS &&
           mosquitto_validate_utf8(topic.c_str(), static_cast<int>(topic.size())) == MOSQ_ERR_SUCCESS;
}

}  // namespace

std::unique_ptr<RecordPublisher> RecordPublisher::Start(PublisherSettings settings,
                                                        std::function<std::string()> status_json,
                                                        std::string *error) {
    LibraryInit();
    auto impl = std::make_unique<Impl>();
    Impl &i = *impl;
    i.settings = std::move(settings);
    i.status_json = std::move(status_json);
    const PublisherSettings &s = i.settings;
    if (!ParseUrl(s.url, &i.host, &i.port, &i.tls)) {
        *error = "bad --mqtt " + s.url + ": expected mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
        return nullptr;
    }
    if (!s.ca_file.empty() && (!i.tls || !std::ifstream(s.ca_file))) {
        *error = !i.tls ? "mqtt_ca_file is for an mqtts:// broker" : "cannot read mqtt_ca_file " + s.ca_file;
        return nullptr;
    }
    if (!s.password_file.empty() && (s.username.empty() || !ReadPassword(s.password_file, &i.password))) {
        *error = s.username.empty() ? "mqtt_password_file needs mqtt_username"
                                    : "cannot read mqtt_password_file " + s.password_file + ": " + strerror(errno);
        return nullptr;
    }
    std::string prefix = s.topic_prefix.empty() ? "pardulo/" + TopicSafe(s.station) : s.topic_prefix;
    while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
    i.records_topic = prefix + "/records";
    i.status_topic = prefix + "/status";
    if (!PublishableTopic(i.records_topic)) {
        *error = "bad mqtt_topic " + prefix + ": a topic to publish to is UTF-8 without + or #";
        return nullptr;
    }
    if (i.settings.acked_path.empty()) i.settings.acked_path = i.settings.record_path + ".mqtt-acked";
    std::unique_ptr<RecordPublisher> publisher(new RecordPublisher());
    publisher->impl_ = std::move(impl);
    Impl *running = publisher->impl_.get();
    running->thread = std::thread([running] { running->Run(); });
    return publisher;
}
