// What a port worker tells the station's parent process: one text line per
// event on a pipe the workers share. Every line is written with one write
// of less than PIPE_BUF bytes, so lines of different workers never mix.
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

// Writes the event to fd with one write; false when it could not. On a
// non-blocking pipe that is full, a progress event is dropped (the upload
// must not wait for the board) and any other waits until it fits.
bool SendEvent(int fd, const StationEvent &event);
