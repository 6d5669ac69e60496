// The station under a service manager that asks its services to report
// (systemd's notify protocol, Type=notify): that it is ready, what it has
// done so far, that its event loop still turns (the manager restarts a
// station whose loop is stuck), and that it is stopping. Without a manager's
// socket in the environment (NOTIFY_SOCKET), and on Windows, nothing is sent.
#pragma once

#include <string>

// Every port's worker runs: the station takes devices now.
void ServiceReady();
// Once per pass of the loop that takes the events: the watchdog's ping, at
// half the interval the manager set (WATCHDOG_USEC), and status (the
// totals) whenever it has changed.
void ServiceAlive(const std::string &status);
// The station has begun to stop; said once, however often called.
void ServiceStopping();
