// The timing of the simulated device's line, without any I/O: which device
// of a line of devices sits on the port (arrivals, lingering, the silent gap
// between two devices), and the pace at which a UART at a given baud rate
// lets the device's bytes out. The pty loop in pty_device.cpp asks these and
// does the I/O.
#pragma once

#include <chrono>

#include "platform_time.h"
#include <cstddef>
#include <cstdint>
#include <optional>

namespace devsim {

using Clock = MonotonicClock;
using Millis = std::chrono::milliseconds;

// Devices 1..N, one after the other, on one port. A device that leaves does
// so after its exit command and the linger time (a board not yet taken out
// of its fixture), or at once when it is pulled; then the port is silent for
// the gap and the next device arrives. After the last device has left, the
// line is done.
class DeviceLine {
public:
    struct Change {
        bool left = false;     // device() left; no device answers now
        bool arrived = false;  // a fresh device() arrived
    };

    // leave_after_exit false: the one device stays whatever it is told.
    DeviceLine(uint64_t devices, Millis gap, Millis linger, bool leave_after_exit, Clock::time_point now);

    uint64_t device() const { return device_; }  // 1..N: present, or the last to leave
    bool present() const { return phase_ == Phase::Present || phase_ == Phase::Lingering; }
    bool done() const { return phase_ == Phase::Done; }

    void Exit(Clock::time_point now);  // the present device got its exit command
    void Pull(Clock::time_point now);  // the present device is taken away at once
    // Brings the line up to now and says what happened on the way.
    Change Advance(Clock::time_point now);
    // When Advance will next have something to do.
    std::optional<Clock::time_point> NextChange() const;

private:
    enum class Phase { Present, Lingering, Gap, Done };

    uint64_t devices_;
    Millis gap_;
    Millis linger_;
    bool leave_after_exit_;
    uint64_t device_ = 1;
    Phase phase_ = Phase::Present;
    Clock::time_point until_{};  // end of the linger time or of the gap
};

// A UART's transmitter at `baud` (10 bits a byte) with a FIFO of kFifo
// bytes: how many bytes may be handed to the pty now so that none runs more
// than the FIFO ahead of the line. A sender that is held up (a busy machine)
// while it has bytes to send catches up, as a driver's buffer would have kept
// the line busy, up to kCatchUp bytes; once the sender says it is idle, the
// next byte starts a fresh line.
class LinePacer {
public:
    static constexpr size_t kFifo = 64;
    static constexpr size_t kCatchUp = 4096;

    explicit LinePacer(uint32_t baud) : baud_(baud) {}  // 0: no pacing

    bool paced() const { return baud_ > 0; }
    // How many of `wanted` bytes may go out now.
    size_t Room(Clock::time_point now, size_t wanted);
    void Sent(size_t count, Clock::time_point now);
    void Idle() { idle_ = true; }
    // When at least one byte fits (now, when one fits already).
    Clock::time_point NextRoom(Clock::time_point now) const;
    // When the last byte sent has left the line.
    Clock::time_point free_at() const { return free_at_; }

private:
    std::chrono::nanoseconds ByteTime() const;
    void StartIfIdle(Clock::time_point now);

    uint32_t baud_;
    bool idle_ = true;
    Clock::time_point free_at_{};
    uint64_t remainder_ = 0;  // of the division by the baud rate, so the rate stays exact
};

}  // namespace devsim
