// The station's web page and JSON API (--http), served on threads of their
// own. The station's event loop tells the web side what happened; the
// server's threads only read what it keeps, and the loop never waits on a
// client: events go into each client's bounded queue (station_feed.h).
//
//   GET /              the page (HTML, CSS and script inside the program)
//   GET /api/status    station, map, started, ports, totals (and the recent records)
//   GET /api/records   the record file's lines after the first N (?after=N), 1000 at most
//   GET /api/events    text/event-stream: status first, then port, record and totals
//   GET /metrics       Prometheus's text format (station_metrics.h)
// Any other path is 404, any method but GET and HEAD 405.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device_record.h"
#include "station_events.h"
#include "station_metrics.h"

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

    // Starts serving; threads run from here on (the station's processes
    // must all have been started before).
    void Start(const StationFacts &facts, const std::vector<std::string> &ports, double start_ms);
    // The workers' events, but the finished runs: those come with their
    // record line through OnRecord.
    void OnEvent(const StationEvent &event);
    void OnRecord(int port, const std::string &record_line);
    // /metrics: a record line now on disk in the record file (one that
    // could not be written is not counted), and a record hook that failed
    // (or was killed, or not run). Both go on from what the record file and
    // the hook log (SetHookLog, before Start) held at Start.
    void OnRecordWritten(const std::string &record_line);
    void OnHookFailure();
    void SetHookLog(std::string hook_log_path);
    // /metrics: the records' broker as it is at each scrape (before Start).
    void SetBrokerMetrics(std::function<MetricsBroker()> broker);
    // The status JSON of the moment (GET /api/status), for other threads;
    // "" before Start.
    std::string StatusText();
    // Every port stopped, every stream ended, the threads joined.
    void Stop();

private:
    struct Server;  // the server, its threads and what they read
    StationHttp();
    std::unique_ptr<Server> server_;
};
