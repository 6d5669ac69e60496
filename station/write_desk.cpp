#include "write_desk.h"

#include <algorithm>

#include "station_json.h"

WriteDesk::WriteDesk(std::size_t fixtures, bool allow_repeated_serial)
    : allow_repeated_(allow_repeated_serial), waiting_(fixtures) {}

void WriteDesk::Used(const std::string &serial) {
    std::lock_guard<std::mutex> lock(mutex_);
    used_.insert(serial);
}

void WriteDesk::UsedInRecords(const std::string &text) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const Json record = Json::parse(text.begin() + static_cast<std::ptrdiff_t>(at),
                                        text.begin() + static_cast<std::ptrdiff_t>(end), nullptr, false);
        if (record.is_object() && record.contains("serial") && record["serial"].is_string()) {
            used_.insert(record["serial"].get<std::string>());
        }
        at = end + 1;
    }
}

WriteAnswer WriteDesk::Ask(const WriteRequest &request) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (request.port < 0 || static_cast<std::size_t>(request.port) >= waiting_.size()) return {404, "no such fixture"};
    if (request.kind == WriteRequest::Kind::kSerial) {
        const std::string &serial = request.serial;
        const auto mine = waiting_.begin() + request.port;
        const bool waiting_elsewhere = std::any_of(waiting_.begin(), waiting_.end(), [&](const std::string &other) {
            return other == serial && &other != &*mine;
        });
        if (!allow_repeated_ && (used_.count(serial) != 0 || waiting_elsewhere)) {
            return {409, "the serial number " + serial + " is used already (allow_repeated_serial allows it)"};
        }
        *mine = serial;
    }
    requests_.push_back(request);
    return {};
}

std::vector<WriteRequest> WriteDesk::Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<WriteRequest> taken(requests_.begin(), requests_.end());
    requests_.clear();
    return taken;
}

std::optional<std::string> WriteDesk::TakeSerial(int fixture) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fixture < 0 || static_cast<std::size_t>(fixture) >= waiting_.size()) return std::nullopt;
    std::string &waiting = waiting_[static_cast<std::size_t>(fixture)];
    if (waiting.empty()) return std::nullopt;
    used_.insert(waiting);
    std::optional<std::string> serial = std::move(waiting);
    waiting.clear();
    return serial;
}
