// One port of the station, in a process of its own (the serial link keeps
// its state per process): it awaits a device, flashes it, waits until it
// has left, and so on, and tells the parent every step (station_events.h).
#pragma once

#include <string>

struct PortWorkerSetup {
    int index = 0;          // the port's place on the command line
    std::string port;       // the name the link opens
    bool once = false;      // flash the first device only
    double wait_s = 10;     // with once: how long to await it
    int events_fd = -1;     // write end of the parent's pipe
};

// Runs in the port's own folder (its zebmap.map is the one uploaded) and
// never returns. SIGINT and SIGTERM stop a running upload at once (its exit
// command is still sent) and end the worker; SIGUSR1 only stops it from
// taking another device.
[[noreturn]] void RunPortWorker(const PortWorkerSetup &setup);
