// What a port worker tells the station's parent process: one text line per
// event on the worker's standard output.
#pragma once

#include <string>

#include "device_record.h"

enum class EventKind : char {
    kWaiting = 'W',    // awaiting a device
    kNoPort = 'N',     // the port does not open (text: the system's reason)
    kUploading = 'U',  // a device is present; its upload starts
    kProgress = 'P',   // the upload's live line (text)
    kFinished = 'D',   // a device's run ended (run)
    kRemoval = 'R',    // waiting until the device has left
    kProblem = 'X',    // something the operator must hear (text)
};

struct StationEvent {
    EventKind kind = EventKind::kWaiting;
    int port = 0;       // index of the port on the command line
    DeviceRun run;      // kFinished; run.device also for kUploading
    std::string text;   // kNoPort, kProgress, kProblem
};

// The event as its line, line feed included.
std::string EncodeEvent(const StationEvent &event);
// The event of a line (without its line feed); false for a line that is none.
bool DecodeEvent(const std::string &line, StationEvent *event);
