// Time as the program sees it: a monotonic millisecond clock for time-outs
// and whole pauses. Kept apart so that fuzz targets can link a virtual clock
// and run the one-second pauses and half-second time-outs instantly.
#pragma once

#include <chrono>
#include <cstdint>

// The clock behind MonotonicMs, for tools that need finer time points
// (the simulated device's line timing and transcript).
using MonotonicClock = std::chrono::steady_clock;

// Milliseconds since an arbitrary fixed point; never goes back, whatever
// happens to the time of day.
uint64_t MonotonicMs();

// MonotonicMs as the double that time arithmetic (rates, deadlines, the
// live line's io.now_ms) works in; inline, so a virtual clock drives it too.
inline double MonotonicNowMs() { return static_cast<double>(MonotonicMs()); }

// Sleeps for ms milliseconds.
void PauseMs(unsigned int ms);
