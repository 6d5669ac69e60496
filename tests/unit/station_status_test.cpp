// The web side's model of the ports and its feed of event clients, without
// a server: what a port shows through its life, and a feed that never lets
// a client hold up the station.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "operator_display.h"
#include "station_feed.h"
#include "station_status.h"

namespace {

std::string Record(uint32_t device, bool ok) {
    DeviceRun run;
    run.device = device;
    run.ok = ok;
    run.outcome.failure = ok ? UploadFailure::kNone : UploadFailure::kNoAnswer;
    return FormatRecordLine("2026-12-07T15:52:25.123Z", {"line 7", "ab", 2, 515}, "/dev/ttyUSB1", run);
}

TEST(StationStatus, APortGoesThroughWaitingUploadingRemoveAndBack) {
    StationStatus status({"line 7", "ab", 2, 515}, {"/dev/ttyUSB0", "/dev/ttyUSB1"}, "t0", 0);
    EXPECT_EQ(status.PortJson(1)["state"], "waiting");
    EXPECT_FALSE(status.Waiting(1));  // nothing changed

    EXPECT_TRUE(status.Uploading(1, 4));
    // The live line's figures, as the display writes them; a line that
    // shows the same figures again changes nothing.
    EXPECT_TRUE(status.Progress(1, FormatUploadLine(1007, 2015, 1, 2, 1000), 0));
    EXPECT_FALSE(status.Progress(1, FormatUploadLine(1007, 2015, 1, 2, 1000), 100));
    EXPECT_FALSE(status.Progress(1, "not an upload line", 100));
    EXPECT_FALSE(status.Progress(0, FormatUploadLine(1007, 2015, 1, 2, 1000), 100));  // port 0 is not uploading
    // A change within a quarter of a second is kept but not told.
    EXPECT_FALSE(status.Progress(1, FormatUploadLine(1107, 2015, 1, 2, 1000), 200));
    EXPECT_EQ(status.PortJson(1)["percent"], 54);
    EXPECT_TRUE(status.Progress(1, FormatUploadLine(1007, 2015, 1, 2, 1000), 600));
    Json port = status.PortJson(1);
    EXPECT_EQ(port["device"], 4);
    EXPECT_EQ(port["percent"], 49);
    EXPECT_EQ(port["seconds_left"], 2);
    EXPECT_TRUE(port["last"].is_null());

    ASSERT_TRUE(status.Finished(1, Record(4, false)));
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
    EXPECT_FALSE(status.Finished(1, "{ not a record"));
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
    for (uint32_t device = 1; device <= 25; ++device) ASSERT_TRUE(status.Finished(0, Record(device, device % 5 != 0)));
    // The first minute shows no rate; after two minutes, 25 devices make 750 an hour.
    EXPECT_TRUE(status.TotalsJson(1000 + 59000)["devices_per_hour"].is_null());
    const Json all = status.StatusJson(1000 + 120000);
    EXPECT_EQ(JsonText(all["totals"]), "{\"ok\":20,\"failed\":5,\"devices_per_hour\":750}");
    EXPECT_EQ(JsonText(all["map"]), "{\"sha256\":\"ab\",\"records\":2,\"bytes\":515}");
    ASSERT_EQ(all["recent"].size(), StationStatus::kRecentRecords);
    EXPECT_EQ(all["recent"].front()["device"], 6);  // oldest first
    EXPECT_EQ(all["recent"].back()["device"], 25);
}

TEST(StationStatus, TheUploadLineReadsBackAsWritten) {
    unsigned percent = 0;
    long left = 0;
    ASSERT_TRUE(ReadUploadLine(FormatUploadLine(5u << 20, 10u << 20, 3, 9, 11520), &percent, &left));
    EXPECT_EQ(percent, 50u);
    EXPECT_EQ(left, 461);  // 455.1 s of bytes at 11520 B/s, and six pauses
    ASSERT_TRUE(ReadUploadLine(FormatUploadLine(7, 2015, 0, 2, 0), &percent, &left));
    EXPECT_EQ(left, -1);  // "--:--": not known yet
    ASSERT_TRUE(ReadUploadLine(FormatUploadLine(1, 100u << 20, 0, 1, 1000), &percent, &left));
    EXPECT_GT(left, 3600);  // H:MM:SS
    for (const char *bad : {"", "upload", "upload  45%", "download  1 B of 2 B  50%", "upload  45% x 1:2:3:4 left",
                            "upload 450%  1 B of 2 B  0:01 left"}) {
        EXPECT_FALSE(ReadUploadLine(bad, &percent, &left)) << bad;
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
