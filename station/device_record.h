// What the station keeps of every device: the run a port worker reports,
// the JSON line appended to the record file for the line's tracing system,
// and the one-line summary on standard output for scripts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device_transfer.h"

// One device's run on one port, as the worker saw it.
struct DeviceRun {
    std::string id;             // the record's id (RecordId), "" until the parent gives one
    uint32_t device = 0;        // the fixture's device count, from 1, going on across restarts
    std::string started;        // UTC time the upload started (UtcTimestamp), "" without a device
    bool present = true;        // false: no device came within the wait (--once)
    std::string port_failure;   // not present because the port did not open: the system's reason
    bool ok = false;            // the upload's own verdict: the whole map went in
    UploadOutcome outcome;
    double seconds = 0;         // the upload's duration
    std::string device_path;    // the device the port name led to; "" when the port did not open
    bool has_adapter_serial = false;
    std::string adapter_serial; // the USB serial number of the port's adapter
    // The station stopped (killed, power cut) while the upload was under
    // way, so its end was never seen: recorded at the next start from the
    // upload's journal (upload_journal.h), result "interrupted".
    bool stopped_during_upload = false;
    // One reason per upload of this board, the last one's too ("" when it
    // succeeded); empty when it was never flashed.
    std::vector<std::string> attempt_reasons;
    std::optional<std::string> serial;  // the serial number given for the board
};

// The facts every record of a run shares.
struct StationFacts {
    std::string station;        // host name
    std::string map_sha256;     // of the map exactly as checked and uploaded
    uint32_t map_records = 0;
    uint32_t map_bytes = 0;
};

// The record's result: "ok", "failed" or "interrupted".
std::string RecordResult(const DeviceRun &run);

// A fresh id for one run of the station: 16 hexadecimal digits from
// std::random_device. Records of different runs never share an id even
// when the fixtures' folders (and with them the device numbers) were wiped.
std::string NewRunId();
// The id of a device's record: the run's id, the fixture's place on the
// command line and the device number ("3f09c1d2aa7e5b40-1-17"), unique
// within a run because device numbers only grow on a fixture.
std::string RecordId(const std::string &run_id, int port, uint32_t device);

// The short reason of a failed run ("" for a run that is ok), e.g.
// "refused: answer 0x79", "no port: No such file or directory",
// "station stopped during the upload".
std::string FailureReason(const DeviceRun &run);

// The record line (with its line feed): one JSON object with the fields in
// a fixed order; time is the UTC time of the record. Names are written as
// UTF-8; bytes that are not UTF-8 become U+FFFD (station_json.h).
// The fixture is named apart from its port: the port is what the link
// opened, the fixture the place on the line that tracing asks about.
std::string FormatRecordLine(const std::string &time, const StationFacts &facts, const std::string &port,
                             const std::string &fixture, const DeviceRun &run);
// The record of a fixture named by its port.
inline std::string FormatRecordLine(const std::string &time, const StationFacts &facts,
                                    const std::string &port_name, const DeviceRun &run) {
    return FormatRecordLine(time, facts, port_name, port_name, run);
}
// The line for scripts: "PORT DEVICE RESULT SECONDS REASON" (the station
// gives the fixture's name for PORT), the reason last
// (it may hold spaces), "-" when there is none.
std::string FormatResultLine(const std::string &port, const DeviceRun &run);

// The current UTC time, ISO 8601 with milliseconds: "2026-12-07T15:52:25.123Z".
std::string UtcTimestamp();
