// The live feed of the station's web clients (/api/events): the station's
// event loop publishes, each client's own thread takes. Every client has a
// queue of its own with a bound, so publishing never waits on a client: one
// that falls that far behind (it stopped reading) is dropped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class StationFeed {
public:
    static constexpr std::size_t kMaxClients = 64;
    static constexpr std::size_t kMaxQueued = 1000;  // events a client may lag behind

    struct Client;
    using ClientPtr = std::shared_ptr<Client>;

    // A new client whose first event is first; nullptr when kMaxClients are
    // connected or the feed has closed.
    ClientPtr Join(std::string first);
    void Leave(const ClientPtr &client);

    // Queues event for every client; drops a client whose queue is full.
    void Publish(const std::string &event);
    // Ends every client's stream once it has taken what was queued; no
    // client joins after it.
    void Close();

    enum class Take { kEvents, kIdle, kEnd };
    // Waits up to wait for the client's events, then gather longer for what
    // follows them (unless the feed closes), and moves them all into text:
    // kEvents, kIdle when none came in time, kEnd when the client's stream
    // is over (the feed closed, or the client was dropped).
    Take Next(const ClientPtr &client, std::chrono::milliseconds wait, std::chrono::milliseconds gather,
              std::string *text);

    std::size_t ClientCount() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ClientPtr> clients_;
    bool closed_ = false;
};

struct StationFeed::Client {
    std::deque<std::string> queued;
    bool dropped = false;
};
