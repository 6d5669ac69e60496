#include "platform_time.h"

#include <chrono>
#include <thread>

uint64_t MonotonicMs() {
    const auto since_epoch = MonotonicClock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count());
}

void PauseMs(unsigned int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
