// The records on a factory's MQTT broker (--mqtt), for the systems that
// follow every line at once. Every record line goes to PREFIX/records (QoS
// 1, in record order) and the station's status to PREFIX/status (retained,
// at most once a second; the broker's last will sets it to
// {"state": "offline"}). Nothing is lost: the record file is the outbox.
// The id of the last record the broker acknowledged is kept in a small file
// in the station's folder, and after an outage, a lost connection or a
// restart every record after it is sent again, in order; a record may so
// come twice, never not at all (with no id kept yet, the whole record file
// goes out). Flashing never waits for the broker: the publisher runs on a
// thread of its own and the station only tells it that a line was appended.
// Linux only (libmosquitto); Windows builds refuse --mqtt.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct PublisherSettings {
    std::string url;            // mqtt://HOST[:PORT] (1883), mqtts://HOST[:PORT] (8883); [ADDR] for IPv6
    std::string ca_file;        // mqtts: the CA certificates (PEM); "" for the system's
    std::string username;       // "" for none
    std::string password_file;  // its first line is the password; "" for none
    std::string topic_prefix;   // "" for pardulo/<the station's name, TopicSafe>
    std::string client_id;      // "" for one the library makes up
    std::string station;        // the station's name
    std::string record_path;    // the record file
    std::string acked_path;     // the id of the last record acknowledged, e.g. DIR/mqtt-acked.json
};

enum class BrokerState { kConnecting, kConnected, kDown };
const char *BrokerStateName(BrokerState state);  // "connecting", "connected", "down"

// What the board and the page show of the broker.
struct PublisherSnapshot {
    BrokerState state = BrokerState::kConnecting;
    std::string reason;      // why it is down ("Connection refused", ...), "" otherwise
    uint64_t waiting = 0;    // records not yet acknowledged
    uint64_t delivered = 0;  // records acknowledged since the start
};

// A name as one level of a topic: "+", "#" and "/" (which a topic level
// cannot hold or which would split it), NUL and the other control
// characters and bytes that are not UTF-8 each become "_"; "" becomes
// "station".
std::string TopicSafe(const std::string &name);

class RecordPublisher {
public:
    // Checks the settings (the URL, the password file, the topics) and
    // starts the thread, which connects and goes on trying; nullptr with the
    // reason in error. status_json gives the status to publish (called on
    // the publisher's thread; may be empty, then only the state is sent).
    static std::unique_ptr<RecordPublisher> Start(PublisherSettings settings,
                                                  std::function<std::string()> status_json, std::string *error);
    // Tells the broker the station is offline and ends, within 2 seconds.
    ~RecordPublisher();
    RecordPublisher(const RecordPublisher &) = delete;
    RecordPublisher &operator=(const RecordPublisher &) = delete;

    // A record line is on disk; returns at once.
    void RecordAppended();
    // The status changed; returns at once.
    void StatusChanged();
    PublisherSnapshot Snapshot() const;

    struct Impl;

private:
    RecordPublisher();
    std::unique_ptr<Impl> impl_;
};
