// pardulo-station: the program a production line runs all day. It flashes
// every device that shows up on any of its ports, in parallel, keeps a
// record line of each for the line's tracing system and shows the operator
// a board of what goes on.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "argument_text.h"
#include "child_process.h"
#include "console.h"
#include "device_record.h"
#include "event_inbox.h"
#include "file_handles.h"
#include "globals.h"
#include "operator_display.h"
#include "output_retention.h"
#include "platform_time.h"
#include "port_worker.h"
#include "program_info.h"
#include "record_file.h"
#include "record_hook.h"
#include "record_publisher.h"
#include "resource_map.h"
#include "resource_warnings.h"
#include "service_notify.h"
#include "sha256.h"
#include "station_board.h"
#include "station_events.h"
#include "station_http.h"
#include "station_options.h"
#include "station_status.h"
#include "stop_requests.h"
#include "system_error.h"
#include "upload_journal.h"
#include "write_desk.h"
#include "util/failure.h"
#include "util/whole_file.h"

namespace {

// The most of the record file read at the start for the serial numbers it holds.
constexpr uint64_t kMaxRecordFileRead = uint64_t{1} << 30;

int Fail(const std::string &message) { return util::Fail("pardulo-station", message, 2); }

// 0 to go on, otherwise the exit status (help and version: 0, errors: 2).
int ParseOptions(int argc, char **argv, StationOptions *options, bool *done) {
    // Help and version are answered before anything else is looked at.
    *done = AnswerInfoRequest(argc, argv, "pardulo-station", StationUsage().c_str());
    if (*done) return 0;
    std::vector<std::string> args, texts;
    for (int i = 0; i < argc; ++i) {
        args.emplace_back(argv[i]);
        texts.push_back(ArgumentText(argc, argv, i));
    }
    if (const std::string why = ReadStationOptions(args, texts, options); !why.empty()) return Fail(why);
    return 0;
}

// Names Windows takes for its devices in any folder, also before an
// extension ("COM3", "nul.txt"): no file or folder can be called so.
bool IsWindowsDeviceName(const std::string &name) {
    std::string base = name.substr(0, name.find('.'));
    for (char &c : base) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
    return base.size() == 4 && (base.rfind("COM", 0) == 0 || base.rfind("LPT", 0) == 0) && base[3] >= '1' &&
           base[3] <= '9';
}

// The port's folder: the name without /dev/ or \\.\, anything but letters,
// digits, ".", "_" and "-" turned into "_"; a name of dots only would be a
// folder that is already there ("." or "..") and becomes underscores, and a
// device name of Windows gets a "_" after it (COM3_, COM12).
std::string PortFolderName(const std::string &port) {
    std::string name = port;
    for (const char *prefix : {"/dev/", "\\\\.\\"}) {
        if (name.rfind(prefix, 0) == 0) name.erase(0, strlen(prefix));
    }
    bool dots_only = true;
    for (char &c : name) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                          c == '_' || c == '-';
        if (!safe) c = '_';
        if (c != '.') dots_only = false;
    }
    if (dots_only) name.assign(name.size() + 1, '_');
    if (IsWindowsDeviceName(name)) name.insert(name.find('.') == std::string::npos ? name.size() : name.find('.'), "_");
    return name;
}

// Makes path and the folders above it; "" or why not.
std::string MakeDirs(const std::string &path) {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    if (!error && !std::filesystem::is_directory(path, error)) return "not a folder";
    return error ? error.message() : "";
}

// NNNNN.out: five digits or more, since numbers go on across restarts.
bool IsDeviceOutputName(const char *name) {
    const std::size_t digits = strspn(name, "0123456789");
    return digits >= 5 && strcmp(name + digits, ".out") == 0;
}

// The outputs of an earlier run are moved into earlier-<UTC time>/ of the
// folder, so that each run's folder holds its own devices only. Device
// numbers go on across runs (last-device), so no output meets another of
// the same name there either.
int KeepEarlierOutputs(const std::string &folder) {
    DirPtr listing(opendir(folder.c_str()));
    if (!listing) return Fail("cannot list " + folder + ": " + strerror(errno));
    std::string earlier;
    while (const struct dirent *entry = readdir(listing.get())) {
        if (!IsDeviceOutputName(entry->d_name)) continue;
        if (earlier.empty()) {
            const time_t now = time(nullptr);
            struct tm utc {};
            gmtime_r(&now, &utc);
            char stamp[32];
            strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
            earlier = folder + "/earlier-" + stamp;
            if (!MakeDirs(earlier).empty()) return Fail("cannot create " + earlier);
        }
        const std::string from = folder + "/" + entry->d_name;
        if (rename(from.c_str(), (earlier + "/" + entry->d_name).c_str()) != 0) {
            return Fail("cannot move " + from + " to " + earlier + ": " + strerror(errno));
        }
    }
    return 0;
}

// Puts the map into every port's folder, where the worker uploads it from,
// and reads each copy back: every port gets exactly the bytes of sha256.
int PlaceMap(const std::string &map, const std::string &sha256, const std::vector<std::string> &folders,
             double keep_days) {
    for (const std::string &folder : folders) {
        if (const std::string why = MakeDirs(folder); !why.empty()) return Fail("cannot create " + folder + ": " + why);
        for (const std::string &why : RemoveOldOutputs(folder, keep_days)) {
            fprintf(stderr, "pardulo-station: cannot remove %s\n", why.c_str());  // flashing goes on
        }
        if (const int status = KeepEarlierOutputs(folder)) return status;
        const std::string path = folder + "/" + ZEBMAP_FILE;
        std::string copy, error;
        if (!util::ReplaceWholeFile(path, map.data(), map.size(), error) ||
            !util::ReadWholeRegularFile(path, copy, error)) {
            return Fail(error);
        }
        if (Sha256Hex(copy) != sha256) return Fail(path + " does not read back as written");
    }
    return 0;
}

// A map with a hole in its blocks was built with a resource skipped: every
// device would miss that picture. Refused unless allowed, then said.
int CheckBlocks(const std::string &folder, const std::string &map_name, bool allow_gaps) {
    const std::vector<BlockRun> missing = MissingMapBlocks((folder + "/" + ZEBMAP_FILE).c_str());
    if (missing.empty()) return 0;
    const std::string hole = MapGapText(map_name, missing);
    if (!allow_gaps) return Fail(hole + "; nothing was flashed (--allow-gaps flashes it all the same)");
    fprintf(stderr, "pardulo-station: %s; flashed all the same (--allow-gaps)\n", hole.c_str());
    return 0;
}

// Checks the copy of the map in folder; the checker's report is shown on
// standard error only when the map fails.
int CheckMap(const std::string &folder, const std::string &map_name) {
    std::ostringstream report;
    if (CheckResourceMapFile((folder + "/" + ZEBMAP_FILE).c_str(), report) == kCheckFramed) return 0;
    std::istringstream lines(report.str());
    for (std::string line; std::getline(lines, line);) fprintf(stderr, "  %s\n", line.c_str());
    return Fail(map_name + " does not check (the checker's report is above); nothing was flashed");
}


struct Station {
    StationOptions options;
    StationFacts facts;
    RecordFile records;
    std::vector<ChildProcess> workers;
    std::vector<bool> port_ok;      // --once: the port's device got the whole map
    bool records_broken = false;    // a record could not be written
    std::unique_ptr<RecordHook> hook;  // --on-record
    // The one state of ports, devices and totals: the board draws it, the
    // web side serves it (which it outlives).
    std::unique_ptr<StationStatus> status;
    std::unique_ptr<StationHttp> web;  // --http
    std::string run_id = NewRunId();    // the records' ids start with it
    std::vector<std::string> folders;   // the fixtures' folders, by port
    std::vector<uint32_t> last_device;  // by port: the last device number its folder keeps
    // The records the start wrote for uploads an earlier run never
    // recorded, for the board and the web side: (port, run, line).
    struct Recovered {
        int port;
        std::string port_name;  // as the record gives it
        DeviceRun run;
        std::string line;
    };
    std::vector<Recovered> recovered;
    // The status JSON as the records' broker gets it: made on the event
    // loop's thread after a change, read on the publisher's.
    std::mutex broker_status_mutex;
    std::string broker_status;
    std::unique_ptr<RecordPublisher> publisher;  // --mqtt
    std::unique_ptr<WriteDesk> desk;   // the API's writes
    std::string api_token;             // "" for none: nothing can be changed
    // Per port: the serial number of the device under way, whether its
    // device waits for one, and the one given for the next device.
    std::vector<std::optional<std::string>> serial;
    std::vector<bool> awaiting_serial;
    std::vector<std::string> next_serial;
};

// Every change of the status goes through here: under the web side's lock
// when it serves, so that its threads never read a status half changed.
void ChangeStatus(Station &station, int port, StationHttp::Tell tell, const std::function<bool()> &change) {
    if (station.web) {
        station.web->Change(port, tell, change);
    } else {
        change();
    }
}

// Passes a request (kStopTaking, kStopNow) on to every worker.
void TellWorkers(Station &station, char request) {
    for (ChildProcess &worker : station.workers) WriteToChild(worker, std::string(1, request));
}

// A record line is on disk: its hook, the metrics' counters, the broker.
void RecordWritten(Station &station, const std::string &line, HookJob job) {
    if (station.hook) station.hook->Add(std::move(job));
    if (station.web) station.web->OnRecordWritten(line);
    if (station.publisher) station.publisher->RecordAppended();
}

// The device's record is on disk: its number is kept as the fixture's
// last, then its journal goes. Dying in between leaves a journal whose id
// the record file holds, which the next start only removes. "" or what failed.
std::string ForgetJournal(Station &station, int port, uint32_t device) {
    const std::string &folder = station.folders[static_cast<std::size_t>(port)];
    uint32_t &last = station.last_device[static_cast<std::size_t>(port)];
    if (device > last) {
        if (const int err = WriteLastDevice(folder, device)) return "cannot keep the device number: " + SystemErrorText(err);
        last = device;
    }
    if (const int err = RemoveJournal(folder, device)) {
        return "cannot remove " + JournalFileName(device) + ": " + SystemErrorText(err);
    }
    return "";
}

// What the port's object shows of serial numbers: the present device's, or
// the one given for the next.
void ShowSerial(Station &station, int port) {
    const auto at = static_cast<std::size_t>(port);
    const std::string shown = station.serial[at] ? *station.serial[at] : station.next_serial[at];
    ChangeStatus(station, port, StationHttp::Tell::kPort, [&] { return station.status->SerialGiven(port, shown); });
}

// A device takes the serial number given for its fixture, when there is one.
void TakeSerial(Station &station, int port) {
    const auto at = static_cast<std::size_t>(port);
    if (!station.serial[at]) station.serial[at] = station.desk->TakeSerial(port);
    if (station.serial[at]) station.next_serial[at].clear();
    ShowSerial(station, port);
}

// A device that waits for its serial number is flashed once it has one.
void GoWhenSerial(Station &station, int port) {
    const auto at = static_cast<std::size_t>(port);
    if (!station.awaiting_serial[at]) return;
    TakeSerial(station, port);
    if (!station.serial[at]) return;
    station.awaiting_serial[at] = false;
    WriteToChild(station.workers[at], std::string(1, kGoSerial));
}

// The API's writes, on the event loop's thread.
void CarryOutWrites(Station &station, StationBoard &board) {
    for (const WriteRequest &request : station.desk->Take()) {
        const int port = request.port;
        const std::string &name = station.options.fixtures[static_cast<std::size_t>(port)].name;
        if (request.kind == WriteRequest::Kind::kSerial) {
            station.next_serial[static_cast<std::size_t>(port)] = request.serial;
            board.Say(name + ": serial number " + request.serial + " for the next device");
            ShowSerial(station, port);
            GoWhenSerial(station, port);
            continue;
        }
        const bool pause = request.kind == WriteRequest::Kind::kPause;
        WriteToChild(station.workers[static_cast<std::size_t>(port)], std::string(1, pause ? kPausePort : kResumePort));
        board.Say(name + (pause ? ": paused (the board under way is finished)" : ": resumed"));
        ChangeStatus(station, port, StationHttp::Tell::kPort, [&] { return station.status->PauseAsked(port, pause); });
    }
}

// A device's run has ended: its record, its line, the board.
void RecordRun(Station &station, StationBoard &board, int port, DeviceRun run) {
    const Fixture &fixture = station.options.fixtures[port];
    const std::string &name = fixture.name;
    // A run without a device had no journal, and so no id yet.
    if (run.id.empty()) run.id = RecordId(station.run_id, port, run.device);
    run.serial = std::move(station.serial[static_cast<std::size_t>(port)]);
    station.serial[static_cast<std::size_t>(port)].reset();
    if (run.present && !run.serial) ShowSerial(station, port);
    const std::string line = FormatRecordLine(UtcTimestamp(), station.facts, fixture.port, name, run);
    if (!station.records_broken) {
        const int err = AppendRecordLine(station.records, line);
        if (err == 0) RecordWritten(station, line, {line, RecordResult(run), fixture.port, run.device});
        if (err == 0 && run.present) {
            // The record is safe; a journal left behind is only removed at the next start.
            if (const std::string why = ForgetJournal(station, port, run.device); !why.empty()) board.Say(name + ": " + why);
        }
        if (err != 0) {
            // A line that cannot trace its devices must not go on flashing.
            station.records_broken = true;
            board.Say("cannot write the record to " + station.options.log + ": " + SystemErrorText(err) +
                      "; no new devices are taken (the device on " + name + " is not recorded)");
            TellWorkers(station, kStopTaking);
        }
    } else {
        board.Say("not recorded: device " + std::to_string(run.device) + " on " + name);
    }
    station.port_ok[port] = run.ok;
    ChangeStatus(station, port, StationHttp::Tell::kRecord,
                 [&] { return station.status->Finished(port, run, line); });
    board.Finished(port, fixture.port, run);
    ShowSerial(station, port);
}

// The event's change of the port's state; false when the board and the web
// have nothing new to show.
bool ChangePort(StationStatus &status, const StationEvent &event) {
    switch (event.kind) {
        case EventKind::kWaiting: return status.Waiting(event.port);
        case EventKind::kNoPort: return status.NoPort(event.port, event.text);
        case EventKind::kUploading: return status.Uploading(event.port, event.run.device);
        case EventKind::kProgress:
            return status.Progress(event.port, event.progress, event.bytes_per_second, MonotonicNowMs());
        case EventKind::kRemoval: return status.AwaitingRemoval(event.port);
        case EventKind::kAwaitingSerial: return status.AwaitingSerial(event.port, event.run.device);
        case EventKind::kPaused: return status.Paused(event.port);
        case EventKind::kFinished:
        case EventKind::kProblem: break;
    }
    return false;
}

void HandleEvent(Station &station, StationBoard &board, const StationEvent &event) {
    if (event.port < 0 || event.port >= static_cast<int>(station.options.fixtures.size())) return;
    if (event.kind == EventKind::kFinished) return RecordRun(station, board, event.port, event.run);
    if (event.kind == EventKind::kProblem) return board.Say(station.options.fixtures[event.port].name + ": " + event.text);
    const auto at = static_cast<std::size_t>(event.port);
    if (event.kind == EventKind::kUploading) TakeSerial(station, event.port);
    if (event.kind == EventKind::kWaiting) station.awaiting_serial[at] = false;
    if (event.kind == EventKind::kAwaitingSerial) station.awaiting_serial[at] = true;
    ChangeStatus(station, event.port, StationHttp::Tell::kPort, [&] { return ChangePort(*station.status, event); });
    // The board shows every step, and the figures as they come (what the
    // web is told of them is thinned out).
    if (event.kind == EventKind::kProgress) {
        board.ProgressChanged();
    } else {
        board.PortChanged(event.port);
    }
    if (event.kind == EventKind::kAwaitingSerial) GoWhenSerial(station, event.port);
}

// The hooks' failures since the last look: on the board, and counted for /metrics.
void SayHookReports(Station &station, StationBoard &board) {
    for (const std::string &report : station.hook->TakeReports()) {
        board.Say(report);
        if (station.web) station.web->OnHookFailure();
    }
}

// The status as it is now, for the broker's retained status message.
void ShareStatusWithBroker(Station &station) {
    if (!station.publisher) return;
    std::string text = JsonText(station.status->StatusJson(MonotonicNowMs()));
    {
        std::lock_guard<std::mutex> lock(station.broker_status_mutex);
        station.broker_status = std::move(text);
    }
    station.publisher->StatusChanged();
}

// The broker's state and the records that wait for it, as the board and
// the page show them.
void TellBrokerState(Station &station) {
    if (!station.publisher) return;
    const PublisherSnapshot now = station.publisher->Snapshot();
    ChangeStatus(station, -1, StationHttp::Tell::kTotals,
                 [&] { return station.status->Broker(BrokerStateName(now.state), now.reason, now.waiting); });
}

// Takes the workers' events until every worker has closed its end.
void RunEventLoop(Station &station, StationBoard &board, EventInbox &inbox) {
    bool stop_passed_on = false;
    std::vector<StationEvent> events;
    for (;;) {
        if (StopRequested() && !stop_passed_on) {
            board.Say("stopping: no new devices; uploads under way are ended");
            TellWorkers(station, kStopNow);
            stop_passed_on = true;
            ServiceStopping();
        }
        const bool more = inbox.Take(&events, 250);
        for (const StationEvent &event : events) HandleEvent(station, board, event);
        CarryOutWrites(station, board);
        TellBrokerState(station);
        if (!events.empty()) ShareStatusWithBroker(station);
        if (station.hook) SayHookReports(station, board);
        board.Refresh(MonotonicNowMs());
        ServiceAlive(board.TotalsLine(MonotonicNowMs()));
        if (!more) break;
    }
}

// The hooks of the records already written still run before the station
// ends, each within its time-out; a further stop request ends the waiting.
void FinishHooks(Station &station, StationBoard &board) {
    if (!station.hook) return;
    const unsigned requests_before = StopRequestCount();
    if (const std::size_t pending = station.hook->Pending()) {
        board.Say("running the hooks of " + std::to_string(pending) +
                  " records already written (Ctrl-C or SIGTERM gives up on them)");
    }
    bool abandoned = false;
    while (station.hook->Pending() > 0) {
        if (StopRequestCount() != requests_before && !abandoned) {
            station.hook->Abandon();
            abandoned = true;
        }
        SayHookReports(station, board);
        PauseMs(100);
    }
    station.hook->Finish();
    SayHookReports(station, board);
}

// The record of an upload an earlier run started and never recorded, from
// its journal: what was known when it started. 0, or the exit status.
int RecordJournal(Station &station, int port, UploadJournal &journal) {
    DeviceRun &run = journal.run;
    run.present = true;
    run.ok = false;
    run.stopped_during_upload = true;
    run.outcome = UploadOutcome{};
    run.seconds = 0;
    const std::string line = FormatRecordLine(UtcTimestamp(), journal.facts, journal.port, journal.fixture, run);
    if (const int err = AppendRecordLine(station.records, line)) {
        fprintf(stderr, "pardulo-station: cannot write the record of device %u of %s to %s: %s; nothing was flashed\n",
                run.device, journal.port.c_str(), station.options.log.c_str(), SystemErrorText(err).c_str());
        return 1;
    }
    RecordWritten(station, line, {line, RecordResult(run), journal.port, run.device});
    station.recovered.push_back({port, journal.port, run, line});
    return 0;
}

// Before any worker starts: every fixture's last device number, and the
// records of the uploads that journals show started but never recorded
// (the station was killed, or the power went). A journal whose id the
// record file holds already was recorded and only goes. 0, or the exit status.
int RecordInterrupted(Station &station) {
    station.last_device.assign(station.folders.size(), 0);
    for (std::size_t i = 0; i < station.folders.size(); ++i) {
        const std::string &folder = station.folders[i];
        station.last_device[i] = ReadLastDevice(folder);
        FoundJournals found = TakeJournals(folder);
        for (const std::string &problem : found.problems) fprintf(stderr, "pardulo-station: %s\n", problem.c_str());
        station.last_device[i] = std::max(station.last_device[i], found.highest);
        std::set<std::string> ids;
        for (const UploadJournal &journal : found.journals) ids.insert(journal.run.id);
        const std::set<std::string> recorded = RecordedIds(station.options.log, ids);
        for (UploadJournal &journal : found.journals) {
            if (recorded.count(journal.run.id) == 0) {
                if (const int status = RecordJournal(station, static_cast<int>(i), journal)) return status;
            }
            if (const std::string why = ForgetJournal(station, static_cast<int>(i), journal.run.device); !why.empty()) {
                // Its record is on disk; the next start finds the id and does not write it again.
                fprintf(stderr, "pardulo-station: %s: %s\n", folder.c_str(), why.c_str());
                station.last_device[i] = std::max(station.last_device[i], journal.run.device);
            }
        }
    }
    return 0;
}

// The records of interrupted uploads count and show as any other.
void ShowRecovered(Station &station, StationBoard &board) {
    for (const Station::Recovered &recovered : station.recovered) {
        ChangeStatus(station, recovered.port, StationHttp::Tell::kRecord,
                     [&] { return station.status->Finished(recovered.port, recovered.run, recovered.line); });
        board.Finished(recovered.port, recovered.port_name, recovered.run);
    }
}

void StartHook(Station &station) {
    if (station.options.on_record.empty()) return;
    station.hook = std::make_unique<RecordHook>(station.options.on_record, station.options.hook_timeout_s,
                                                station.options.dir + "/hooks.log");
    station.hook->Start();
}

// Starts one worker per port (this program again, with kPortWorkerArgument)
// and listens to each.
int StartWorkers(Station &station, const std::vector<std::string> &folders, EventInbox &inbox) {
    const std::string program = OwnProgramPath();
    station.workers.resize(folders.size());
    for (std::size_t i = 0; i < folders.size(); ++i) {
        PortWorkerSetup setup;
        setup.index = static_cast<int>(i);
        setup.port = station.options.fixtures[i].port;
        setup.fixture = station.options.fixtures[i].name;
        setup.folder = folders[i];
        setup.once = station.options.once;
        setup.wait_s = station.options.wait_s;
        setup.run_id = station.run_id;
        setup.first_device = station.last_device[i] + 1;
        setup.facts = station.facts;
        setup.retries = static_cast<int>(station.options.retries);
        setup.verify = station.options.verify;
        setup.require_serial = station.options.require_serial;
        ChildSpec spec;
        spec.argv = {program, kPortWorkerArgument};
        spec.pipe_stdin = true;
        spec.pipe_stdout = true;
        std::string why;
        if (StartChild(spec, &station.workers[i], &why) != kChildOk) {
            // Those started see their input end, and end.
            station.workers.resize(i);
            return Fail("cannot start a process for " + station.options.fixtures[i].name + ": " + why);
        }
        // Its setup is the first line on its input; a worker that cannot
        // take it has ended, which its reaping tells.
        WriteToChild(station.workers[i], EncodeSetup(setup));
    }
    for (std::size_t i = 0; i < station.workers.size(); ++i) inbox.Listen(station.workers[i], static_cast<int>(i));
    return 0;
}

// Collects the workers; false when one of them ended abnormally.
bool ReapWorkers(Station &station, StationBoard &board) {
    bool all_fine = true;
    for (std::size_t i = 0; i < station.workers.size(); ++i) {
        int status = -1;
        if (WaitChild(station.workers[i], -1, &status) != kChildOk || status != 0) {
            board.Say("the process of " + station.options.fixtures[i].name + " ended abnormally");
            all_fine = false;
        }
    }
    return all_fine;
}

// The names of the fixtures, in their order: the board's and the page's.
std::vector<std::string> FixtureNames(const StationOptions &options) {
    std::vector<std::string> names;
    for (const Fixture &fixture : options.fixtures) names.push_back(fixture.name);
    return names;
}

// Each fixture's folder, DIR/<its name made a folder's>; 0, or the exit
// status when two would share one.
int FixtureFolders(const StationOptions &options, std::vector<std::string> *folders) {
    std::set<std::string> seen;
    for (const Fixture &fixture : options.fixtures) {
        const std::string folder = options.dir + "/" + PortFolderName(fixture.name);
        if (!seen.insert(folder).second) return Fail("two fixtures would share the folder " + folder + ": " + fixture.name);
        folders->push_back(folder);
    }
    return 0;
}

// Reads the map whole: the bytes every fixture gets. 0, or the exit status
// (unreadable, too large, or not the one expected).
int ReadMap(const StationOptions &options, std::string *map, std::string *sha256) {
    if (std::string error; !util::ReadWholeRegularFile(options.map, *map, error)) return Fail(error);
    if (map->size() > UINT32_MAX) return Fail(options.map + " is too large");
    *sha256 = Sha256Hex(*map);
    std::string expected = options.map_sha256;
    for (char &c : expected) c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    if (!expected.empty() && *sha256 != expected) {
        return Fail(options.map + " has the SHA-256 " + *sha256 + ", not the one expected, " + expected +
                    "; nothing was flashed");
    }
    return 0;
}

// Everything before the first device: the map read, placed and checked,
// the record file opened. 0, or the exit status.
int Prepare(Station &station, std::vector<std::string> *folders) {
    const StationOptions &options = station.options;
    if (const int status = FixtureFolders(options, folders)) return status;
    std::string map;
    if (const int status = ReadMap(options, &map, &station.facts.map_sha256)) return status;
    station.facts.map_bytes = static_cast<uint32_t>(map.size());
    if (const int status = PlaceMap(map, station.facts.map_sha256, *folders, station.options.keep_days)) return status;
    if (const int status = CheckMap(folders->front(), options.map)) return status;
    if (const int status = CheckBlocks(folders->front(), options.map, options.allow_gaps)) return status;
    station.facts.map_records = CountMapRecords((folders->front() + "/" + ZEBMAP_FILE).c_str());
    station.facts.station = options.name.empty() ? HostName() : options.name;
    if (const int err = OpenRecordFile(options.log, &station.records)) {
        return Fail("cannot open " + options.log + ": " + SystemErrorText(err));
    }
    // A serial number of the record file is taken once only.
    station.desk = std::make_unique<WriteDesk>(folders->size(), station.options.allow_repeated_serial);
    // Only the API gives serial numbers, so without its token the records
    // are not read for them (and a log that never ends, a device the system
    // calls a file, is never read whole).
    std::string recorded;
    if (std::string error; !station.api_token.empty() &&
                           util::ReadWholeRegularFile(station.options.log, recorded, error, kMaxRecordFileRead)) {
        station.desk->UsedInRecords(recorded);
    }
    const std::size_t ports = folders->size();
    station.serial.assign(ports, std::nullopt);
    station.awaiting_serial.assign(ports, false);
    station.next_serial.assign(ports, "");
    return 0;
}

// The records' broker, when one is set; its thread connects on its own.
int StartPublisher(Station &station) {
    if (station.options.mqtt.empty()) return 0;
    PublisherSettings settings;
    settings.url = station.options.mqtt;
    settings.ca_file = station.options.mqtt_ca_file;
    settings.username = station.options.mqtt_username;
    settings.password_file = station.options.mqtt_password_file;
    settings.topic_prefix = station.options.mqtt_topic;
    settings.station = station.facts.station;
    settings.record_path = station.options.log;
    settings.acked_path = station.options.dir + "/mqtt-acked.json";
    std::string error;
    station.publisher = RecordPublisher::Start(
        settings,
        [&station] {
            std::lock_guard<std::mutex> lock(station.broker_status_mutex);
            return station.broker_status;
        },
        &error);
    if (!station.publisher) return Fail(error + "; nothing was flashed");
    if (station.web) station.web->SetBrokerMetrics([publisher = station.publisher.get()] {
        const PublisherSnapshot now = publisher->Snapshot();
        return MetricsBroker{true, BrokerStateName(now.state), {"connecting", "connected", "down"}, now.waiting};
    });
    return 0;
}

// The API's token from its file: one line, its line end not part of it.
// "" and the reason when the file holds none.
std::string ReadApiToken(const std::string &path, std::string *why) {
    std::string token;
    // A token is short: a file much longer is no token file.
    if (std::string error; !util::ReadWholeRegularFile(path, token, error, 4096)) {
        *why = "the API token file: " + error;
        return "";
    }
    if (token.size() > 4096) {
        *why = "the API token file " + path + " is longer than a token (4096 bytes)";
        return "";
    }
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r')) token.pop_back();
    const bool printable = std::all_of(token.begin(), token.end(), [](char c) { return c > 0x20 && c < 0x7F; });
    if (token.empty() || !printable) {
        *why = "the API token file " + path + " must hold one line of printable characters without spaces";
        return "";
    }
    return token;
}

// The API's token, when a file is given for it: 0, or the exit status.
int TakeApiToken(Station &station) {
    if (station.options.api_token_file.empty()) return 0;
    std::string why;
    station.api_token = ReadApiToken(station.options.api_token_file, &why);
    return station.api_token.empty() ? Fail(why + "; nothing was flashed") : 0;
}

// The web side serves from here on; its writes go to the desk.
void StartWeb(Station &station) {
    station.web->SetHookLog(station.options.dir + "/hooks.log");
    WriteDesk &desk = *station.desk;
    station.web->AllowWrites(station.api_token, [&desk](const WriteRequest &request) { return desk.Ask(request); });
    station.web->Start(*station.status);
    fprintf(stderr, "pardulo-station: serving %s\n", station.web->ServingUrls().c_str());
}

// 1 when records could not be written or a worker ended abnormally, or
// with --once when a fixture's device did not get the whole map; else 0.
int ExitStatus(const Station &station, bool workers_fine) {
    if (station.records_broken || !workers_fine) return 1;
    if (!station.options.once) return 0;
    for (const bool ok : station.port_ok) {
        if (!ok) return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    // The station's own processes: a port's worker.
    if (argc > 1 && strcmp(argv[1], kPortWorkerArgument) == 0) RunPortWorker(argc, argv);

    MakeStdoutLineBuffered();
    Station station;
    bool done = false;
    if (const int status = ParseOptions(argc, argv, &station.options, &done); status != 0 || done) return status;

    // The web address is taken first: one that cannot be served changes nothing.
    if (!station.options.http.empty()) {
        std::string error;
        station.web = StationHttp::Bind(station.options.http, station.options.log, &error);
        if (!station.web) return Fail(error + "; nothing was flashed");
    }
    if (const int status = TakeApiToken(station)) return status;

    // The map checked and placed, the record file opened.
    std::vector<std::string> folders;
    if (const int status = Prepare(station, &folders)) return status;
    station.port_ok.assign(folders.size(), false);
    if (const int status = StartPublisher(station)) return status;

    // A stop request ends the uploads under way, not the station.
    CatchStopRequests();

    // The hook runs for the records of interrupted uploads too, which are
    // written before any worker starts.
    StartHook(station);
    station.folders = folders;
    if (const int status = RecordInterrupted(station)) return status;

    // One worker per port; the board shows what they tell.
    EventInbox inbox;
    if (const int status = StartWorkers(station, folders, inbox)) return status;
    station.status =
        std::make_unique<StationStatus>(station.facts, FixtureNames(station.options), UtcTimestamp(), MonotonicNowMs());
    if (station.web) StartWeb(station);
    StationBoard board(*station.status, DefaultOperatorDisplayIo().live);
    ShowRecovered(station, board);
    ServiceReady();
    ShareStatusWithBroker(station);
    RunEventLoop(station, board, inbox);
    ServiceStopping();
    const bool workers_fine = ReapWorkers(station, board);
    FinishHooks(station, board);
    ChangeStatus(station, -1, StationHttp::Tell::kEveryPort, [&] {
        station.status->Stop();
        return true;
    });
    board.Close(MonotonicNowMs());
    if (station.web) station.web->Stop();

    return ExitStatus(station, workers_fine);
}
