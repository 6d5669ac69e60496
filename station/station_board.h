// What the operator sees on standard error: on a terminal, a live board
// with one line per port and the totals under it; otherwise one plain line
// per event. Standard output only gets the line per finished device, and
// the board steps aside for it. The board is a view of the station's state
// (station_status.h): it draws what that holds, told when it changed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "device_record.h"
#include "station_status.h"

class StationBoard {
public:
    // status must outlive the board.
    StationBoard(const StationStatus &status, bool live);

    // The port's state changed by one of its worker's steps: a plain line
    // says where it is now.
    void PortChanged(int port);
    // Only the port's progress moved.
    void ProgressChanged();
    // The port's run ended (its state holds it): its line goes to standard
    // output too.
    // The run's line on standard output names the fixture's port, not its
    // name: scripts split the line at spaces, which a name may hold.
    void Finished(int port, const std::string &port_name, const DeviceRun &run);
    // A message for the operator, above the board.
    void Say(const std::string &text);

    // Draws the board again when it is live and something changed, or when
    // the last drawing is older than a second (the totals move with time).
    void Refresh(double now_ms);
    // Leaves the board as it is, below everything else, for good (the
    // status has stopped by then).
    void Close(double now_ms);

    // The line of one port, and the totals, as drawn (for the tests).
    std::string PortLine(int port) const;
    std::string TotalsLine(double now_ms) const;

private:
    // Where the port is now, in a plain line's words ("" for none).
    std::string StepText(int port) const;
    void Erase();
    void Draw(double now_ms);

    const StationStatus &status_;
    std::vector<std::string> ports_;  // the names, printable
    bool live_;
    int drawn_lines_ = 0;     // lines of the board now on the screen
    bool changed_ = true;
    double drawn_ms_ = 0;
    std::size_t width_ = 4;
};
