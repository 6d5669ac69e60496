#include <systemd/sd-daemon.h>

#include <cstdint>
#include <string>

#include "platform_time.h"
#include "service_notify.h"

namespace {

// The manager's watchdog interval in ms, 0 when it watches none; read once,
// as the manager sets it once.
uint64_t WatchdogIntervalMs() {
    static const uint64_t interval = [] {
        uint64_t usec = 0;
        // The environment stays: every later report reads the socket from it.
        return sd_watchdog_enabled(0, &usec) > 0 ? usec / 1000 : 0;
    }();
    return interval;
}

bool stopping = false;
std::string last_status;
uint64_t last_ping_ms = 0;

}  // namespace

void ServiceReady() { sd_notify(0, "READY=1"); }

void ServiceAlive(const std::string &status) {
    if (stopping) return;
    if (const uint64_t interval = WatchdogIntervalMs(); interval > 0) {
        const uint64_t now = MonotonicMs();
        if (last_ping_ms == 0 || now - last_ping_ms >= interval / 2) {
            sd_notify(0, "WATCHDOG=1");
            last_ping_ms = now;
        }
    }
    if (status != last_status) {
        sd_notify(0, ("STATUS=" + status).c_str());
        last_status = status;
    }
}

void ServiceStopping() {
    if (stopping) return;
    stopping = true;
    sd_notify(0, "STOPPING=1");
}
