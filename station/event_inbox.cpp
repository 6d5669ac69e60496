#include "event_inbox.h"

#include <chrono>
#include <string>

EventInbox::~EventInbox() {
    for (std::thread &reader : readers_) reader.join();
}

void EventInbox::Listen(ChildProcess &child) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++reading_;
    }
    readers_.emplace_back(&EventInbox::Read, this, std::ref(child));
}

void EventInbox::Read(ChildProcess &child) {
    std::string pending;
    char buffer[8192];
    long got;
    while ((got = ReadFromChild(child, buffer, sizeof buffer)) > 0) {
        pending.append(buffer, static_cast<std::size_t>(got));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            StationEvent event;
            if (DecodeEvent(pending.substr(0, end), &event)) Add(event);
            pending.erase(0, end + 1);
        }
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    --reading_;
    arrived_.notify_one();
}

void EventInbox::Add(const StationEvent &event) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (event.kind == EventKind::kProgress) {
        // Only a progress that is still the port's latest event gives way.
        for (auto queued = queue_.rbegin(); queued != queue_.rend(); ++queued) {
            if (queued->port != event.port) continue;
            if (queued->kind != EventKind::kProgress) break;
            queued->text = event.text;
            return;
        }
    }
    queue_.push_back(event);
    arrived_.notify_one();
}

bool EventInbox::Take(std::vector<StationEvent> *events, double timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, std::chrono::duration<double, std::milli>(timeout_ms),
                      [this] { return !queue_.empty() || reading_ == 0; });
    events->assign(queue_.begin(), queue_.end());
    queue_.clear();
    return reading_ > 0 || !events->empty();
}
