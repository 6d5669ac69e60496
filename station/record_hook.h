// The hook for the line's own systems (--on-record COMMAND): after each
// record line is on disk, COMMAND runs with that line on its standard input
// and PARDULO_RESULT, PARDULO_PORT and PARDULO_DEVICE in its environment.
// Hooks run one at a time, in record order, on a thread of their own, so a
// slow one never holds up the event loop or the uploads; one still running
// after its time-out is killed with everything it started. A hook that
// fails or is killed is reported (TakeReports) and appended to the hook log
// with its output.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// One record, as the hook gets it.
struct HookJob {
    std::string line;    // the record line, line feed included
    std::string result;  // "ok", "failed" or "interrupted"
    std::string port;    // the port's name as given
    uint32_t device = 0;
};

// How one hook ended. ok only for exit status 0 within the time-out.
struct HookEnd {
    bool ok = false;
    std::string status;  // "exited with status 3", "killed after 60 s", ...
    std::string output;  // the end of what it wrote on standard output and error
};

// Runs command for job through the system's shell (/bin/sh -c; cmd /c on
// Windows) and waits at most timeout_s for it; stop (may be null) is looked
// at while it runs and kills it when set.
HookEnd RunHook(const std::string &command, const HookJob &job, double timeout_s, const std::atomic<bool> *stop);

class RecordHook {
public:
    // log_path: the hook log, appended to on every failure.
    RecordHook(std::string command, double timeout_s, std::string log_path);
    ~RecordHook();
    RecordHook(const RecordHook &) = delete;
    RecordHook &operator=(const RecordHook &) = delete;

    // Starts the thread (the station's port processes are started with
    // exec, so threads may come before or after them).
    void Start();
    // Queues the hook of a record now on disk; returns at once.
    void Add(HookJob job);
    // The failures since the last call, one line each, for the operator.
    std::vector<std::string> TakeReports();
    // Hooks queued or running.
    std::size_t Pending();
    // Kills the running hook and drops the queued ones, each reported.
    void Abandon();
    // Waits until every queued hook has run, then ends the thread.
    void Finish();

private:
    void Loop();
    void Report(const HookJob &job, const std::string &status, const std::string &output);

    const std::string command_;
    const double timeout_s_;
    const std::string log_path_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<HookJob> queue_;
    std::vector<std::string> reports_;
    bool running_job_ = false;
    bool finishing_ = false;
    std::atomic<bool> abandon_{false};
    std::thread thread_;
};
