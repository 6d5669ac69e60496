#include "station_events.h"

#include <cstdio>
#include <cstring>

namespace {

// Texts stay on their line.
constexpr std::size_t kMaxText = 1000;

std::string OneLine(const std::string &text) {
    std::string line = text.substr(0, kMaxText);
    for (char &c : line) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return line;
}

// text on its line as "LENGTH:TEXT ", so that it may hold anything.
std::string Counted(const std::string &text) {
    const std::string line = OneLine(text);
    return std::to_string(line.size()) + ":" + line + " ";
}

// Takes a Counted text from line at *at, moving *at past it.
bool TakeCounted(const std::string &line, std::size_t *at, std::string *text) {
    const std::size_t colon = line.find(':', *at);
    if (colon == std::string::npos || colon == *at || colon - *at > 4 ||
        line.find_first_not_of("0123456789", *at) != colon) {
        return false;
    }
    const std::size_t size = std::stoul(line.substr(*at, colon - *at));
    const std::size_t start = colon + 1;
    if (size >= line.size() - start || line[start + size] != ' ') return false;
    *text = line.substr(start, size);
    *at = start + size + 1;
    return true;
}

}  // namespace

std::string EncodeEvent(const StationEvent &event) {
    char head[256];
    const DeviceRun &run = event.run;
    const UploadOutcome &o = run.outcome;
    if (event.kind == EventKind::kFinished) {
        snprintf(head, sizeof head, "D %d %u %d %d %d %u %u %u %u %d %u %.3f ", event.port, run.device,
                 run.present ? 1 : 0, run.ok ? 1 : 0, static_cast<int>(o.failure), o.records_accepted, o.map_records,
                 o.map_bytes, o.bytes_sent, o.failed_block, static_cast<unsigned>(o.answer), run.seconds);
        // Outside texts, spaces and all: the device path and the port's
        // failure with their lengths, the serial number last.
        return head + Counted(run.device_path) + Counted(run.port_failure) +
               (run.has_adapter_serial ? "=" + OneLine(run.adapter_serial) : std::string("-")) + "\n";
    }
    snprintf(head, sizeof head, "%c %d %u", static_cast<char>(event.kind), event.port, run.device);
    if (event.kind == EventKind::kNoPort || event.kind == EventKind::kProgress || event.kind == EventKind::kProblem) {
        return head + (" " + OneLine(event.text)) + "\n";
    }
    return std::string(head) + "\n";
}

bool DecodeEvent(const std::string &line, StationEvent *event) {
    *event = StationEvent{};
    if (line.size() < 3) return false;
    const char kind = line[0];
    DeviceRun &run = event->run;
    int consumed = 0;
    if (kind == 'D') {
        UploadOutcome &o = run.outcome;
        int present = 0, ok = 0, failure = 0;
        unsigned answer = 0;
        if (sscanf(line.c_str(), "D %d %u %d %d %d %u %u %u %u %d %u %lf %n", &event->port, &run.device, &present,
                   &ok, &failure, &o.records_accepted, &o.map_records, &o.map_bytes, &o.bytes_sent, &o.failed_block,
                   &answer, &run.seconds, &consumed) != 12 ||
            consumed <= 0 || static_cast<std::size_t>(consumed) >= line.size()) {
            return false;
        }
        if (failure < 0 || failure > static_cast<int>(UploadFailure::kExitNotSent)) return false;
        run.present = present != 0;
        run.ok = ok != 0;
        o.failure = static_cast<UploadFailure>(failure);
        o.answer = static_cast<unsigned char>(answer);
        std::size_t at = static_cast<std::size_t>(consumed);
        if (!TakeCounted(line, &at, &run.device_path) || !TakeCounted(line, &at, &run.port_failure) ||
            at >= line.size()) {
            return false;
        }
        const std::string serial = line.substr(at);
        run.has_adapter_serial = serial[0] == '=';
        if (run.has_adapter_serial) run.adapter_serial = serial.substr(1);
        event->kind = EventKind::kFinished;
        return true;
    }
    if (std::strchr("WNUPRX", kind) == nullptr) return false;
    if (sscanf(line.c_str() + 1, " %d %u%n", &event->port, &run.device, &consumed) != 2) return false;
    event->kind = static_cast<EventKind>(kind);
    const std::size_t rest = 1 + static_cast<std::size_t>(consumed);
    if (rest + 1 <= line.size()) event->text = line.substr(rest + 1);
    return true;
}
