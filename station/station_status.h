// What the station's web side shows: every port's state, the totals and the
// last records, kept from the same events the board gets. No I/O and no
// clock of its own (the caller gives the time), so tests feed it directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "device_record.h"
#include "station_json.h"

// Devices per hour since the station started, or false in the first minute,
// whose rate says more about when the first board came than about the line.
// The board and the web side both show this figure.
bool DevicesPerHour(uint32_t devices, double elapsed_ms, double *per_hour);

// Every state a port's object can show ("state"), in the order of State.
const std::vector<std::string> &PortStateNames();

class StationStatus {
public:
    static constexpr std::size_t kRecentRecords = 20;
    static constexpr double kProgressEveryMs = 250;

    // started: the UTC time of the start, as records write theirs.
    StationStatus(const StationFacts &facts, const std::vector<std::string> &ports, std::string started,
                  double start_ms);

    // The port's events. Each returns true when the port's object changed,
    // that is, when its clients should hear of it.
    bool Waiting(int port);
    // Waiting, on a port that does not open (reason: the system's words).
    bool NoPort(int port, const std::string &reason);
    bool Uploading(int port, uint32_t device);
    // Figures that changed are kept at once but told at most every
    // kProgressEveryMs (a port's line moves a percent many times a
    // second); the next state change tells the latest anyway.
    bool Progress(int port, const std::string &live_line, double now_ms);
    bool AwaitingRemoval(int port);
    // A device's run ended: record_line is its record as written (or as it
    // would have been, when the file failed). Changes the port, the totals
    // and the recent records; false for a line that is not a record.
    bool Finished(int port, const std::string &record_line);
    // The station is ending: every port stops.
    void Stop();

    std::size_t PortCount() const { return ports_.size(); }
    Json PortJson(int port) const;
    Json TotalsJson(double now_ms) const;
    // The last record (null before the first).
    const Json &LastRecord() const { return last_record_; }
    // Everything: station, map, started, ports, totals, and the recent
    // records (oldest first).
    Json StatusJson(double now_ms) const;

private:
    enum class State { kWaiting, kUploading, kRemove, kStopped };
    struct Port {
        std::string name;
        State state = State::kWaiting;
        uint32_t device = 0;     // the device on the port (uploading, remove)
        int percent = 0;         // uploading
        long seconds_left = -1;  // uploading, -1 while not known
        double told_ms = -1e300; // when progress was last told
        std::string no_port;     // why the port does not open, "" while it opens
        Json last;               // the port's last record, or null
    };

    // The port at index port, or null for an index no port has.
    Port *At(int port);
    // Puts p into state, its progress cleared; false when it was in it already.
    static bool Set(Port &p, State state);

    StationFacts facts_;
    std::string started_;
    double start_ms_;
    std::vector<Port> ports_;
    uint32_t ok_ = 0;
    uint32_t failed_ = 0;
    Json last_record_;
    std::deque<Json> recent_;
};
