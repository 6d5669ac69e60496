// The station's web page and JSON API (--http), served on threads of their
// own. They read the station's state (station_status.h), which the
// station's event loop changes through Change, under the lock they read it
// under; the loop never waits on a client: what changed goes into each
// client's bounded queue (station_feed.h).
//
//   GET /              the page (HTML, CSS and script inside the program)
//   GET /api/status    station, map, started, ports, totals (and the recent records)
//   GET /api/records   the record file's lines after the first N (?after=N), 1000 at most
//   GET /api/events    text/event-stream: status first, then port, record and totals
//   GET /api/records.csv  the record file as CSV
//   POST /api/fixtures/FIXTURE/serial|pause|resume  the write side, with the token
// Any other path is 404, any other method 405.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "station_metrics.h"
#include "station_status.h"

// What the API asks the station to change (POST, with the token).
struct WriteRequest {
    enum class Kind { kSerial, kPause, kResume };
    Kind kind = Kind::kPause;
    int port = 0;        // the fixture's index
    std::string serial;  // kSerial: checked to be one printable line of at most kMaxSerial characters
};
// The station's answer: 200, or the status with its error.
struct WriteAnswer {
    int status = 200;
    std::string error;
};
// Called on a server thread, never under the server's lock: it must be
// thread-safe, and must not change the status itself (Change is the event
// loop's).
using WriteHandler = std::function<WriteAnswer(const WriteRequest &)>;
constexpr std::size_t kMaxSerial = 64;
// One printable line (ASCII, no leading or trailing space) of 1 to kMaxSerial characters.
bool IsSerialText(const std::string &serial);

class StationHttp {
public:
    // Binds address ("[ADDR:]PORT", ADDR 127.0.0.1 when left out, PORT 0 for
    // any free one) without serving yet, so that nothing may run when the
    // address cannot be served. nullptr with the reason in error.
    static std::unique_ptr<StationHttp> Bind(const std::string &address, std::string record_path,
                                             std::string *error);
    ~StationHttp();
    StationHttp(const StationHttp &) = delete;
    StationHttp &operator=(const StationHttp &) = delete;

    // "http://ADDR:PORT/", the port the system gave included.
    const std::string &Url() const;
    // Where a browser reaches it: Url(), or for a wildcard address (0.0.0.0,
    // ::) one URL per address of the machine, separated by spaces.
    std::string ServingUrls() const;

    // Starts serving status, which must outlive the server and from here
    // on change only through Change; threads run from here on (the
    // station's processes must all have been started before).
    void Start(const StationStatus &status);
    // Before Start: the token every write needs ("" for none: nothing can
    // be changed), and who carries the writes out.
    void AllowWrites(std::string token, WriteHandler handler);

    // What the clients hear of a change: the port's object; with kRecord
    // the record and the totals before it; with kEveryPort every port's.
    enum class Tell { kPort, kRecord, kEveryPort, kTotals };
    // Runs change, which changes the status and returns whether the clients
    // should hear of it, under the server threads' lock, and tells them.
    void Change(int port, Tell tell, const std::function<bool()> &change);
    // /metrics: a record line now on disk in the record file (one that
    // could not be written is not counted), and a record hook that failed
    // (or was killed, or not run). Both go on from what the record file and
    // the hook log (SetHookLog, before Start) held at Start.
    void OnRecordWritten(const std::string &record_line);
    void OnHookFailure();
    void SetHookLog(std::string hook_log_path);
    // /metrics: the records' broker as it is at each scrape (before Start).
    void SetBrokerMetrics(std::function<MetricsBroker()> broker);
    // Every stream ended, the threads joined.
    void Stop();

private:
    struct Server;  // the server, its threads and what they read
    StationHttp();
    std::unique_ptr<Server> server_;
};
