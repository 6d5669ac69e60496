// The parent's side of the workers' events: a thread per worker reads its
// standard output and turns each line into an event in one queue, which the
// station's event loop takes from. A line that is no event reaches the loop
// as a problem of its port, with its text. The workers never wait for a busy loop
// (its standard output read slowly, say): the readers keep their pipes
// empty, and a worker's progress the loop has not taken yet is replaced by
// the newer one.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "child_process.h"
#include "station_events.h"

class EventInbox {
public:
    EventInbox() = default;
    ~EventInbox();  // waits for the readers, which end with their workers' outputs
    EventInbox(const EventInbox &) = delete;
    EventInbox &operator=(const EventInbox &) = delete;

    // Reads the events of child, the worker of port, from now on; child must
    // outlive the inbox.
    void Listen(ChildProcess &child, int port);

    // Waits up to timeout_ms for events and moves every one that came into
    // events, in order. false once every reader has ended and all is taken.
    bool Take(std::vector<StationEvent> *events, double timeout_ms);

private:
    void Read(ChildProcess &child, int port);
    void TakeLine(const std::string &line, int port);
    void Add(const StationEvent &event);

    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<StationEvent> queue_;
    int reading_ = 0;  // readers whose worker's output has not ended
    std::vector<std::thread> readers_;
};
