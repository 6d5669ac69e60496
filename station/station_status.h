// The station's state: every port's, the totals and the last records, kept
// from the workers' events and the records. The station's loop alone changes
// it; the board draws it and the web side serves it (under the web side's
// lock: station_http.h). No I/O and no clock of its own (the caller gives
// the time), so tests feed it directly.
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

    enum class State {
        kStarting,   // nothing heard from its worker yet
        kWaiting,    // awaiting a device (no_port: why the port does not open)
        kUploading,
        kFinished,   // the run ended; its device is still there
        kRemove,     // waiting until the device has left
        kStopped,
        kAwaitingSerial,  // a device is present and waits for its serial number
        kPaused,     // takes no new device until resumed
    };
    struct Port {
        std::string name;
        State state = State::kStarting;
        uint32_t device = 0;           // the device on the port (uploading to remove)
        std::string no_port;           // why the port does not open, "" while it opens
        bool has_progress = false;     // uploading, and told how far
        UploadProgress progress;       // uploading: the latest figures
        double bytes_per_second = 0;   // and the upload's speed of late, 0 while not known
        bool has_last = false;
        DeviceRun last_run;            // the port's last run, when has_last
        Json last;                     // its record, or null
        double told_ms = -1e300;       // when progress was last told
        bool pause_asked = false;      // paused through the API (the state follows once the board under way is done)
        std::string serial;            // the serial number given for the next or present device, "" for none
    };

    // started: the UTC time of the start, as records write theirs.
    StationStatus(const StationFacts &facts, const std::vector<std::string> &ports, std::string started,
                  double start_ms);

    // The port's events. Each returns true when the port's object
    // (PortJson) changed, that is, when the web side's clients should hear
    // of it; a port index no port has changes nothing.
    bool Waiting(int port);
    // Waiting, on a port that does not open (reason: the system's words).
    bool NoPort(int port, const std::string &reason);
    bool Uploading(int port, uint32_t device);
    // Figures are kept at once, but what the web shows of them is told at
    // most every kProgressEveryMs (a port's percent moves many times a
    // second); the next state change tells the latest anyway.
    bool Progress(int port, const UploadProgress &progress, double bytes_per_second, double now_ms);
    bool AwaitingRemoval(int port);
    bool AwaitingSerial(int port, uint32_t device);
    bool Paused(int port);
    // What the API asked for the port: a pause (or none), the serial for
    // its next device ("" for none).
    bool PauseAsked(int port, bool asked);
    bool SerialGiven(int port, const std::string &serial);
    // A device's run ended: record_line is its record as written (or as it
    // would have been, when the file failed). Changes the port, the totals
    // and the recent records.
    bool Finished(int port, const DeviceRun &run, const std::string &record_line);
    // The station is ending: every port stops.
    void Stop();

    std::size_t PortCount() const { return ports_.size(); }
    const Port &PortAt(int port) const { return ports_.at(static_cast<std::size_t>(port)); }
    // The records' broker (--mqtt): its state ("connecting", "connected",
    // "down"), why it is down, and how many records wait for it. false when
    // nothing changed.
    bool Broker(const std::string &state, const std::string &reason, uint64_t waiting);
    bool HasBroker() const { return !broker_state_.empty(); }
    const std::string &BrokerState() const { return broker_state_; }
    uint64_t BrokerWaiting() const { return broker_waiting_; }
    uint32_t Ok() const { return ok_; }
    uint32_t Failed() const { return failed_; }
    double StartMs() const { return start_ms_; }

    Json PortJson(int port) const;
    Json TotalsJson(double now_ms) const;
    // The last record (null before the first).
    const Json &LastRecord() const { return last_record_; }
    // Everything: station, map, started, ports, totals, and the recent
    // records (oldest first).
    Json StatusJson(double now_ms) const;
    const StationFacts &Facts() const { return facts_; }

private:
    // The port at index port, or null for an index no port has.
    Port *At(int port);
    // Puts p into state, its progress cleared; false when the state the web
    // shows stays as it was.
    static bool Set(Port &p, State state);

    StationFacts facts_;
    std::string started_;
    double start_ms_;
    std::vector<Port> ports_;
    uint32_t ok_ = 0;
    uint32_t failed_ = 0;
    std::string broker_state_;  // "" without a broker
    std::string broker_reason_;
    uint64_t broker_waiting_ = 0;
    Json last_record_;
    std::deque<Json> recent_;
};
