#include "event_inbox.h"

#include <chrono>
#include <string>

#include "printable_text.h"

namespace {

// Longer than any event: what a worker writes without a line feed for that
// long is no event, and is not kept.
constexpr std::size_t kMaxEventLine = 1 << 20;
// What the operator sees of a line that is no event.
constexpr std::size_t kShownOfLine = 200;

}  // namespace

EventInbox::~EventInbox() {
    for (std::thread &reader : readers_) reader.join();
}

void EventInbox::Listen(ChildProcess &child, int port) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++reading_;
    }
    readers_.emplace_back(&EventInbox::Read, this, std::ref(child), port);
}

void EventInbox::TakeLine(const std::string &line, int port) {
    StationEvent event;
    if (DecodeEvent(line, &event) && event.port == port) {
        Add(event);
        return;
    }
    // A worker's line is the station's own; one that does not read is a
    // fault the operator hears of, with what came.
    event = StationEvent{};
    event.kind = EventKind::kProblem;
    event.port = port;
    const bool cut = line.size() > kShownOfLine;
    event.text = "unreadable event: " + PrintableText(line.substr(0, kShownOfLine).c_str()) + (cut ? "..." : "");
    Add(event);
}

void EventInbox::Read(ChildProcess &child, int port) {
    std::string pending;
    bool overlong = false;  // the rest of a line already told of is dropped
    char buffer[8192];
    long got;
    while ((got = ReadFromChild(child, buffer, sizeof buffer)) > 0) {
        pending.append(buffer, static_cast<std::size_t>(got));
        std::size_t start = 0;
        for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
            if (!overlong) TakeLine(pending.substr(start, end - start), port);
            overlong = false;
        }
        pending.erase(0, start);
        if (pending.size() > kMaxEventLine) {
            if (!overlong) TakeLine(pending, port);
            overlong = true;
            pending.clear();
        }
    }
    if (!pending.empty() && !overlong) TakeLine(pending, port);
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
            *queued = event;
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
