// In-memory stand-in for libserialport: see fake_libserialport.h.
#include "fake_libserialport.h"

#include "platform_time.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>

// The library's handles are opaque to its users, so the stand-in is free to
// give them its own shape.
struct sp_port_config {
    int baudrate = -1;
    int bits = -1;
    int parity = -1;
    int stopbits = -1;
    int rts = -1;
    int cts = -1;
    int dtr = -1;
    int dsr = -1;
    int xon_xoff = -1;
};

struct sp_port {
    std::string name;
    bool open = false;
    sp_port_config applied;
};

namespace fakesp {
namespace {

// Time comes from the program's own clock, so that a virtual clock (fuzz
// targets) also drives the stand-in's delays and time-outs.
uint64_t NowMs() { return MonotonicMs(); }
void SleepUntilMs(uint64_t when) {
    const uint64_t now = NowMs();
    if (when > now) PauseMs(static_cast<unsigned int>(when - now));
}

struct Rule {
    std::string name;
    std::size_t first;
    std::size_t last;
    int result;
};

struct QueuedByte {
    uint64_t due;  // milliseconds on the program clock
    unsigned char byte;
};

struct State {
    bool recording = true;
    std::vector<Call> calls;
    std::map<std::string, std::size_t> call_counts;
    std::vector<Rule> rules;
    std::string last_error = "fake port error";
    int outstanding_messages = 0;
    DeviceHook device;
    std::deque<QueuedByte> to_read;
    Bytes written;
    std::size_t bytes_read = 0;
    std::size_t discarded = 0;
    std::map<int, int> flushes;
    int drains = 0;
    std::string last_port_name;
    sp_port *last_port = nullptr;
};

State &S() {
    static State state;
    return state;
}

// Handles live until the process ends: the code under test keeps them in
// process-wide variables across tests.
std::vector<std::unique_ptr<sp_port>> &Ports() {
    static std::vector<std::unique_ptr<sp_port>> ports;
    return ports;
}
std::vector<std::unique_ptr<sp_port_config>> &Configs() {
    static std::vector<std::unique_ptr<sp_port_config>> configs;
    return configs;
}

// Records the call and returns the scripted result for it, if any.
std::optional<int> Enter(const char *name, std::vector<long long> args) {
    State &s = S();
    const std::size_t nth = ++s.call_counts[name];
    if (s.recording) s.calls.push_back(Call{name, std::move(args)});
    for (auto it = s.rules.rbegin(); it != s.rules.rend(); ++it) {
        if (it->name == name && nth >= it->first && nth <= it->last) return it->result;
    }
    return std::nullopt;
}

bool Usable(const sp_port *p) {
    if (p == nullptr) return false;
    // Newest first: the port in use is nearly always the last one made, and
    // long runs (fuzzing) make hundreds of thousands of them.
    const auto &ports = Ports();
    for (auto owned = ports.rbegin(); owned != ports.rend(); ++owned) {
        if (owned->get() == p) return p->open;
    }
    return false;
}

sp_return Result(int value) { return static_cast<sp_return>(value); }

// Drops the queued bytes that have already arrived.
void DiscardArrived() {
    State &s = S();
    const uint64_t now = NowMs();
    while (!s.to_read.empty() && s.to_read.front().due <= now) {
        s.to_read.pop_front();
        ++s.discarded;
    }
}

// Hands out up to limit bytes, waiting for them at most timeout_ms
// (0: until the queue can give no more).
int Deliver(unsigned char *out, std::size_t limit, unsigned int timeout_ms) {
    State &s = S();
    const uint64_t deadline = NowMs() + timeout_ms;
    std::size_t got = 0;
    for (;;) {
        const uint64_t now = NowMs();
        while (got < limit && !s.to_read.empty() && s.to_read.front().due <= now) {
            out[got++] = s.to_read.front().byte;
            s.to_read.pop_front();
        }
        if (got == limit) break;
        if (timeout_ms == 0) {
            if (s.to_read.empty()) break;
            SleepUntilMs(s.to_read.front().due);
            continue;
        }
        if (now >= deadline) break;
        auto wake = deadline;
        if (!s.to_read.empty()) wake = std::min(wake, s.to_read.front().due);
        SleepUntilMs(wake);
    }
    s.bytes_read += got;
    return static_cast<int>(got);
}

}  // namespace

bool Call::operator==(const Call &other) const {
    return std::strcmp(name, other.name) == 0 && args == other.args;
}

void Reset() {
    State &s = S();
    const int outstanding = s.outstanding_messages;
    s = State{};
    s.outstanding_messages = outstanding;  // messages still out must still be freed
    for (auto &p : Ports()) p->open = false;
}

void ClearHistory() {
    State &s = S();
    s.calls.clear();
    s.call_counts.clear();
    s.written.clear();
    s.bytes_read = 0;
    s.discarded = 0;
    s.flushes.clear();
    s.drains = 0;
}

const std::vector<Call> &Calls() { return S().calls; }

std::vector<std::string> CallNames() {
    std::vector<std::string> names;
    for (const Call &call : S().calls) names.emplace_back(call.name);
    return names;
}

std::size_t CountCalls(const std::string &name) {
    const auto &counts = S().call_counts;
    const auto it = counts.find(name);
    return it == counts.end() ? 0 : it->second;
}

void SetRecording(bool on) { S().recording = on; }
const std::string &LastPortName() { return S().last_port_name; }

void SetResult(const std::string &name, int result) {
    S().rules.push_back(Rule{name, 1, SIZE_MAX, result});
}
void SetResultOnCall(const std::string &name, std::size_t nth, int result) {
    S().rules.push_back(Rule{name, nth, nth, result});
}
void SetResultFromCall(const std::string &name, std::size_t nth, int result) {
    S().rules.push_back(Rule{name, nth, SIZE_MAX, result});
}

void SetLastErrorMessage(const std::string &text) { S().last_error = text; }
int OutstandingErrorMessages() { return S().outstanding_messages; }

void SetDevice(DeviceHook hook) { S().device = std::move(hook); }

void QueueRead(const Bytes &bytes, unsigned int delay_ms) {
    State &s = S();
    uint64_t due = NowMs() + delay_ms;
    // A byte never arrives before one queued earlier.
    if (!s.to_read.empty()) due = std::max(due, s.to_read.back().due);
    for (unsigned char byte : bytes) s.to_read.push_back(QueuedByte{due, byte});
}

std::size_t PendingReadBytes() { return S().to_read.size(); }
const Bytes &Written() { return S().written; }
std::size_t BytesRead() { return S().bytes_read; }
std::size_t DiscardedBytes() { return S().discarded; }

int FlushCount(sp_buffer which) {
    const auto &flushes = S().flushes;
    const auto it = flushes.find(static_cast<int>(which));
    return it == flushes.end() ? 0 : it->second;
}

int DrainCount() { return S().drains; }
bool PortOpen() { return S().last_port != nullptr && S().last_port->open; }

}  // namespace fakesp

using fakesp::Enter;
using fakesp::Result;
using fakesp::S;
using fakesp::Usable;

extern "C" {

// ---- ports and configurations ---------------------------------------------

enum sp_return sp_get_port_by_name(const char *portname, struct sp_port **port_ptr) {
    const auto scripted = Enter("sp_get_port_by_name", {});
    S().last_port_name = portname != nullptr ? portname : "";
    if (port_ptr == nullptr) return SP_ERR_ARG;
    *port_ptr = nullptr;
    if (scripted && *scripted != SP_OK) return Result(*scripted);
    if (portname == nullptr) return SP_ERR_ARG;
    auto &ports = fakesp::Ports();
    ports.push_back(std::make_unique<sp_port>());
    ports.back()->name = portname;
    *port_ptr = ports.back().get();
    S().last_port = *port_ptr;
    return SP_OK;
}

void sp_free_port(struct sp_port *port_) {
    // Kept until exit; the code under test may still hold the handle.
    Enter("sp_free_port", {});
    if (port_ != nullptr) port_->open = false;
}

enum sp_return sp_list_ports(struct sp_port ***list_ptr) {
    const auto scripted = Enter("sp_list_ports", {});
    if (list_ptr == nullptr) return SP_ERR_ARG;
    *list_ptr = nullptr;
    if (scripted && *scripted != SP_OK) return Result(*scripted);
    // No ports: a list holding only its terminating null.
    *list_ptr = static_cast<struct sp_port **>(std::calloc(1, sizeof(struct sp_port *)));
    return *list_ptr != nullptr ? SP_OK : SP_ERR_MEM;
}

void sp_free_port_list(struct sp_port **ports) {
    Enter("sp_free_port_list", {});
    std::free(ports);
}

char *sp_get_port_name(const struct sp_port *port_) {
    Enter("sp_get_port_name", {});
    return port_ != nullptr ? const_cast<char *>(port_->name.c_str()) : nullptr;
}

enum sp_return sp_open(struct sp_port *port_, enum sp_mode flags) {
    const auto scripted = Enter("sp_open", {flags});
    if (scripted && *scripted != SP_OK) return Result(*scripted);
    if (port_ == nullptr) return SP_ERR_ARG;
    port_->open = true;
    return SP_OK;
}

enum sp_return sp_close(struct sp_port *port_) {
    const auto scripted = Enter("sp_close", {});
    if (scripted && *scripted != SP_OK) return Result(*scripted);
    if (!Usable(port_)) return SP_ERR_ARG;
    port_->open = false;
    return SP_OK;
}

enum sp_return sp_new_config(struct sp_port_config **config_ptr) {
    const auto scripted = Enter("sp_new_config", {});
    if (config_ptr == nullptr) return SP_ERR_ARG;
    *config_ptr = nullptr;
    if (scripted && *scripted != SP_OK) return Result(*scripted);
    auto &configs = fakesp::Configs();
    configs.push_back(std::make_unique<sp_port_config>());
    *config_ptr = configs.back().get();
    return SP_OK;
}

void sp_free_config(struct sp_port_config *) {
    // Kept until exit, like the ports.
    Enter("sp_free_config", {});
}

enum sp_return sp_get_config(struct sp_port *port_, struct sp_port_config *config) {
    const auto scripted = Enter("sp_get_config", {});
    if (scripted && *scripted != SP_OK) return Result(*scripted);
    if (!Usable(port_) || config == nullptr) return SP_ERR_ARG;
    *config = port_->applied;
    return SP_OK;
}

enum sp_return sp_set_config(struct sp_port *port_, const struct sp_port_config *config) {
    const auto scripted = Enter("sp_set_config", {});
    if (scripted && *scripted != SP_OK) return Result(*scripted);
    if (!Usable(port_) || config == nullptr) return SP_ERR_ARG;
    // As the library does: fields left at -1 keep the port's setting.
    int sp_port_config::*const fields[] = {
        &sp_port_config::baudrate, &sp_port_config::bits, &sp_port_config::parity,
        &sp_port_config::stopbits, &sp_port_config::rts,  &sp_port_config::cts,
        &sp_port_config::dtr,      &sp_port_config::dsr,  &sp_port_config::xon_xoff};
    for (const auto field : fields) {
        if (config->*field != -1) port_->applied.*field = config->*field;
    }
    return SP_OK;
}

// One setter and one getter per field: the setter records its value, the
// getter reads the configuration back.
#define FAKE_CONFIG_FIELD(field, type)                                                          \
    enum sp_return sp_set_config_##field(struct sp_port_config *config, type value) {          \
        const auto scripted = Enter("sp_set_config_" #field, {static_cast<long long>(value)}); \
        if (scripted && *scripted != SP_OK) return Result(*scripted);                          \
        if (config == nullptr) return SP_ERR_ARG;                                              \
        config->field = static_cast<int>(value);                                               \
        return SP_OK;                                                                          \
    }                                                                                          \
    enum sp_return sp_get_config_##field(const struct sp_port_config *config, type *value) {   \
        const auto scripted = Enter("sp_get_config_" #field, {});                              \
        if (scripted && *scripted != SP_OK) return Result(*scripted);                          \
        if (config == nullptr || value == nullptr) return SP_ERR_ARG;                          \
        *value = static_cast<type>(config->field);                                             \
        return SP_OK;                                                                          \
    }

FAKE_CONFIG_FIELD(baudrate, int)
FAKE_CONFIG_FIELD(bits, int)
FAKE_CONFIG_FIELD(parity, enum sp_parity)
FAKE_CONFIG_FIELD(stopbits, int)
FAKE_CONFIG_FIELD(rts, enum sp_rts)
FAKE_CONFIG_FIELD(cts, enum sp_cts)
FAKE_CONFIG_FIELD(dtr, enum sp_dtr)
FAKE_CONFIG_FIELD(dsr, enum sp_dsr)
FAKE_CONFIG_FIELD(xon_xoff, enum sp_xonxoff)

#undef FAKE_CONFIG_FIELD

enum sp_return sp_set_config_flowcontrol(struct sp_port_config *config,
                                         enum sp_flowcontrol flowcontrol) {
    const auto scripted = Enter("sp_set_config_flowcontrol", {flowcontrol});
    if (scripted && *scripted != SP_OK) return Result(*scripted);
    if (config == nullptr) return SP_ERR_ARG;
    // The library's mapping of a flow control onto the single lines.
    config->xon_xoff = flowcontrol == SP_FLOWCONTROL_XONXOFF ? SP_XONXOFF_INOUT : SP_XONXOFF_DISABLED;
    if (flowcontrol == SP_FLOWCONTROL_RTSCTS) {
        config->rts = SP_RTS_FLOW_CONTROL;
        config->cts = SP_CTS_FLOW_CONTROL;
    } else {
        if (config->rts == SP_RTS_FLOW_CONTROL) config->rts = SP_RTS_ON;
        config->cts = SP_CTS_IGNORE;
    }
    if (flowcontrol == SP_FLOWCONTROL_DTRDSR) {
        config->dtr = SP_DTR_FLOW_CONTROL;
        config->dsr = SP_DSR_FLOW_CONTROL;
    } else {
        if (config->dtr == SP_DTR_FLOW_CONTROL) config->dtr = SP_DTR_ON;
        config->dsr = SP_DSR_IGNORE;
    }
    return SP_OK;
}

// ---- data -------------------------------------------------------------------

enum sp_return sp_flush(struct sp_port *port_, enum sp_buffer buffers) {
    const auto scripted = Enter("sp_flush", {buffers});
    ++S().flushes[static_cast<int>(buffers)];
    if (scripted && *scripted != SP_OK) return Result(*scripted);
    if (!Usable(port_)) return SP_ERR_ARG;
    // Output is "on the line" as soon as it is written; only input can be lost.
    if (buffers & SP_BUF_INPUT) fakesp::DiscardArrived();
    return SP_OK;
}

enum sp_return sp_drain(struct sp_port *port_) {
    const auto scripted = Enter("sp_drain", {});
    ++S().drains;
    if (scripted && *scripted != SP_OK) return Result(*scripted);
    return Usable(port_) ? SP_OK : SP_ERR_ARG;
}

enum sp_return sp_blocking_write(struct sp_port *port_, const void *buf, size_t count,
                                 unsigned int timeout_ms) {
    const auto scripted = Enter("sp_blocking_write",
                                {static_cast<long long>(count), static_cast<long long>(timeout_ms)});
    std::size_t n = count;
    if (scripted) {
        if (*scripted <= 0) return Result(*scripted);
        n = std::min(count, static_cast<std::size_t>(*scripted));
    } else if (!Usable(port_) || buf == nullptr) {
        return SP_ERR_ARG;
    }
    if (buf == nullptr) return SP_ERR_ARG;
    const auto *bytes = static_cast<const unsigned char *>(buf);
    for (std::size_t i = 0; i < n; ++i) {
        S().written.push_back(bytes[i]);
        if (S().device) S().device(bytes[i]);
    }
    return Result(static_cast<int>(std::min<std::size_t>(n, INT_MAX)));
}

enum sp_return sp_blocking_read(struct sp_port *port_, void *buf, size_t count,
                                unsigned int timeout_ms) {
    const auto scripted = Enter("sp_blocking_read",
                                {static_cast<long long>(count), static_cast<long long>(timeout_ms)});
    std::size_t limit = count;
    if (scripted) {
        if (*scripted < 0) return Result(*scripted);
        if (*scripted == 0) {
            // Nothing arrives: the call takes its whole time-out, as a real one would.
            PauseMs(timeout_ms);
            return Result(0);
        }
        limit = std::min(count, static_cast<std::size_t>(*scripted));
    }
    if (!Usable(port_) || buf == nullptr) return SP_ERR_ARG;
    limit = std::min<std::size_t>(limit, INT_MAX);
    return Result(fakesp::Deliver(static_cast<unsigned char *>(buf), limit, timeout_ms));
}

// ---- errors -------------------------------------------------------------------

// A passing error unless a test scripts another code (EIO: the port is gone).
int sp_last_error_code(void) {
    const auto scripted = fakesp::Enter("sp_last_error_code", {});
    return scripted ? *scripted : EAGAIN;
}

char *sp_last_error_message(void) {
    Enter("sp_last_error_message", {});
    char *message = strdup(S().last_error.c_str());
    if (message != nullptr) ++S().outstanding_messages;
    return message;
}

void sp_free_error_message(char *message) {
    Enter("sp_free_error_message", {});
    if (message != nullptr) --S().outstanding_messages;
    std::free(message);
}

// The stand-in prints no debug messages, so there is no handler to change.
// Not recorded: it says nothing about the conversation with the device.
void sp_set_debug_handler(void (*)(const char *format, ...)) {}

// No file descriptor behind the stand-in's ports: the port lock is skipped.
enum sp_return sp_get_port_handle(const struct sp_port *, void *result_ptr) {
    const auto scripted = fakesp::Enter("sp_get_port_handle", {});
    if (result_ptr == nullptr) return SP_ERR_ARG;
    *static_cast<int *>(result_ptr) = -1;
    return scripted ? static_cast<sp_return>(*scripted) : SP_ERR_SUPP;
}

}  // extern "C"
