#include "pty_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <thread>

#include "device_line.h"
#include "screenshot.h"

namespace devsim {

bool Pty::Open(std::string &error) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        Close();
        return false;
    }
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0) {
        error = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
        Close();
        return false;
    }
    slave_path_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (slave_ < 0 || ::tcgetattr(slave_, &tio) != 0) {
        error = "cannot open " + slave_path_ + ": " + std::strerror(errno);
        Close();
        return false;
    }
    // Raw bytes both ways: no echo, no line editing, no CR/LF translation.
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    if (::tcsetattr(slave_, TCSANOW, &tio) != 0) {
        error = "cannot set raw mode on " + slave_path_ + ": " + std::strerror(errno);
        Close();
        return false;
    }
    const int flags = ::fcntl(master_, F_GETFL);
    if (flags < 0 || ::fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) {
        error = std::string("cannot make the pty non-blocking: ") + std::strerror(errno);
        Close();
        return false;
    }
    return true;
}

void Pty::HangUp() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

void Pty::Close() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
    slave_ = master_ = -1;
}

namespace {

constexpr size_t kChunk = 4096;
constexpr Millis kStreamStall{3000};   // nobody reads: the host has gone
constexpr Millis kIdlePoll{1000};
constexpr Millis kReadRetry{10};       // after a read error on the master

struct PendingReply {
    Clock::time_point due;
    std::vector<uint8_t> bytes;
    size_t sent = 0;
};

bool LeavesAfterExit(const RunContext &context) {
    // The one device of today's single-device runs stays after its exit
    // command, unless --once ends the standalone device there.
    return context.options.devices > 1 || (context.options.once && context.child <= 0);
}

class DeviceLoop {
public:
    DeviceLoop(Pty &pty, const RunContext &context)
        : pty_(pty), ctx_(context), settings_(context.options.SettingsFor(1)), model_(settings_.faults),
          start_(Clock::now()),
          line_(context.options.devices, Millis(context.options.gap_ms), Millis(context.options.linger_ms),
                LeavesAfterExit(context), start_),
          pacer_(context.options.baud), store_(context.store) {}

    RunResult Run();

private:
    uint64_t Micros(Clock::time_point t) const {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(t - start_).count());
    }
    void Log(const std::string &text) const {
        if (ctx_.options.verbose) std::fprintf(stderr, "devsim: %s\n", text.c_str());
    }
    void Fail(const std::string &error) {
        std::fprintf(stderr, "devsim: %s\n", error.c_str());
        if (result_.ok) result_.error = error;
        result_.ok = false;
    }

    void HandleSignals();
    void AdvanceLine(Clock::time_point now, bool between_reads = false);
    void DropUnreadHostBytes(Clock::time_point now);
    void DeviceLeft(uint64_t device);
    void DeviceArrived();
    void CheckPull(Clock::time_point now);
    bool OpenDeviceStore();
    void WriteStatus(bool left);
    bool OutputDue(Clock::time_point now) const;
    bool ReadHost();  // false when nothing more is to be had now
    void HandleByte(uint8_t byte, Clock::time_point now);
    void SendReplies(Clock::time_point now);
    void PumpStream(Clock::time_point now);
    void CheckQuiet(Clock::time_point now);
    void Hangup();
    bool WantWrite(Clock::time_point now) const;
    int PollTimeoutMs(Clock::time_point now) const;

    Pty &pty_;
    const RunContext &ctx_;
    DeviceSettings settings_;  // the present device's faults
    DeviceModel model_;
    const Clock::time_point start_;
    DeviceLine line_;
    LinePacer pacer_;
    Store *store_;             // the present device's records, or null
    Store device_store_;       // a line's: DIR/device-NNNNN
    bool pulled_ = false;
    RunResult result_;
    bool stop_ = false;

    std::deque<PendingReply> replies_;
    std::optional<ScreenshotStream> stream_;
    Clock::time_point stream_resume_at_{};
    Clock::time_point stream_progress_at_{};
    uint64_t host_bytes_ = 0;
    Clock::time_point last_host_byte_{};
    Clock::time_point read_blocked_until_{};
};

RunResult DeviceLoop::Run() {
    if (ctx_.options.devices > 1 && !ctx_.options.store_dir.empty() && !OpenDeviceStore()) return result_;
    if (settings_.hangup_after && *settings_.hangup_after == 0) Hangup();

    while (!stop_) {
        Clock::time_point now = Clock::now();
        AdvanceLine(now, true);
        if (pty_.is_open() && !stop_) {
            SendReplies(now);
            PumpStream(now);
            if (!OutputDue(now)) pacer_.Idle();
            CheckQuiet(now);
        }
        if (ctx_.transcript != nullptr && !ctx_.transcript->Flush()) Fail("cannot write the transcript");
        if (stop_) break;

        pollfd fds[2] = {{ctx_.signal_fd, POLLIN, 0}, {-1, 0, 0}};
        if (pty_.is_open()) {
            fds[1].fd = pty_.master();
            if (now >= read_blocked_until_) fds[1].events |= POLLIN;
            if (WantWrite(now)) fds[1].events |= POLLOUT;
        }
        const int ready = ::poll(fds, 2, PollTimeoutMs(now));
        if (ready < 0 && errno != EINTR) {
            Fail(std::string("poll failed: ") + std::strerror(errno));
            break;
        }
        if (ready <= 0) continue;
        if (fds[0].revents & POLLIN) HandleSignals();
        if (stop_ || !pty_.is_open()) continue;
        if (fds[1].revents & POLLIN) {
            ReadHost();
        } else if (fds[1].revents & (POLLHUP | POLLERR)) {
            // No slave side at all; cannot last while we hold one, but never spin.
            read_blocked_until_ = Clock::now() + kReadRetry;
        }
    }
    if (ctx_.transcript != nullptr && !ctx_.transcript->Flush()) Fail("cannot write the transcript");
    return result_;
}

void DeviceLoop::HandleSignals() {
    signalfd_siginfo info{};
    while (::read(ctx_.signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        const int sig = static_cast<int>(info.ssi_signo);
        if (sig == SIGCHLD) {
            if (ctx_.child <= 0 || result_.child_exited) continue;
            int status = 0;
            const pid_t done = ::waitpid(ctx_.child, &status, WNOHANG);
            if (done != ctx_.child) continue;
            result_.child_exited = true;
            result_.child_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            // Whatever the command wrote last still belongs in the transcript.
            while (pty_.is_open() && ReadHost()) {
            }
            Log("command ended with status " + std::to_string(result_.child_status));
            stop_ = true;
        } else if (ctx_.child > 0 && !result_.child_exited) {
            ::kill(ctx_.child, sig);  // the command decides; we wait for it
        } else {
            Log(std::string("stopped by signal ") + std::to_string(sig));
            stop_ = true;
        }
    }
}

void DeviceLoop::AdvanceLine(Clock::time_point now, bool between_reads) {
    const DeviceLine::Change change = line_.Advance(now);
    if (change.left) DeviceLeft(line_.device() - (change.arrived ? 1 : 0));
    if (change.arrived && between_reads) DropUnreadHostBytes(now);
    if (change.arrived) DeviceArrived();
    if (line_.done() && ctx_.child <= 0) stop_ = true;
}

void DeviceLoop::DeviceLeft(uint64_t device) {
    const std::string dropped = model_.AbandonPartialMessage();
    if (!dropped.empty()) Log(dropped);
    Log("device " + std::to_string(device) + (pulled_ ? " pulled" : " left") + " after " +
        std::to_string(host_bytes_) + " bytes from the host");
    // Nothing more comes from a device that has gone.
    replies_.clear();
    stream_.reset();
    WriteStatus(true);
}

// What the host sent while the fixture was empty reached no board. Bytes
// still unread in the pty when the next board arrives (the loop was late to
// read them) came before it, and are lost as on a real line rather than
// handed to the new board. Inside a read (gap 0) the bytes already read
// meet the new board in their order instead.
void DeviceLoop::DropUnreadHostBytes(Clock::time_point now) {
    if (!pty_.is_open()) return;
    uint8_t buffer[kChunk];
    uint64_t dropped = 0;
    for (ssize_t n; (n = ::read(pty_.master(), buffer, sizeof buffer)) > 0;) {
        for (ssize_t i = 0; i < n && ctx_.transcript != nullptr; ++i) ctx_.transcript->Add(Micros(now), 'H', buffer[i]);
        dropped += static_cast<uint64_t>(n);
    }
    if (dropped > 0) Log(std::to_string(dropped) + " bytes sent while the fixture was empty dropped");
}

void DeviceLoop::DeviceArrived() {
    const uint64_t device = line_.device();
    settings_ = ctx_.options.SettingsFor(device);
    model_ = DeviceModel(settings_.faults);
    host_bytes_ = 0;
    pulled_ = false;
    Log("device " + std::to_string(device) + " arrived");
    if (!ctx_.options.store_dir.empty() && !OpenDeviceStore()) return;
    if (settings_.hangup_after && *settings_.hangup_after == 0) Hangup();
}

bool DeviceLoop::OpenDeviceStore() {
    std::string error;
    const std::string dir = ctx_.options.store_dir + "/" + DeviceFolderName(line_.device());
    if (!device_store_.Open(dir, error)) {
        Fail(error);
        stop_ = true;
        return false;
    }
    store_ = &device_store_;
    WriteStatus(false);
    return true;
}

void DeviceLoop::WriteStatus(bool left) {
    if (store_ != &device_store_) return;  // a line of one keeps today's store only
    std::string error;
    const DeviceStatus status{model_.put_messages(), model_.refusals(), model_.exit_received(), pulled_, left};
    if (!WriteDeviceStatus(device_store_.dir(), status, error)) Fail(error);
}

void DeviceLoop::CheckPull(Clock::time_point now) {
    if (!settings_.pull_after || pulled_ || model_.put_bytes() < *settings_.pull_after) return;
    pulled_ = true;
    line_.Pull(now);
}

bool DeviceLoop::ReadHost() {
    size_t want = settings_.read_delay_us > 0 ? 1 : kChunk;
    if (settings_.hangup_after)
        want = static_cast<size_t>(std::min<uint64_t>(want, *settings_.hangup_after - host_bytes_));
    uint8_t buffer[kChunk];
    const ssize_t n = ::read(pty_.master(), buffer, want);
    const Clock::time_point now = Clock::now();
    if (n <= 0) {
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            // EIO: no slave open. We hold one, so this is transient at most.
            if (errno != EIO) Log(std::string("read error: ") + std::strerror(errno));
            read_blocked_until_ = now + kReadRetry;
        }
        return false;
    }
    for (ssize_t i = 0; i < n && pty_.is_open(); ++i) HandleByte(buffer[i], now);
    if (settings_.read_delay_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(settings_.read_delay_us));
    return pty_.is_open();
}

void DeviceLoop::HandleByte(uint8_t byte, Clock::time_point now) {
    if (ctx_.transcript != nullptr) ctx_.transcript->Add(Micros(now), 'H', byte);
    if (!line_.present()) return;  // between two devices the fixture is empty
    ++host_bytes_;
    last_host_byte_ = now;
    if (stream_) {
        Log("screenshot stream cut short after " + std::to_string(stream_->position()) +
            " bytes: the host sent a byte");
        stream_.reset();
    }

    Step step = model_.Consume(byte);
    if (!step.note.empty()) Log(step.note);
    if (!step.reply.empty())
        replies_.push_back({now + Millis(step.reply_delay_ms), std::move(step.reply), 0});
    if (step.records_changed && store_ != nullptr) {
        const auto &records = model_.records();
        const uint16_t *changed = records.empty() ? nullptr : &records.back().block;
        std::string error;
        if (!store_->Write(records, changed, error)) Fail(error);
    }
    if (step.put_complete || step.session_end) WriteStatus(false);
    if (step.start_stream) {
        StreamPlan plan;
        plan.length = settings_.get_bytes.value_or(ctx_.picture.size());
        plan.endless = settings_.get_endless;
        plan.pause_after = settings_.get_pause_after;
        plan.pause_ms = settings_.get_pause_ms;
        stream_.emplace(ctx_.picture, plan);
        stream_progress_at_ = now;
        stream_resume_at_ = now;
        if (stream_->Done()) {
            Log("screenshot stream: nothing to send");
            stream_.reset();
        }
    }
    if (step.session_end) line_.Exit(now);
    CheckPull(now);
    // The bytes that follow in the same read meet the line as it is now.
    AdvanceLine(now);
    if (settings_.hangup_after && host_bytes_ >= *settings_.hangup_after) Hangup();
}

void DeviceLoop::SendReplies(Clock::time_point now) {
    while (!replies_.empty() && replies_.front().due <= now) {
        PendingReply &reply = replies_.front();
        const size_t room = pacer_.Room(now, reply.bytes.size() - reply.sent);
        if (room == 0) return;
        const ssize_t n = ::write(pty_.master(), reply.bytes.data() + reply.sent, room);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) return;
            Log(std::string("cannot answer: ") + std::strerror(errno));
            replies_.pop_front();
            continue;
        }
        const Clock::time_point written = Clock::now();
        pacer_.Sent(static_cast<size_t>(n), now);
        for (ssize_t i = 0; i < n; ++i)
            if (ctx_.transcript != nullptr) ctx_.transcript->Add(Micros(written), 'D', reply.bytes[reply.sent + i]);
        reply.sent += static_cast<size_t>(n);
        if (reply.sent == reply.bytes.size()) replies_.pop_front();
    }
}

void DeviceLoop::PumpStream(Clock::time_point now) {
    if (!stream_ || now < stream_resume_at_) return;
    if (stream_->PauseDue()) {
        stream_->PauseTaken();
        stream_resume_at_ = now + Millis(stream_->pause_ms());
        stream_progress_at_ = stream_resume_at_;
        Log("screenshot stream paused after " + std::to_string(stream_->position()) + " bytes for " +
            std::to_string(stream_->pause_ms()) + " ms");
        return;
    }
    uint8_t buffer[kChunk];
    const size_t count = stream_->Peek(buffer, pacer_.Room(now, sizeof buffer));
    if (count > 0) {
        const ssize_t n = ::write(pty_.master(), buffer, count);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            Log(std::string("screenshot stream broken: ") + std::strerror(errno));
            stream_.reset();
            return;
        }
        if (n > 0) {
            const Clock::time_point written = Clock::now();
            pacer_.Sent(static_cast<size_t>(n), now);
            for (ssize_t i = 0; i < n; ++i)
                if (ctx_.transcript != nullptr) ctx_.transcript->Add(Micros(written), 'D', buffer[i]);
            stream_->Advance(static_cast<size_t>(n));
            stream_progress_at_ = written;
        }
    }
    if (stream_->Done()) {
        Log("screenshot stream complete: " + std::to_string(stream_->position()) + " bytes");
        stream_.reset();
    }
}

void DeviceLoop::CheckQuiet(Clock::time_point now) {
    const int timeout = ctx_.options.message_timeout_ms;
    if (timeout > 0 && model_.InMessage() && now - last_host_byte_ > Millis(timeout)) {
        const std::string note = model_.AbandonPartialMessage();
        if (!note.empty()) Log(note);
    }
    if (stream_ && now >= stream_resume_at_ && now - stream_progress_at_ > kStreamStall) {
        // Nobody is reading: drop what is queued for the host, so that whoever
        // opens the port next does not start with stale screenshot bytes.
        Log("screenshot stream abandoned after " + std::to_string(stream_->position()) +
            " bytes: nobody read for 3 s");
        stream_.reset();
        ::tcflush(pty_.slave(), TCIFLUSH);
    }
}

void DeviceLoop::Hangup() {
    Log("hanging up after " + std::to_string(host_bytes_) + " bytes from the host");
    pty_.HangUp();
    replies_.clear();
    stream_.reset();
    if (ctx_.child <= 0) stop_ = true;
}

bool DeviceLoop::OutputDue(Clock::time_point now) const {
    if (!replies_.empty() && replies_.front().due <= now) return true;
    return stream_ && now >= stream_resume_at_ && !stream_->PauseDue();
}

bool DeviceLoop::WantWrite(Clock::time_point now) const {
    return OutputDue(now) && pacer_.NextRoom(now) <= now;
}

int DeviceLoop::PollTimeoutMs(Clock::time_point now) const {
    Clock::time_point wake = now + kIdlePoll;
    // Due output waits for POLLOUT, not for a timer: a full pty must not spin.
    if (!replies_.empty() && replies_.front().due > now) wake = std::min(wake, replies_.front().due);
    if (stream_) {
        if (stream_resume_at_ > now) wake = std::min(wake, stream_resume_at_);
        else if (stream_->PauseDue()) wake = now;
        wake = std::min(wake, stream_progress_at_ + kStreamStall + Millis(1));
    }
    if (ctx_.options.message_timeout_ms > 0 && model_.InMessage())
        wake = std::min(wake, last_host_byte_ + Millis(ctx_.options.message_timeout_ms) + Millis(1));
    if (read_blocked_until_ > now) wake = std::min(wake, read_blocked_until_);
    if (const auto change = line_.NextChange()) wake = std::min(wake, *change);
    // Due output with room waits for POLLOUT; without room, for the line.
    if (OutputDue(now) && pacer_.NextRoom(now) > now) wake = std::min(wake, pacer_.NextRoom(now));
    if (wake <= now) return 0;
    // Round up, so that a wake-up never comes a little early and spins.
    const auto ms = std::chrono::duration_cast<Millis>(wake - now + Millis(1) - std::chrono::nanoseconds(1));
    return static_cast<int>(std::max<Millis::rep>(0, ms.count()));
}

}  // namespace

RunResult RunDevice(Pty &pty, const RunContext &context) { return DeviceLoop(pty, context).Run(); }

}  // namespace devsim
