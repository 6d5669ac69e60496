// The web side's model of the ports and its feed of event clients, without
// a server: what a port shows through its life, and a feed that never lets
// a client hold up the station.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "station_feed.h"
#include "station_status.h"

namespace {

DeviceRun Run(uint32_t device, bool ok) {
    DeviceRun run;
    run.device = device;
    run.ok = ok;
    run.outcome.failure = ok ? UploadFailure::kNone : UploadFailure::kNoAnswer;
    return run;
}

// A run ends with its record line, as the station writes it.
bool Finish(StationStatus &status, int port, uint32_t device, bool ok) {
    const DeviceRun run = Run(device, ok);
    return status.Finished(
        port, run, FormatRecordLine("2026-12-07T15:52:25.123Z", {"line 7", "ab", 2, 515}, "/dev/ttyUSB1", run));
}

UploadProgress Figures(uint32_t sent, uint32_t bytes, uint32_t accepted, uint32_t records) {
    UploadProgress progress;
    progress.bytes_sent = sent;
    progress.map_bytes = bytes;
    progress.records_accepted = accepted;
    progress.map_records = records;
    progress.block = static_cast<int>(accepted) + 1;
    return progress;
}

TEST(StationStatus, APortGoesThroughWaitingUploadingRemoveAndBack) {
    StationStatus status({"line 7", "ab", 2, 515}, {"/dev/ttyUSB0", "/dev/ttyUSB1"}, "t0", 0);
    EXPECT_EQ(status.PortJson(1)["state"], "waiting");
    EXPECT_FALSE(status.Waiting(1));  // nothing changed

    EXPECT_TRUE(status.Uploading(1, 4));
    EXPECT_EQ(status.PortJson(1)["percent"], 0);
    EXPECT_TRUE(status.PortJson(1)["seconds_left"].is_null());
    // The upload's figures. A change within a quarter of a second is kept
    // but not told.
    EXPECT_TRUE(status.Progress(1, Figures(1007, 2015, 1, 2), 1000, 0));
    EXPECT_FALSE(status.Progress(1, Figures(1107, 2015, 1, 2), 1000, 100));
    EXPECT_EQ(status.PortJson(1)["percent"], 54);
    EXPECT_TRUE(status.Progress(1, Figures(1007, 2015, 1, 2), 1000, 600));
    // The same figures again change nothing the web shows, nor does a byte
    // that moves neither the percent nor the time left; the board's
    // figures are the latest all the same.
    EXPECT_FALSE(status.Progress(1, Figures(1007, 2015, 1, 2), 1000, 900));
    EXPECT_FALSE(status.Progress(1, Figures(1006, 2015, 1, 2), 1000, 900));
    EXPECT_EQ(status.PortAt(1).progress.bytes_sent, 1006u);
    EXPECT_FALSE(status.Progress(0, Figures(1007, 2015, 1, 2), 1000, 900));  // port 0 is not uploading
    Json port = status.PortJson(1);
    EXPECT_EQ(port["device"], 4);
    EXPECT_EQ(port["percent"], 49);
    EXPECT_EQ(port["seconds_left"], 2);  // 1009 bytes at 1000 B/s and one pause
    EXPECT_TRUE(port["last"].is_null());

    ASSERT_TRUE(Finish(status, 1, 4, false));
    port = status.PortJson(1);
    EXPECT_EQ(port["state"], "remove");
    EXPECT_EQ(port["device"], 4);
    EXPECT_TRUE(port["percent"].is_null());
    EXPECT_EQ(port["last"]["reason"], "no answer");
    EXPECT_EQ(port["last"]["seconds"], 0.0);
    EXPECT_FALSE(status.AwaitingRemoval(1));

    EXPECT_TRUE(status.Waiting(1));
    port = status.PortJson(1);
    EXPECT_TRUE(port["device"].is_null());
    EXPECT_EQ(port["last"]["device"], 4);  // the last result stays
    EXPECT_EQ(status.PortAt(1).last_run.device, 4u);
    EXPECT_TRUE(status.NoPort(1, "No such file or directory"));  // still waiting, the reason told
    EXPECT_EQ(status.PortJson(1)["no_port"], "No such file or directory");
    EXPECT_TRUE(status.Waiting(1));
    EXPECT_TRUE(status.PortJson(1)["no_port"].is_null());

    status.Stop();
    EXPECT_EQ(status.PortJson(0)["state"], "stopped");
    EXPECT_EQ(status.PortJson(1)["state"], "stopped");
}

TEST(StationStatus, TotalsAndTheRecentRecordsFollowTheRecords) {
    StationStatus status({"line 7", "ab", 2, 515}, {"/dev/ttyUSB0"}, "t0", 1000);
    for (uint32_t device = 1; device <= 25; ++device) ASSERT_TRUE(Finish(status, 0, device, device % 5 != 0));
    // The first minute shows no rate; after two minutes, 25 devices make 750 an hour.
    EXPECT_TRUE(status.TotalsJson(1000 + 59000)["devices_per_hour"].is_null());
    const Json all = status.StatusJson(1000 + 120000);
    EXPECT_EQ(JsonText(all["totals"]), "{\"ok\":20,\"failed\":5,\"devices_per_hour\":750}");
    EXPECT_EQ(JsonText(all["map"]), "{\"sha256\":\"ab\",\"records\":2,\"bytes\":515}");
    ASSERT_EQ(all["recent"].size(), StationStatus::kRecentRecords);
    EXPECT_EQ(all["recent"].front()["device"], 6);  // oldest first
    EXPECT_EQ(all["recent"].back()["device"], 25);
    // With a broker, the totals say its state and what waits for it; a
    // snapshot like the last one changes nothing.
    EXPECT_TRUE(status.Broker("down", "Connection refused", 3));
    EXPECT_FALSE(status.Broker("down", "Connection refused", 3));
    EXPECT_EQ(JsonText(status.TotalsJson(1000)["broker"]),
              "{\"state\":\"down\",\"reason\":\"Connection refused\",\"waiting\":3}");
}

TEST(StationStatus, TheTimeLeftComesFromTheFigures) {
    StationStatus status({"line 7", "ab", 2, 515}, {"/dev/ttyUSB0"}, "t0", 0);
    const struct {
        UploadProgress figures;
        double bytes_per_second;
        Json seconds_left;
        int percent;
    } kRows[] = {
        {Figures(5u << 20, 10u << 20, 3, 9), 11520, 461, 50},  // 455.1 s of bytes, and six pauses
        {Figures(7, 2015, 0, 2), 0, nullptr, 0},               // no speed yet: not known
        {Figures(2015, 2015, 1, 2), 0, 1, 100},                // every byte out, a pause to come
        {Figures(1, 100u << 20, 0, 1), 1000, 104859, 0},  // more than a day
    };
    double now = 0;
    for (const auto &row : kRows) {
        status.Uploading(0, 1);
        status.Progress(0, row.figures, row.bytes_per_second, now += 1000);
        EXPECT_EQ(status.PortJson(0)["seconds_left"], row.seconds_left) << row.figures.bytes_sent;
        EXPECT_EQ(status.PortJson(0)["percent"], row.percent) << row.figures.bytes_sent;
        status.Waiting(0);
    }
}

TEST(StationFeed, AClientThatStopsTakingIsDroppedAndTheLimitHolds) {
    using std::chrono::milliseconds;
    StationFeed feed;
    std::vector<StationFeed::ClientPtr> clients;
    for (std::size_t i = 0; i < StationFeed::kMaxClients; ++i) clients.push_back(feed.Join("first\n"));
    EXPECT_EQ(feed.Join("first\n"), nullptr);  // one too many
    feed.Leave(clients.back());
    clients.back() = feed.Join("first\n");
    ASSERT_NE(clients.back(), nullptr);

    std::string text;
    EXPECT_EQ(feed.Next(clients[0], milliseconds(0), milliseconds(0), &text), StationFeed::Take::kEvents);
    EXPECT_EQ(text, "first\n");
    EXPECT_EQ(feed.Next(clients[0], milliseconds(1), milliseconds(0), &text), StationFeed::Take::kIdle);
    // Client 0 keeps taking; all the others stop. Publishing never waits:
    // past the bound, those that lag are let go and their places freed.
    for (std::size_t i = 0; i < StationFeed::kMaxQueued + 5; ++i) {
        feed.Publish("e\n");
        if (i % 100 == 0) feed.Next(clients[0], milliseconds(0), milliseconds(0), &text);
    }
    EXPECT_EQ(feed.ClientCount(), 1u);
    EXPECT_EQ(feed.Next(clients[1], milliseconds(0), milliseconds(0), &text), StationFeed::Take::kEnd);

    // Closing: what is queued still goes out, at once, then the stream ends.
    feed.Publish("last\n");
    std::thread closer([&feed] {
        std::this_thread::sleep_for(milliseconds(50));
        feed.Close();
    });
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(feed.Next(clients[0], milliseconds(0), milliseconds(60000), &text), StationFeed::Take::kEvents);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, milliseconds(10000));
    closer.join();
    EXPECT_EQ(feed.Join("first\n"), nullptr);
    EXPECT_EQ(text.substr(text.size() - 5), "last\n");
    EXPECT_EQ(feed.Next(clients[0], milliseconds(1000), milliseconds(0), &text), StationFeed::Take::kEnd);
}

}  // namespace
