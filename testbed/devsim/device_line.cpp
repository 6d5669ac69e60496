#include "device_line.h"

#include <algorithm>

namespace devsim {

DeviceLine::DeviceLine(uint64_t devices, Millis gap, Millis linger, bool leave_after_exit, Clock::time_point now)
    : devices_(std::max<uint64_t>(devices, 1)), gap_(gap), linger_(linger), leave_after_exit_(leave_after_exit),
      until_(now) {}

void DeviceLine::Exit(Clock::time_point now) {
    // A second exit command while lingering does not prolong the stay.
    if (phase_ != Phase::Present || !leave_after_exit_) return;
    phase_ = Phase::Lingering;
    until_ = now + linger_;
}

void DeviceLine::Pull(Clock::time_point now) {
    if (!present()) return;
    phase_ = Phase::Lingering;
    until_ = now;
}

DeviceLine::Change DeviceLine::Advance(Clock::time_point now) {
    Change change;
    if (phase_ == Phase::Lingering && now >= until_) {
        change.left = true;
        if (device_ >= devices_) {
            phase_ = Phase::Done;
            return change;
        }
        // The gap counts from the moment the device left, not from when
        // the loop noticed.
        phase_ = Phase::Gap;
        until_ += gap_;
    }
    if (phase_ == Phase::Gap && now >= until_) {
        ++device_;
        phase_ = Phase::Present;
        change.arrived = true;
    }
    return change;
}

std::optional<Clock::time_point> DeviceLine::NextChange() const {
    if (phase_ == Phase::Lingering || phase_ == Phase::Gap) return until_;
    return std::nullopt;
}

std::chrono::nanoseconds LinePacer::ByteTime() const {
    return std::chrono::nanoseconds(10'000'000'000LL / baud_);
}

void LinePacer::StartIfIdle(Clock::time_point now) {
    // Late with bytes still to send is a stall the line's buffer covers;
    // after an idle spell, or too far behind, the line starts afresh.
    const bool too_late = now - free_at_ > ByteTime() * static_cast<long>(kCatchUp);
    if (free_at_ < now && (idle_ || too_late)) {
        free_at_ = now;
        remainder_ = 0;
    }
    idle_ = false;
}

size_t LinePacer::Room(Clock::time_point now, size_t wanted) {
    if (!paced()) return wanted;
    StartIfIdle(now);
    // Bytes that have left since free_at_ - kFifo byte times make room.
    // A negative count is the catch-up of a stalled sender.
    const auto ahead = free_at_ - now;
    const auto byte = ByteTime();
    const long queued = ahead.count() <= 0 ? -((-ahead) / byte) : (ahead + byte - std::chrono::nanoseconds(1)) / byte;
    const long room = static_cast<long>(kFifo) - queued;
    return room <= 0 ? 0 : std::min(wanted, static_cast<size_t>(room));
}

void LinePacer::Sent(size_t count, Clock::time_point now) {
    if (!paced() || count == 0) return;
    StartIfIdle(now);
    const uint64_t total = static_cast<uint64_t>(count) * 10'000'000'000ULL + remainder_;
    free_at_ += std::chrono::nanoseconds(static_cast<long long>(total / baud_));
    remainder_ = total % baud_;
}

Clock::time_point LinePacer::NextRoom(Clock::time_point now) const {
    if (!paced()) return now;
    const Clock::time_point room_at = free_at_ - ByteTime() * static_cast<long>(kFifo - 1);
    return std::max(now, room_at);
}

}  // namespace devsim
