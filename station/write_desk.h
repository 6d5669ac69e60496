// Where the web side's writes meet the station's event loop. The server
// threads hand their requests in (Ask, answered at once: a serial number
// used already is refused here, under the desk's own lock); the loop takes
// them (Take) and carries them out, and takes a fixture's serial number when
// its next device begins (TakeSerial).
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "station_http.h"

class WriteDesk {
public:
    WriteDesk(std::size_t fixtures, bool allow_repeated_serial);

    // A serial number in the record file already (read at the start) or
    // just recorded.
    void Used(const std::string &serial);
    // The serial numbers of a record file's lines.
    void UsedInRecords(const std::string &record_file_text);

    // From the server's threads. A serial number replaces one given before
    // for the same fixture that no device has taken yet.
    WriteAnswer Ask(const WriteRequest &request);
    // From the event loop: the requests since the last call, in order.
    std::vector<WriteRequest> Take();
    // The serial number waiting for the fixture's next device, now that a
    // device takes it; none when none was given.
    std::optional<std::string> TakeSerial(int fixture);

private:
    std::mutex mutex_;
    bool allow_repeated_;
    std::set<std::string> used_;
    std::vector<std::string> waiting_;  // per fixture, "" for none
    std::deque<WriteRequest> requests_;
};
