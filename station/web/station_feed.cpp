#include "station_feed.h"

#include <algorithm>
#include <utility>

StationFeed::ClientPtr StationFeed::Join(std::string first) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || clients_.size() >= kMaxClients) return nullptr;
    auto client = std::make_shared<Client>();
    client->queued.push_back(std::move(first));
    clients_.push_back(client);
    return client;
}

void StationFeed::Leave(const ClientPtr &client) {
    std::lock_guard<std::mutex> lock(mutex_);
    clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
}

void StationFeed::Publish(const std::string &event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = clients_.begin(); it != clients_.end();) {
            Client &client = **it;
            if (client.queued.size() >= kMaxQueued) {
                // Its thread is stuck in a write the client does not read:
                // the client is let go, and its place is free again.
                client.dropped = true;
                client.queued.clear();
                it = clients_.erase(it);
                continue;
            }
            client.queued.push_back(event);
            ++it;
        }
    }
    changed_.notify_all();
}

void StationFeed::Close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

StationFeed::Take StationFeed::Next(const ClientPtr &client, std::chrono::milliseconds wait,
                                    std::chrono::milliseconds gather, std::string *text) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, wait, [&] { return client->dropped || closed_ || !client->queued.empty(); });
    if (!client->queued.empty() && gather.count() > 0) {
        changed_.wait_for(lock, gather, [&] { return client->dropped || closed_; });
    }
    if (client->dropped) return Take::kEnd;
    // What was queued before the feed closed still goes out.
    if (client->queued.empty()) return closed_ ? Take::kEnd : Take::kIdle;
    text->clear();
    for (const std::string &event : client->queued) *text += event;
    client->queued.clear();
    return Take::kEvents;
}

std::size_t StationFeed::ClientCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return clients_.size();
}
