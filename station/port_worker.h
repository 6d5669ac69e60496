// One port of the station, in a process of its own (the serial link keeps
// its state per process): it awaits a device, flashes it, waits until it
// has left, and so on, and tells the parent every step (station_events.h).
// The process is the station's own program started again with a hidden
// first argument; its standard output carries the events to the parent,
// its standard input the parent's requests.
#pragma once

#include <string>
#include <vector>

struct PortWorkerSetup {
    int index = 0;          // the port's place on the command line
    std::string port;       // the name the link opens
    std::string folder;     // the port's folder: its zebmap.map is the one uploaded
    bool once = false;      // flash the first device only
    double wait_s = 10;     // with once: how long to await it
};

// The first argument that makes the station's program a port worker.
constexpr const char kPortWorkerArgument[] = "--port-worker";

// What the parent writes to a worker, one byte each. The end of its input
// (the parent closed it, or ended) is taken as kStopNow.
constexpr char kStopTaking = 'T';  // finish the device under way, take no other
constexpr char kStopNow = 'S';     // stop a running upload at once (its exit command still goes out) and end

// The command line that starts the worker of setup from program.
std::vector<std::string> PortWorkerCommand(const std::string &program, const PortWorkerSetup &setup);

// The worker's main, for a command line of PortWorkerCommand: never returns.
// Exit status 0, or 3 when its arguments or its folder are wrong.
[[noreturn]] void RunPortWorker(int argc, char **argv);
