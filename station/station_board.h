// What the operator sees on standard error: on a terminal, a live board
// with one line per port and the totals under it; otherwise one plain line
// per event. Standard output only gets the line per finished device, and
// the board steps aside for it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "device_record.h"

class StationBoard {
public:
    StationBoard(std::vector<std::string> ports, bool live, double start_ms);

    void Waiting(int port);
    // The port does not open; reason is the system's.
    void NoPort(int port, const std::string &reason);
    void Uploading(int port, uint32_t device);
    void Progress(int port, const std::string &live_line);
    // The run's line goes to standard output, and the port shows the result
    // until its device has left.
    void Finished(int port, const DeviceRun &run);
    void AwaitingRemoval(int port);
    // A message for the operator, above the board.
    void Say(const std::string &text);

    // Draws the board again when it is live and something changed, or when
    // the last drawing is older than a second (the totals move with time).
    void Refresh(double now_ms);
    // Leaves the board as it is, below everything else, for good.
    void Close(double now_ms);

    // The line of one port, and the totals, as drawn (for the tests).
    std::string PortLine(int port) const;
    std::string TotalsLine(double now_ms) const;

private:
    struct PortState {
        std::string status = "starting";
        std::string last;  // the last device's result, shown while waiting
    };

    void Plain(int port, const std::string &text);
    void Erase();
    void Draw(double now_ms);

    std::vector<std::string> ports_;
    std::vector<PortState> states_;
    bool live_;
    double start_ms_;
    uint32_t ok_ = 0;
    uint32_t failed_ = 0;
    int drawn_lines_ = 0;     // lines of the board now on the screen
    bool changed_ = true;
    double drawn_ms_ = 0;
    std::size_t width_ = 4;
};
