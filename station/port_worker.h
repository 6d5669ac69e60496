// One port of the station, in a process of its own (the serial link keeps
// its state per process): it awaits a device, flashes it, waits until it
// has left, and so on, and tells the parent every step (station_events.h).
// The process is the station's own program started again with a hidden
// argument; its standard input brings its setup (the first line, its JSON
// object: station_events.h) and then the parent's requests, its standard
// output carries the events to the parent.
#pragma once

#include "station_events.h"

// The first argument that makes the station's program a port worker.
constexpr const char kPortWorkerArgument[] = "--port-worker";

// What the parent writes to a worker, one byte each. The end of its input
// (the parent closed it, or ended) is taken as kStopNow.
constexpr char kStopTaking = 'T';  // finish the device under way, take no other
constexpr char kStopNow = 'S';     // stop a running upload at once (its exit command still goes out) and end
constexpr char kPausePort = 'P';       // finish the device under way, take no new one until kResumePort
constexpr char kResumePort = 'R';
constexpr char kGoSerial = 'G';    // the device awaiting its serial number (or the next) has it: flash it

// The worker's main, for the command line PROGRAM kPortWorkerArgument:
// never returns. Exit status 0, or 3 when its arguments, its setup or its
// folder are wrong.
[[noreturn]] void RunPortWorker(int argc, char **argv);
