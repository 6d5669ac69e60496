// The record hook on Windows is not run yet: it needs the hook started
// through cmd /c on the station's process layer (child_process.h), its
// output taken with its errors, and a job object so that a time-out ends
// everything the command started. Until then the station refuses
// --on-record on Windows, and nothing here is ever queued.
#include "record_hook.h"

bool RecordHooksAvailable() { return false; }

HookEnd RunHook(const std::string &, const HookJob &, double, const std::atomic<bool> *) {
    return {false, "not run: hooks are not run on Windows", ""};
}

RecordHook::RecordHook(std::string command, double timeout_s, std::string log_path)
    : command_(std::move(command)), timeout_s_(timeout_s), log_path_(std::move(log_path)) {}
RecordHook::~RecordHook() = default;
void RecordHook::Start() {}
void RecordHook::Add(HookJob) {}
std::vector<std::string> RecordHook::TakeReports() { return {}; }
std::size_t RecordHook::Pending() { return 0; }
void RecordHook::Abandon() {}
void RecordHook::Finish() {}
