#include "record_hook.h"

#include <cstdio>

#include "child_process.h"
#include "device_record.h"
#include "platform_time.h"
#include "record_file.h"

namespace {

// What is kept of a hook's output for the hook log: its end.
constexpr std::size_t kOutputKept = 4096;

// Reads what the hook has written so far, keeping its end.
void ReadAvailable(ChildProcess &hook, std::string *output) {
    char buffer[4096];
    for (long got; (got = ReadFromChildNow(hook, buffer, sizeof buffer)) > 0;) {
        output->append(buffer, static_cast<std::size_t>(got));
        if (output->size() > kOutputKept) output->erase(0, output->size() - kOutputKept);
    }
}

// Gives the hook what of the line its input takes now; closes the input
// once all of it is given, or the hook no longer reads.
void FeedLine(ChildProcess &hook, const std::string &line, std::size_t *fed, bool *input_open) {
    if (!*input_open) return;
    const long taken = *fed < line.size() ? WriteToChildNow(hook, line.data() + *fed, line.size() - *fed) : 0;
    if (taken > 0) *fed += static_cast<std::size_t>(taken);
    if (*fed == line.size() || taken < 0) {
        CloseChildInput(hook);
        *input_open = false;
    }
}

}  // namespace

HookEnd RunHook(const std::string &command, const HookJob &job, double timeout_s, const std::atomic<bool> *stop) {
    // Through the system's shell, in a tree of its own (so a Ctrl-C at the
    // terminal leaves it alone and a time-out ends all of it), its errors
    // with its output, the record's facts in place of any variables of the
    // same names.
    ChildSpec spec;
    spec.shell_command = command;
    spec.extra_env = {"PARDULO_RESULT=" + job.result, "PARDULO_PORT=" + job.port,
                      "PARDULO_DEVICE=" + std::to_string(job.device)};
    spec.pipe_stdin = true;
    spec.pipe_stdout = true;
    spec.merge_stderr = true;
    spec.whole_tree = true;
    HookEnd end;
    ChildProcess hook;
    std::string why;
    if (StartChild(spec, &hook, &why) != kChildOk) {
        end.status = "could not be started: " + why;
        return end;
    }

    // Neither end may hold up the wait: a hook that reads nothing or writes
    // without end is still timed. Once the hook has ended, what it started
    // and left running may keep its output open: that is not waited for.
    const double deadline = static_cast<double>(MonotonicMs()) + timeout_s * 1000.0;
    std::size_t fed = 0;
    bool input_open = true;
    for (;;) {
        FeedLine(hook, job.line, &fed, &input_open);
        ReadAvailable(hook, &end.output);
        int status = 0;
        int signal = 0;
        const int waited = WaitChild(hook, 10, &status, &signal);
        if (waited == kChildOk) {
            ReadAvailable(hook, &end.output);
            end.ok = status == 0 && signal == 0;
            end.status = ChildEndText(status, signal);
            return end;
        }
        const bool stopped = stop != nullptr && stop->load();
        if (waited == kChildLost || stopped || static_cast<double>(MonotonicMs()) >= deadline) {
            TerminateChild(hook);  // the shell and whatever it started
            WaitChild(hook, -1, &status);
            char seconds[32];
            snprintf(seconds, sizeof seconds, "%g", timeout_s);
            end.status = stopped                ? "killed: the station was told to stop waiting"
                         : waited == kChildLost ? "killed: it could no longer be waited for"
                                                : std::string("killed after ") + seconds + " s, still running";
            return end;
        }
    }
}

RecordHook::RecordHook(std::string command, double timeout_s, std::string log_path)
    : command_(std::move(command)), timeout_s_(timeout_s), log_path_(std::move(log_path)) {}

RecordHook::~RecordHook() { Finish(); }

void RecordHook::Start() {
    if (!thread_.joinable()) thread_ = std::thread([this] { Loop(); });
}

void RecordHook::Add(HookJob job) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(job));
    }
    wake_.notify_one();
}

std::vector<std::string> RecordHook::TakeReports() {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> reports;
    reports.swap(reports_);
    return reports;
}

std::size_t RecordHook::Pending() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size() + (running_job_ ? 1 : 0);
}

void RecordHook::Abandon() {
    std::deque<HookJob> dropped;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        dropped.swap(queue_);
    }
    abandon_ = true;
    for (const HookJob &job : dropped) Report(job, "not run: the station was told to stop waiting", "");
}

void RecordHook::Finish() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        finishing_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void RecordHook::Loop() {
    for (;;) {
        HookJob job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return !queue_.empty() || finishing_; });
            if (queue_.empty()) return;
            job = std::move(queue_.front());
            queue_.pop_front();
            running_job_ = true;
        }
        const HookEnd end = RunHook(command_, job, timeout_s_, &abandon_);
        if (!end.ok) Report(job, end.status, end.output);
        const std::lock_guard<std::mutex> lock(mutex_);
        running_job_ = false;
    }
}

void RecordHook::Report(const HookJob &job, const std::string &status, const std::string &output) {
    const std::string what = "hook for device " + std::to_string(job.device) + " on " + job.port + " " + status;
    std::string entry = UtcTimestamp() + " " + what + "\n";
    std::size_t at = 0;
    while (at < output.size()) {
        const std::size_t line_end = output.find('\n', at);
        const std::size_t stop = line_end == std::string::npos ? output.size() : line_end;
        // A line a Windows program ended with CR LF is logged without its CR.
        const std::size_t text_end = stop > at && output[stop - 1] == '\r' ? stop - 1 : stop;
        entry += "  | " + output.substr(at, text_end - at) + "\n";
        at = stop + 1;
    }
    // One append per failure, so that two stations sharing a log never mix lines.
    RecordFile log;
    const bool logged = OpenRecordFile(log_path_, &log) == 0 && AppendRecordLine(log, entry) == 0;
    const std::lock_guard<std::mutex> lock(mutex_);
    reports_.push_back(what + (logged ? "" : " (and " + log_path_ + " could not be written)"));
}
