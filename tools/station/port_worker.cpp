#include "port_worker.h"

#include <fcntl.h>
#include <libserialport.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include "device_transfer.h"
#include "globals.h"
#include "operator_display.h"
#include "platform_time.h"
#include "port_device_path.h"
#include "serial_link.h"
#include "serial_ports.h"
#include "station_events.h"

namespace {

// Presence: a device answers the ping within the link's TIMEOUT_MS.
constexpr double kPingIntervalMs = 1000;  // pings go at most this often
constexpr double kGoneAfterMs = 2000;     // pings unanswered this long: the device has left

volatile std::sig_atomic_t stop_taking = 0;

// The worker's own; a signal handler only sets flags.
const PortWorkerSetup *current = nullptr;

void StopAll(int) {
    stop_taking = 1;
    RequestUploadStop();
}

void StopTaking(int) { stop_taking = 1; }

double NowMs() { return static_cast<double>(MonotonicMs()); }

void Send(EventKind kind, uint32_t device = 0, const std::string &text = "") {
    StationEvent event;
    event.kind = kind;
    event.port = current->index;
    event.run.device = device;
    event.text = text;
    SendEvent(current->events_fd, event);
}

// Sleeps until the monotonic time until_ms, waking early when told to stop.
void SleepUntil(double until_ms) {
    while (!stop_taking) {
        const double left = until_ms - NowMs();
        if (left <= 0) return;
        usleep(static_cast<useconds_t>(std::min(left, 50.0) * 1000));
    }
}

enum class Probe { kAnswered, kSilent, kNoPort };

// Why the port did not open at the last probe that found it so.
std::string port_failure;

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

enum class Arrival { kPresent, kStopped, kNoDevice };

// Pings until a device answers; deadline_ms < 0 waits without end. A port
// that does not open is shown as such, with the system's reason, until it
// opens; at the deadline *no_port holds that reason, or "" when the port
// opened and nothing answered.
Arrival AwaitDevice(const char *port, double deadline_ms, uint32_t device, std::string *no_port) {
    no_port->clear();
    for (;;) {
        if (stop_taking) return Arrival::kStopped;
        const double started = NowMs();
        const Probe probe = ProbePort(port);
        if (probe == Probe::kAnswered) return stop_taking ? Arrival::kStopped : Arrival::kPresent;
        const std::string now_failing = probe == Probe::kNoPort ? port_failure : "";
        if (now_failing != *no_port) {
            Send(now_failing.empty() ? EventKind::kWaiting : EventKind::kNoPort, device, now_failing);
        }
        *no_port = now_failing;
        if (deadline_ms >= 0 && NowMs() >= deadline_ms) return Arrival::kNoDevice;
        SleepUntil(started + kPingIntervalMs);
    }
}

// Returns once the device has left: the port no longer opens, or its pings
// have gone unanswered for kGoneAfterMs. A device left in its fixture after
// its upload keeps answering, and is not taken for a new one.
void AwaitRemoval(const char *port) {
    double last_answer = NowMs();
    while (!stop_taking) {
        const double started = NowMs();
        const Probe probe = ProbePort(port);
        if (probe == Probe::kNoPort) return;
        if (probe == Probe::kAnswered) {
            last_answer = NowMs();
        } else if (NowMs() - last_answer >= kGoneAfterMs) {
            return;
        }
        SleepUntil(started + kPingIntervalMs);
    }
}

// The USB serial number of the port's adapter, when it has one.
bool AdapterSerial(const char *port, std::string *serial) {
    struct sp_port *info = nullptr;
    if (sp_get_port_by_name(port, &info) != SP_OK || info == nullptr) return false;
    const char *text = sp_get_port_transport(info) == SP_TRANSPORT_USB ? sp_get_port_usb_serial(info) : nullptr;
    if (text != nullptr) *serial = text;
    sp_free_port(info);
    return text != nullptr;
}

// The upload's live line goes to the parent instead of a terminal; the
// display draws it at most every 100 ms.
void ForwardLiveLine(const char *text, std::size_t length) {
    std::string line(text, length);
    for (const char *drop : {"\r", "\033[K", "\n"}) {
        for (std::size_t at; (at = line.find(drop)) != std::string::npos;) line.erase(at, strlen(drop));
    }
    if (line.rfind("upload", 0) == 0) Send(EventKind::kProgress, 0, line);
}

// Points standard output at path (or /dev/null); false when it cannot be opened.
bool RedirectStdout(const char *path) {
    fflush(stdout);
    const int fd = path != nullptr ? open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)
                                   : open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    dup2(fd, STDOUT_FILENO);
    close(fd);
    return true;
}

// Flashes the present device with the production upload; its output goes
// to NNNNN.out.
DeviceRun FlashDevice(const char *port, uint32_t device) {
    DeviceRun run;
    run.device = device;
    // The port's name may be a link (its position, its adapter): the
    // record names the device it led to, and the adapter is that device's.
    run.device_path = PortDevicePath(port);
    run.has_adapter_serial = AdapterSerial(run.device_path.c_str(), &run.adapter_serial);
    char out_name[32];
    snprintf(out_name, sizeof out_name, "%05u.out", device);
    if (!RedirectStdout(out_name)) {
        // The device is flashed all the same: its record is what counts.
        Send(EventKind::kProblem, device, std::string("cannot write ") + out_name + ": " + strerror(errno));
    }
    ReleasePort();
    const double started = NowMs();
    const int result = SendResourceZebmapFile(port, &run.outcome);
    run.seconds = (NowMs() - started) / 1000.0;
    run.ok = result == 0 && run.outcome.failure == UploadFailure::kNone;
    RedirectStdout(nullptr);
    return run;
}

void SetUpProcess(const PortWorkerSetup &setup) {
    current = &setup;
    // A worker never outlives the station.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = StopAll;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = StopTaking;
    sigaction(SIGUSR1, &action, nullptr);
    if (getppid() == 1) stop_taking = 1;  // the station ended before the worker began
    // A parent held up (its standard output read slowly, say) must not hold
    // up an upload: progress that does not fit into the pipe is dropped.
    const int flags = fcntl(setup.events_fd, F_GETFL);
    if (flags >= 0) fcntl(setup.events_fd, F_SETFL, flags | O_NONBLOCK);
    RedirectStdout(nullptr);
    OperatorDisplayIo io;
    io.live = true;
    io.write = ForwardLiveLine;
    io.now_ms = NowMs;
    io.columns = nullptr;
    SetOperatorDisplayIo(io);
}

}  // namespace

void RunPortWorker(const PortWorkerSetup &setup) {
    SetUpProcess(setup);
    const char *port_name = setup.port.c_str();
    const double deadline = setup.once ? NowMs() + setup.wait_s * 1000.0 : -1;
    uint32_t device = 0;
    while (!stop_taking) {
        Send(EventKind::kWaiting, device);
        std::string no_port;
        const Arrival arrival = AwaitDevice(port_name, deadline, device, &no_port);
        if (arrival == Arrival::kStopped) break;
        StationEvent finished;
        finished.kind = EventKind::kFinished;
        finished.port = setup.index;
        if (arrival == Arrival::kNoDevice) {
            finished.run.device = device + 1;
            finished.run.present = false;
            finished.run.port_failure = no_port;
            if (no_port.empty()) finished.run.device_path = PortDevicePath(port_name);
            SendEvent(setup.events_fd, finished);
            break;
        }
        Send(EventKind::kUploading, ++device);
        finished.run = FlashDevice(port_name, device);
        SendEvent(setup.events_fd, finished);
        if (setup.once || stop_taking) break;
        Send(EventKind::kRemoval, device);
        AwaitRemoval(port_name);
    }
    fflush(stdout);
    _exit(0);
}
