// The simulated device's line timing on a clock of the test's own: devices
// arriving and leaving, and the pace of a UART at a given baud rate.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "device_line.h"
#include "devsim_options.h"

using devsim::Clock;
using devsim::DeviceLine;
using devsim::LinePacer;
using devsim::Millis;
using std::chrono::microseconds;

namespace {

const Clock::time_point t0 = Clock::time_point() + std::chrono::hours(1);
Clock::time_point At(int ms) { return t0 + Millis(ms); }

}  // namespace

TEST(DevsimLine, DevicesLingerLeaveForTheGapAndArriveFresh) {
    DeviceLine line(3, Millis(4000), Millis(500), true, t0);
    EXPECT_EQ(line.device(), 1u);
    EXPECT_TRUE(line.present());
    EXPECT_FALSE(line.NextChange());

    line.Exit(At(100));
    line.Exit(At(300));  // a second exit does not prolong the stay
    EXPECT_FALSE(line.Advance(At(599)).left);
    EXPECT_TRUE(line.present());  // lingering: still answering
    const DeviceLine::Change left = line.Advance(At(700));
    EXPECT_TRUE(left.left && !left.arrived);
    EXPECT_FALSE(line.present());
    // The gap counts from the end of the linger time, not from when it was noticed.
    EXPECT_EQ(line.NextChange(), At(4600));
    EXPECT_FALSE(line.Advance(At(4599)).arrived);
    EXPECT_TRUE(line.Advance(At(4600)).arrived);
    EXPECT_EQ(line.device(), 2u);
    EXPECT_TRUE(line.present());

    line.Pull(At(5000));  // no linger for a pulled device
    EXPECT_TRUE(line.Advance(At(5000)).left);
    // A loop that wakes late sees the departure and the next arrival at once.
    const DeviceLine::Change both = line.Advance(At(9100));
    EXPECT_TRUE(both.arrived);
    EXPECT_EQ(line.device(), 3u);

    line.Exit(At(9200));
    EXPECT_TRUE(line.Advance(At(9700)).left);
    EXPECT_TRUE(line.done());
    EXPECT_FALSE(line.present());
    EXPECT_FALSE(line.Advance(At(20000)).arrived);  // nobody after the last device
}

TEST(DevsimLine, ASingleDeviceStaysUnlessToldToLeave) {
    DeviceLine stays(1, Millis(4000), Millis(0), false, t0);
    stays.Exit(At(10));
    EXPECT_FALSE(stays.Advance(At(5000)).left);
    EXPECT_TRUE(stays.present());

    DeviceLine once(1, Millis(4000), Millis(0), true, t0);
    once.Exit(At(10));
    EXPECT_TRUE(once.Advance(At(10)).left);
    EXPECT_TRUE(once.done());
}

// Sends `total` bytes through the pacer, asking every `step` of the test's
// clock (with an optional stall), and returns when the last one left.
Clock::time_point SendThrough(LinePacer &pacer, size_t total, microseconds step, size_t *most_ahead,
                              Clock::time_point stall_at = {}, microseconds stall = {}) {
    Clock::time_point now = t0;
    size_t sent = 0;
    while (sent < total) {
        if (stall_at != Clock::time_point() && now >= stall_at && now < stall_at + step) now += stall;
        const size_t room = pacer.Room(now, total - sent);
        pacer.Sent(room, now);
        sent += room;
        // Bytes handed over but not yet on the line: never more than the FIFO.
        if (pacer.free_at() > now) {
            const auto ahead = static_cast<size_t>((pacer.free_at() - now) / std::chrono::nanoseconds(86806));
            if (most_ahead != nullptr && ahead > *most_ahead) *most_ahead = ahead;
        }
        now += step;
    }
    return pacer.free_at();
}

TEST(DevsimLine, PacerKeepsTheLineRateAndTheFifoAndCatchesUpAfterAStall) {
    const double line_s = 11520.0 * 10 / 115200;  // one second

    LinePacer pacer(115200);
    size_t most_ahead = 0;
    const double took = std::chrono::duration<double>(SendThrough(pacer, 11520, microseconds(700), &most_ahead) - t0).count();
    EXPECT_NEAR(took, line_s, 0.0001);
    EXPECT_LE(most_ahead, LinePacer::kFifo);

    // A sender held up for 50 ms in the middle keeps the line's schedule.
    LinePacer stalled(115200);
    const double with_stall =
        std::chrono::duration<double>(SendThrough(stalled, 11520, microseconds(700), nullptr, At(300), Millis(50)) - t0)
            .count();
    EXPECT_NEAR(with_stall, line_s, 0.002);

    // After an idle spell the line starts afresh: no burst of saved-up time.
    pacer.Idle();
    const Clock::time_point later = pacer.free_at() + Millis(200);
    EXPECT_EQ(pacer.Room(later, 1000), LinePacer::kFifo);
    EXPECT_EQ(pacer.NextRoom(later), later);

    LinePacer unpaced(0);
    EXPECT_EQ(unpaced.Room(t0, 100000), 100000u);
}

TEST(DevsimLineOptions, FaultsScopedToOneDeviceLayOverTheLine) {
    devsim::Options o;
    ASSERT_EQ(devsim::ParseOptions({"--devices", "3", "--answer-delay", "50", "--answer", "1=ko-flash", "--device",
                                    "3", "--answer", "2=ko-checksum", "--pull-after", "700", "--answer-twice",
                                    "--store", "st", "--device", "all", "--get-bytes", "10", "--baud", "115200",
                                    "--gap", "100", "--linger", "20"},
                                   o),
              "");
    using Kind = devsim::AnswerRule::Kind;
    const devsim::DeviceSettings first = o.SettingsFor(1);
    const devsim::DeviceSettings third = o.SettingsFor(3);
    EXPECT_EQ(first.faults.AnswerFor(2).kind, Kind::ByChecksum);
    EXPECT_FALSE(first.pull_after || first.faults.answer_twice);
    EXPECT_EQ(third.faults.AnswerFor(1).kind, Kind::KoFlash);  // the line's rule stays
    EXPECT_EQ(third.faults.AnswerFor(2).kind, Kind::KoChecksum);
    EXPECT_EQ(third.faults.AnswerDelayFor(2), 50);
    EXPECT_EQ(third.pull_after.value_or(0), 700u);
    EXPECT_TRUE(third.faults.answer_twice);
    EXPECT_EQ(third.get_bytes.value_or(0), 10u);  // after "--device all": the whole line's
    EXPECT_EQ(o.store_dir, "st");                 // line options apply wherever they stand
    EXPECT_EQ(o.devices, 3u);
    EXPECT_EQ(o.baud, 115200u);
    EXPECT_EQ(o.gap_ms, 100);
    EXPECT_EQ(o.linger_ms, 20);

    const std::vector<std::vector<std::string>> bad = {
        {"--devices", "3", "--device", "4", "--answer", "none"},
        {"--device", "0"},
        {"--devices", "0"},
        {"--devices", "100000"},
        {"--pull-after", "0"},
        {"--baud", "0"},
        {"--device", "2", "--answer", "later"},
        {"--devices", "2", "--get-bytes", "5", "--device", "2", "--get-endless"},
    };
    for (const auto &args : bad) {
        devsim::Options options;
        EXPECT_NE(devsim::ParseOptions(args, options), "") << args[0] << " " << args[1];
    }
    devsim::Options options;
    EXPECT_NE(devsim::ParseOptions({"--devices", "2", "--device", "5", "--answer", "ok"}, options).find("--device 5"),
              std::string::npos);
}
