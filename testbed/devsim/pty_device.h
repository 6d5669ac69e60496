// The simulated device on a pseudo-terminal: opens the pty and runs the
// device model on its master side, with the timing faults (answer delays,
// slow reads, hang-ups, stream pauses) that belong to the line.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "device_model.h"
#include "device_outputs.h"
#include "devsim_options.h"

namespace devsim {

// The pty pair. The device keeps a slave descriptor open itself, so a host
// that closes and reopens the port never leaves the master without a peer.
class Pty {
public:
    Pty() = default;
    ~Pty() { Close(); }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    bool Open(std::string &error);
    void Close();   // both sides
    // The master only: the host sees the line drop. The device's own slave
    // descriptor stays open until Close, so the pty's number is not handed
    // to another pty while the host may still open the old name.
    void HangUp();
    bool is_open() const { return master_ >= 0; }
    int master() const { return master_; }
    int slave() const { return slave_; }
    const std::string &slave_path() const { return slave_path_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
};

struct RunContext {
    const Options &options;
    const std::vector<uint8_t> &picture;
    Store *store = nullptr;            // null without --store, and for a line (it keeps one per device)
    Transcript *transcript = nullptr;  // null without --transcript
    int signal_fd = -1;                // signalfd for SIGINT, SIGTERM, SIGHUP, SIGCHLD
    pid_t child = -1;                  // wrapper mode's command, or -1
};

struct RunResult {
    bool ok = true;          // false when the device itself failed (store, transcript)
    std::string error;
    bool child_exited = false;
    int child_status = 0;    // exit status, or 128 + signal
};

// Plays the device, or the line of devices, until it is told to stop: a
// signal (standalone), the first exit command (--once), the last device of a
// line leaving (standalone), the end of the child (wrapper mode), or its own
// hang-up (standalone).
RunResult RunDevice(Pty &pty, const RunContext &context);

}  // namespace devsim
