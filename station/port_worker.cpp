#include "port_worker.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "adapter_serial.h"
#include "child_process.h"
#include "console.h"
#include "device_transfer.h"
#include "globals.h"
#include "operator_display.h"
#include "platform_time.h"
#include "port_device_path.h"
#include "serial_link.h"
#include "serial_ports.h"
#include "station_events.h"
#include "system_error.h"
#include "upload_journal.h"

namespace {

// Presence: a device answers the ping within the link's TIMEOUT_MS.
constexpr double kPingIntervalMs = 1000;  // pings go at most this often
constexpr double kGoneAfterMs = 2000;     // pings unanswered this long: the device has left
// A board put in while the host was still sending (the tail of a pulled
// board's record) takes those bytes for a message and goes on taking every
// ping for more of it; it lets the message go only after a silence longer
// than its message time-out (2 s). So after this many unanswered pings in a
// row, the line is left silent for kQuietMs before the next one.
constexpr int kPingsBeforeQuiet = 3;
constexpr double kQuietMs = 3000;
// Progress goes to the parent at most this often, and at once when a record
// was accepted.
constexpr double kProgressEveryMs = 100;
// The setup's line is far shorter; a longer one is no setup.
constexpr std::size_t kMaxSetupLine = 64 * 1024;

// Set by the thread that reads the parent's requests.
std::atomic<bool> stop_taking{false};
std::atomic<bool> paused{false};
std::atomic<bool> serial_given{false};

// The worker's own setup.
const PortWorkerSetup *current = nullptr;


// A parent that has gone is not told; its end of the channel also ends the
// worker (ReadParentRequests).
void SendEvent(const StationEvent &event) { WriteToParent(EncodeEvent(event)); }

void Send(EventKind kind, uint32_t device = 0, const std::string &text = "") {
    StationEvent event;
    event.kind = kind;
    event.port = current->index;
    event.run.device = device;
    event.text = text;
    SendEvent(event);
}

// Sleeps until the monotonic time until_ms, waking early when told to stop.
void SleepUntil(double until_ms) {
    while (!stop_taking) {
        const double left = until_ms - MonotonicNowMs();
        if (left <= 0) return;
        PauseMs(static_cast<unsigned int>(std::min(left, 50.0)));
    }
}

enum class Probe { kAnswered, kSilent, kNoPort };

// Why the port did not open at the last probe that found it so, and how to
// get it when permission was the reason.
std::string port_failure;
std::string port_advice;

// The port stays open (and locked) between pings, so nothing else on the
// machine slips in between them; it is let go for the upload, which opens
// it itself, and when it went away.
bool port_open = false;

void ReleasePort() {
    if (!port_open) return;
    SerialDisconnect();
    port_open = false;
}

// Sends one ping as PingWait sends it, opening the port first when needed.
Probe ProbePort(const char *port) {
    if (!port_open) {
        const int err = SerialConnect(port);
        if (err != 0) {
            port_failure = PortOpenFailure(port, err);
            port_advice = PortPermissionAdvice(port, err);
            return Probe::kNoPort;
        }
        port_open = true;
    }
    char answer = 0;
    const bool answered = SerialSendSpecialCmd(static_cast<char>(CMD_PING)) == 0 && SerialReceive(&answer, 1) == 0 &&
                          static_cast<unsigned char>(answer) == CMD_PING;
    if (answered) return Probe::kAnswered;
    if (SerialPortLost()) {
        ReleasePort();
        port_failure = "the port hung up";
        return Probe::kNoPort;
    }
    return Probe::kSilent;
}

// When the ping after the one sent at started goes: a ping interval later,
// and after every kPingsBeforeQuiet-th unanswered ping in a row the quiet
// spell too, though not past the deadline (deadline_ms < 0: none).
double NextPingAt(double started, int unanswered, double deadline_ms) {
    const double next = started + kPingIntervalMs;
    if (unanswered == 0 || unanswered % kPingsBeforeQuiet != 0) return next;
    return deadline_ms < 0 ? next + kQuietMs : std::max(next, std::min(next + kQuietMs, deadline_ms));
}

enum class Arrival { kPresent, kStopped, kNoDevice, kPaused };

// Pings until a device answers; deadline_ms < 0 waits without end. A port
// that does not open is shown as such, with the system's reason, until it
// opens; at the deadline *no_port holds that reason, or "" when the port
// opened and nothing answered.
Arrival AwaitDevice(const char *port, double deadline_ms, uint32_t device, std::string *no_port) {
    no_port->clear();
    int unanswered = 0;
    for (;;) {
        if (stop_taking) return Arrival::kStopped;
        if (paused) return Arrival::kPaused;
        const double started = MonotonicNowMs();
        const Probe probe = ProbePort(port);
        if (probe == Probe::kAnswered) return stop_taking ? Arrival::kStopped : Arrival::kPresent;
        const std::string now_failing = probe == Probe::kNoPort ? port_failure : "";
        if (now_failing != *no_port) {
            Send(now_failing.empty() ? EventKind::kWaiting : EventKind::kNoPort, device, now_failing);
            // How to get the port, for the operator only: the record keeps the system's words.
            if (!now_failing.empty() && !port_advice.empty()) {
                Send(EventKind::kProblem, device, "this user may not open the port: " + port_advice);
            }
        }
        *no_port = now_failing;
        if (deadline_ms >= 0 && MonotonicNowMs() >= deadline_ms) return Arrival::kNoDevice;
        unanswered = probe == Probe::kSilent ? unanswered + 1 : 0;
        SleepUntil(NextPingAt(started, unanswered, deadline_ms));
    }
}

// Returns once the device has left: the port no longer opens, or its pings
// have gone unanswered for kGoneAfterMs. A device left in its fixture after
// its upload keeps answering, and is not taken for a new one.
void AwaitRemoval(const char *port) {
    double last_answer = MonotonicNowMs();
    while (!stop_taking) {
        const double started = MonotonicNowMs();
        const Probe probe = ProbePort(port);
        if (probe == Probe::kNoPort) return;
        if (probe == Probe::kAnswered) {
            last_answer = MonotonicNowMs();
        } else if (MonotonicNowMs() - last_answer >= kGoneAfterMs) {
            return;
        }
        SleepUntil(started + kPingIntervalMs);
    }
}

// Holds the present device until the parent says its serial number is
// given (kGoSerial), pinging it meanwhile: false when the device left (or
// the worker is told to stop) before that.
bool AwaitSerial(const char *port, uint32_t device) {
    // A go that answered the wait of a board that left before it came was
    // for that one; the parent answers this wait anew.
    serial_given = false;
    Send(EventKind::kAwaitingSerial, device);
    double last_answer = MonotonicNowMs();
    double next_ping = MonotonicNowMs() + kPingIntervalMs;
    while (!stop_taking) {
        if (serial_given.exchange(false)) return true;
        if (MonotonicNowMs() >= next_ping) {
            next_ping = MonotonicNowMs() + kPingIntervalMs;
            const Probe probe = ProbePort(port);
            if (probe == Probe::kNoPort) return false;
            if (probe == Probe::kAnswered) last_answer = MonotonicNowMs();
            if (MonotonicNowMs() - last_answer >= kGoneAfterMs) return false;
        }
        PauseMs(50);
    }
    return false;
}

// A paused port takes no device until it is resumed (or told to stop).
void StayPaused(uint32_t device) {
    ReleasePort();
    Send(EventKind::kPaused, device);
    while (paused && !stop_taking) PauseMs(50);
}

// The upload under way, as its progress is told to the parent.
struct Telling {
    uint32_t device = 0;
    TransferPace pace;
    double told_ms = 0;
    uint32_t told_records = 0;
    bool told = false;
};
Telling telling;

void TellProgress(const UploadProgress &progress) {
    const double now = MonotonicNowMs();
    telling.pace.Update(progress.bytes_sent, progress.records_accepted, now);
    const bool new_record = progress.records_accepted != telling.told_records;
    if (telling.told && !new_record && now - telling.told_ms < kProgressEveryMs) return;
    telling.told = true;
    telling.told_ms = now;
    telling.told_records = progress.records_accepted;
    StationEvent event;
    event.kind = EventKind::kProgress;
    event.port = current->index;
    event.run.device = telling.device;
    event.progress = progress;
    event.bytes_per_second = telling.pace.Sample();
    SendEvent(event);
}

// Only these are the board's own doing, worth another try: a board pulled
// or gone is not there to take it.
bool WorthRetrying(const DeviceRun &run) {
    return run.outcome.failure == UploadFailure::kRefused || run.outcome.failure == UploadFailure::kNoAnswer;
}

// After an attempt that failed (its exit command went out): the pause the
// device gets after every record, then a ping, since a board that fell
// silent because it was pulled must not be flashed again.
bool ReadyForRetry(const char *port) {
    SleepUntil(MonotonicNowMs() + PAUSE_MS);
    const bool answered = !stop_taking && ProbePort(port) == Probe::kAnswered;
    ReleasePort();
    return answered && !stop_taking;
}

// One upload of the present device, its progress told to the parent.
void UploadOnce(const char *port, DeviceRun &run) {
    ReleasePort();
    telling = Telling();
    telling.device = run.device;
    telling.pace.Begin(MonotonicNowMs());
    UploadSettings settings;
    settings.verify = current->verify;
    const int result = SendResourceZebmapFile(port, &run.outcome, TellProgress, settings);
    run.ok = result == 0 && run.outcome.failure == UploadFailure::kNone;
    run.attempt_reasons.push_back(FailureReason(run));
}

// The present device's run as it starts, journaled in the fixture's
// folder (the working directory) before any byte of it goes out, so that a
// station killed from here on still records the device at its next start.
// False, with *why, when the journal could not be made durable.
bool BeginRun(const char *port, uint32_t device, DeviceRun *run, std::string *why) {
    run->device = device;
    run->id = RecordId(current->run_id, current->index, device);
    run->started = UtcTimestamp();
    // The port's name may be a link (its position, its adapter): the
    // record names the device it led to, and the adapter is that device's.
    run->device_path = PortDevicePath(port);
    run->has_adapter_serial = AdapterSerial(run->device_path.c_str(), &run->adapter_serial);
    const int err = WriteJournal(".", {current->port, current->fixture, current->facts, *run});
    if (err != 0) *why = "cannot write " + JournalFileName(device) + ": " + SystemErrorText(err);
    return err == 0;
}

// Flashes the present device (its run begun and journaled) with the
// production upload, again after a refusal or no answer as often as the
// setup allows; its output, every attempt's, goes to NNNNN.out. The record
// is the last attempt's.
DeviceRun FlashDevice(const char *port, DeviceRun run) {
    const uint32_t device = run.device;
    char out_name[32];
    snprintf(out_name, sizeof out_name, "%05u.out", device);
    if (!PointStdoutAt(out_name)) {
        // The device is flashed all the same: its record is what counts.
        Send(EventKind::kProblem, device, std::string("cannot write ") + out_name + ": " + strerror(errno));
    }
    const double started = MonotonicNowMs();
    UploadOnce(port, run);
    for (int retry = 1; retry <= current->retries && !run.ok && WorthRetrying(run) && ReadyForRetry(port); ++retry) {
        printf("* Attempt %d of %d\n", retry + 1, current->retries + 1);
        UploadOnce(port, run);
    }
    run.seconds = (MonotonicNowMs() - started) / 1000.0;
    PointStdoutAt(nullptr);
    return run;
}

// Reads the parent's requests until its end; the end, or a failed read,
// means the parent is gone, and nobody would record the device.
void ReadParentRequests() {
    char request = 0;
    while (ReadFromParent(&request, 1) == 1) {
        if (request == kStopTaking) stop_taking = true;
        if (request == kPausePort) paused = true;
        if (request == kResumePort) paused = false;
        if (request == kGoSerial) serial_given = true;
        if (request == kStopNow) break;
    }
    stop_taking = true;
    RequestUploadStop();
}

// What the display would show a person goes nowhere: the worker has none.
void DropText(const char *, std::size_t) {}

void SetUpProcess(const PortWorkerSetup &setup) {
    current = &setup;
    // Each device's output file follows its upload a line at a time.
    MakeStdoutLineBuffered();
    std::thread(ReadParentRequests).detach();
    OperatorDisplayIo io;
    io.live = false;
    io.write = DropText;
    io.now_ms = MonotonicNowMs;
    io.columns = nullptr;
    SetOperatorDisplayIo(io);
}

// The setup: the first line from the parent, read a byte at a time, since
// the requests that follow it are the request reader's.
bool ReadSetup(PortWorkerSetup *setup) {
    std::string line;
    char byte = 0;
    while (line.size() <= kMaxSetupLine && ReadFromParent(&byte, 1) == 1) {
        if (byte == '\n') return DecodeSetup(line, setup);
        line += byte;
    }
    return false;
}

}  // namespace

void RunPortWorker(int argc, char **argv) {
    static PortWorkerSetup setup;
    std::error_code in_folder;
    if (argc != 2 || strcmp(argv[1], kPortWorkerArgument) != 0) std::_Exit(3);
    if (!TakeParentChannel() || !ReadSetup(&setup)) std::_Exit(3);
    std::filesystem::current_path(setup.folder, in_folder);
    if (in_folder) std::_Exit(3);
    SetUpProcess(setup);
    const char *port_name = setup.port.c_str();
    const double deadline = setup.once ? MonotonicNowMs() + setup.wait_s * 1000.0 : -1;
    // Numbers go on from the fixture's last device, across restarts.
    uint32_t device = setup.first_device > 0 ? setup.first_device - 1 : 0;
    while (!stop_taking) {
        if (paused) StayPaused(device);
        if (stop_taking) break;
        Send(EventKind::kWaiting, device);
        std::string no_port;
        const Arrival arrival = AwaitDevice(port_name, deadline, device, &no_port);
        if (arrival == Arrival::kStopped) break;
        if (arrival == Arrival::kPaused) continue;
        StationEvent finished;
        finished.kind = EventKind::kFinished;
        finished.port = setup.index;
        if (arrival == Arrival::kNoDevice) {
            finished.run.device = device + 1;
            finished.run.present = false;
            finished.run.port_failure = no_port;
            if (no_port.empty()) finished.run.device_path = PortDevicePath(port_name);
            SendEvent(finished);
            break;
        }
        // A board that left while it waited for its serial number was not
        // flashed: the port awaits the next one.
        if (setup.require_serial && !AwaitSerial(port_name, device + 1)) continue;
        Send(EventKind::kUploading, ++device);
        DeviceRun run;
        if (std::string why; !BeginRun(port_name, device, &run, &why)) {
            // A device flashed without its journal could go unrecorded.
            Send(EventKind::kProblem, device, why + "; no devices are taken on this port");
            break;
        }
        finished.run = FlashDevice(port_name, run);
        SendEvent(finished);
        if (setup.once || stop_taking) break;
        Send(EventKind::kRemoval, device);
        AwaitRemoval(port_name);
    }
    fflush(stdout);
    std::_Exit(0);
}
