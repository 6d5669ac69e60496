// The records on a real broker (Debian's mosquitto on a loopback port) as a
// subscriber of the test's own, with a persistent session, gets them: in
// order, and after the broker was down and the publisher restarted while it
// was, every record still, in order (repeats allowed, and counted).
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <pwd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "background_server.h"
#include "record_publisher.h"
#include "station_web_client.h"
#include "test_support.h"

namespace {

using testing_support::BackgroundServer;
using testing_support::Eventually;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

const char kBroker[] = "/usr/sbin/mosquitto";

TEST(RecordPublisher, NamesAndSettingsThatCannotWorkAreTold) {
    EXPECT_EQ(TopicSafe("Linie 7"), "Linie 7");
    EXPECT_EQ(TopicSafe("a/b+c#d"), "a_b_c_d");
    EXPECT_EQ(TopicSafe(std::string("nul\0x\x01", 6)), "nul_x_");
    EXPECT_EQ(TopicSafe("Linie-\xc3\xa9\xff"), "Linie-\xc3\xa9_");
    EXPECT_EQ(TopicSafe(""), "station");
    const struct {
        PublisherSettings settings;
        const char *error;
    } kBad[] = {
        {{"http://127.0.0.1:1883", "", "", "", "", "", "s", "r", "a"}, "bad --mqtt http://127.0.0.1:1883"},
        {{"mqtt://127.0.0.1:99999", "", "", "", "", "", "s", "r", "a"}, "bad --mqtt"},
        {{"mqtt://", "", "", "", "", "", "s", "r", "a"}, "bad --mqtt"},
        {{"mqtt://h", "ca.pem", "", "", "", "", "s", "r", "a"}, "mqtt_ca_file is for an mqtts:// broker"},
        {{"mqtts://h", "/no/ca.pem", "", "", "", "", "s", "r", "a"}, "cannot read mqtt_ca_file /no/ca.pem"},
        {{"mqtt://h", "", "", "/no/pw", "", "", "s", "r", "a"}, "mqtt_password_file needs mqtt_username"},
        {{"mqtt://h", "", "u", "/no/pw", "", "", "s", "r", "a"}, "cannot read mqtt_password_file /no/pw"},
        {{"mqtt://h", "", "", "", "f/+/x", "", "s", "r", "a"}, "bad mqtt_topic f/+/x"},
    };
    for (const auto &c : kBad) {
        std::string error;
        EXPECT_EQ(RecordPublisher::Start(c.settings, nullptr, &error), nullptr) << c.error;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    }
}

// The test's own subscriber: a persistent session (its messages wait on the
// broker while it is away), QoS 1, the ids of the records in arrival order
// and the last status.
class Subscriber {
public:
    Subscriber(int port, const std::string &prefix) : prefix_(prefix) {
        client_ = mosquitto_new("pardulo-test-subscriber", false, this);
        mosquitto_connect_callback_set(client_, [](mosquitto *m, void *self, int rc) {
            if (rc == 0) mosquitto_subscribe(m, nullptr, (static_cast<Subscriber *>(self)->prefix_ + "/#").c_str(), 1);
        });
        mosquitto_subscribe_callback_set(client_, [](mosquitto *, void *self, int, int, const int *) {
            static_cast<Subscriber *>(self)->subscribed_ = true;
        });
        mosquitto_message_callback_set(client_, [](mosquitto *, void *self, const mosquitto_message *m) {
            static_cast<Subscriber *>(self)->Take(m);
        });
        mosquitto_reconnect_delay_set(client_, 1, 1, false);
        mosquitto_connect_async(client_, "127.0.0.1", port, 5);
        mosquitto_loop_start(client_);
    }
    ~Subscriber() {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, true);
        mosquitto_destroy(client_);
    }
    std::vector<std::string> Ids() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return ids_;
    }
    bool Subscribed() const { return subscribed_; }
    nlohmann::json Status() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return status_;
    }

private:
    void Take(const mosquitto_message *m) {
        const std::string payload(static_cast<const char *>(m->payload), static_cast<std::size_t>(m->payloadlen));
        const nlohmann::json value = nlohmann::json::parse(payload, nullptr, false);
        const std::lock_guard<std::mutex> lock(mutex_);
        if (std::string(m->topic) == prefix_ + "/status") status_ = value;
        else ids_.push_back(value.is_object() ? value.value("id", "?") : "not json: " + payload);
    }
    std::string prefix_;
    mosquitto *client_ = nullptr;
    std::mutex mutex_;
    std::vector<std::string> ids_;
    nlohmann::json status_;
    std::atomic<bool> subscribed_{false};
};

// Every expected id arrived, the first arrivals in order; the repeats.
::testing::AssertionResult AllInOrder(const std::vector<std::string> &got, int expected, int *repeats) {
    int next = 1;
    *repeats = 0;
    for (const std::string &id : got) {
        if (id == "r" + std::to_string(next)) ++next;
        else if (id.size() > 1 && id[0] == 'r' && std::stoi(id.substr(1)) < next) ++*repeats;
        else return ::testing::AssertionFailure() << "record " << id << " came where r" << next << " was due";
    }
    if (next != expected + 1) return ::testing::AssertionFailure() << "only up to r" << next - 1 << " came";
    return ::testing::AssertionSuccess();
}

class PublisherWithBroker : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(kBroker, X_OK) != 0) GTEST_SKIP() << kBroker << " is not installed";
        mosquitto_lib_init();
        port_ = testing_support::FreeLoopbackPort();
        ASSERT_GT(port_, 0);
        WriteFile(dir_.file("broker.conf"), "listener " + std::to_string(port_) + " 127.0.0.1\nallow_anonymous true\n"
                                            "persistence true\npersistence_location " + dir_.path() + "/\n"
                                            // As root it would become another user, who cannot write here.
                                            "user " + getpwuid(getuid())->pw_name + "\n");
        StartBroker();
    }
    void StartBroker() {
        ASSERT_TRUE(broker_.Start({kBroker, "-c", dir_.file("broker.conf")}, dir_.file("broker.log")));
        ASSERT_TRUE(Eventually([&] { return ReadFile(dir_.file("broker.log")).find("running") != std::string::npos; },
                               10)) << ReadFile(dir_.file("broker.log"));
    }
    void Append(int from, int to) {
        std::string lines;
        for (int i = from; i <= to; ++i) lines += "{\"id\":\"r" + std::to_string(i) + "\",\"result\":\"ok\"}\n";
        WriteFile(records_, ReadFile(records_) + lines);
        if (publisher_) publisher_->RecordAppended();
    }
    void StartPublisher() {
        std::string error;
        const PublisherSettings settings{"mqtt://127.0.0.1:" + std::to_string(port_), "", "", "", "test/line", "",
                                         "L7", records_, dir_.file("mqtt-acked.json")};
        publisher_ = RecordPublisher::Start(settings, [] { return std::string("{\"station\":\"L7\"}"); }, &error);
        ASSERT_TRUE(publisher_) << error;
    }

    TempDir dir_;
    std::string records_ = dir_.file("station.jsonl");
    int port_ = -1;
    BackgroundServer broker_;
    std::unique_ptr<RecordPublisher> publisher_;
};

TEST_F(PublisherWithBroker, EveryRecordArrivesInOrderThroughAnOutageAndARestart) {
    Subscriber subscriber(port_, "test/line");
    ASSERT_TRUE(Eventually([&] { return subscriber.Subscribed(); }, 10));  // the session takes what comes from now on
    Append(1, 3);  // before the publisher starts: the file is the outbox
    StartPublisher();
    Append(4, 5);
    int repeats = 0;
    ASSERT_TRUE(Eventually([&] { return subscriber.Ids().size() >= 5; }, 20));
    EXPECT_TRUE(AllInOrder(subscriber.Ids(), 5, &repeats));
    EXPECT_EQ(repeats, 0);
    ASSERT_TRUE(Eventually([&] { return subscriber.Status().value("state", "") == "online"; }, 10));
    EXPECT_EQ(subscriber.Status()["station"], "L7");
    ASSERT_TRUE(Eventually([&] { return publisher_->Snapshot().waiting == 0; }, 10));
    EXPECT_EQ(publisher_->Snapshot().state, BrokerState::kConnected);

    // The broker goes away; records go on being written; the station
    // restarts while the broker is still down.
    broker_.Stop();
    ASSERT_TRUE(Eventually([&] { return publisher_->Snapshot().state == BrokerState::kDown; }, 10));
    EXPECT_FALSE(publisher_->Snapshot().reason.empty());
    Append(6, 60);  // more than the publisher has in flight at once
    ASSERT_TRUE(Eventually([&] { return publisher_->Snapshot().waiting == 55; }, 10));
    publisher_.reset();
    Append(61, 70);
    StartPublisher();
    ASSERT_TRUE(Eventually([&] { return publisher_->Snapshot().waiting == 65; }, 10));
    EXPECT_NE(publisher_->Snapshot().state, BrokerState::kConnected);

    StartBroker();
    ASSERT_TRUE(Eventually([&] { return AllInOrder(subscriber.Ids(), 70, &repeats); }, 30))
        << AllInOrder(subscriber.Ids(), 70, &repeats).message() << " waiting " << publisher_->Snapshot().waiting << " "
        << BrokerStateName(publisher_->Snapshot().state) << " " << publisher_->Snapshot().reason << "\n"
        << ReadFile(dir_.file("broker.log"));
    ASSERT_TRUE(Eventually([&] { return publisher_->Snapshot().waiting == 0; }, 10));
    // Repeats come from the broker too: a persistent session it saved may
    // hand on again what its subscriber had already taken.
    printf("records written while the broker was down: 65, all delivered after; repeats: %d of %zu messages\n", repeats,
           subscriber.Ids().size());
    EXPECT_NE(ReadFile(dir_.file("mqtt-acked.json")).find("\"r70\""), std::string::npos);

    // A station that ends says so on the status topic.
    publisher_.reset();
    EXPECT_TRUE(Eventually([&] { return subscriber.Status() == nlohmann::json{{"state", "offline"}}; }, 10))
        << subscriber.Status();
}

}  // namespace
