// What goes between the station and its port workers, one JSON object per
// line: the worker's setup on its standard input (the first line), then
// every event on its standard output. Each object carries the version of
// the format, so that a worker and a parent of different builds never take
// each other's lines for something they are not.
#pragma once

#include <string>

#include "device_record.h"
#include "station_json.h"

constexpr int kStationChannelVersion = 1;

enum class EventKind {
    kWaiting,    // awaiting a device
    kNoPort,     // the port does not open (text: the system's reason)
    kUploading,  // a device is present; its upload starts
    kProgress,   // how far the upload is (progress, bytes_per_second)
    kFinished,   // a device's run ended (run)
    kRemoval,    // waiting until the device has left
    kProblem,    // something the operator must hear (text)
    kAwaitingSerial,  // a device is present and waits for its serial number (kGoSerial)
    kPaused,     // paused: no new device is taken until kResume
};

struct StationEvent {
    EventKind kind = EventKind::kWaiting;
    int port = 0;                 // index of the port on the command line
    DeviceRun run;                // kFinished; run.device for every kind
    std::string text;             // kNoPort, kProblem
    UploadProgress progress;      // kProgress
    double bytes_per_second = 0;  // kProgress: the upload's speed of late, 0 while not known
};

// What a port worker is told to do.
struct PortWorkerSetup {
    int index = 0;          // the port's place on the command line
    std::string port;       // the name the link opens
    std::string fixture;    // the fixture's name, as its records give it
    std::string folder;     // the port's folder: its zebmap.map is the one uploaded
    bool once = false;      // flash the first device only
    double wait_s = 10;     // with once: how long to await it
    std::string run_id;     // the station run's id (NewRunId): the records' ids start with it
    uint32_t first_device = 1;  // the number of the fixture's next device
    StationFacts facts;     // what the device's record will say of the map and the station (its journal keeps them)
    int retries = 0;        // uploads again after a refusal or no answer, at most
    bool verify = false;    // read the map back before the exit command
    bool require_serial = false;  // flash a device only once its serial is given
};

// The values as JSON objects; from_json throws (Json's exceptions, or
// std::invalid_argument for a name or version of none of ours) for an
// object that is not one of them.
void to_json(Json &json, const UploadOutcome &outcome);
void from_json(const Json &json, UploadOutcome &outcome);
void to_json(Json &json, const UploadProgress &progress);
void from_json(const Json &json, UploadProgress &progress);
void to_json(Json &json, const DeviceRun &run);
void from_json(const Json &json, DeviceRun &run);
void to_json(Json &json, const StationFacts &facts);
void from_json(const Json &json, StationFacts &facts);
void to_json(Json &json, const StationEvent &event);
void from_json(const Json &json, StationEvent &event);
void to_json(Json &json, const PortWorkerSetup &setup);
void from_json(const Json &json, PortWorkerSetup &setup);

// The event as its line, line feed included.
std::string EncodeEvent(const StationEvent &event);
// The event of a line (without its line feed); false for a line that is
// none, of this version.
bool DecodeEvent(const std::string &line, StationEvent *event);

// The same for the setup.
std::string EncodeSetup(const PortWorkerSetup &setup);
bool DecodeSetup(const std::string &line, PortWorkerSetup *setup);
