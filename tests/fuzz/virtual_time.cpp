// A virtual clock for the fuzz targets: pauses only move the clock forward,
// so the one-second pauses between records and the half-second receive
// time-outs cost nothing, and every run is deterministic.
#include "platform_time.h"

namespace {
uint64_t virtual_now_ms = 1;
}  // namespace

uint64_t MonotonicMs() { return virtual_now_ms; }

void PauseMs(unsigned int ms) { virtual_now_ms += ms; }
