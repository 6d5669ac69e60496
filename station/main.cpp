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
#include <optional>
#include <set>
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
#include "resource_map.h"
#include "resource_warnings.h"
#include "service_notify.h"
#include "sha256.h"
#include "station_board.h"
#include "station_events.h"
#include "station_http.h"
#include "station_status.h"
#include "stop_requests.h"
#include "system_error.h"
#include "write_desk.h"

namespace {

struct Options {
    bool once = false;
    bool allow_gaps = false;  // flash a map that lacks blocks
    std::string log = "station.jsonl";
    std::string dir = "station";
    double wait_s = 10;
    std::string http;  // [ADDR:]PORT of the web page and API, "" for none
    std::string name;  // the station's name, "" for the host name
    std::string on_record;      // the hook's command, "" for none
    double hook_timeout_s = 60;
    int retries = 0;     // a board refused or unanswered is flashed again this often at most
    bool verify = false; // every record read back before the exit command
    std::string api_token_file;   // the token the API's writes need; "" for none (no writes)
    bool require_serial = false;  // a device waits for its serial number before it is flashed
    bool allow_repeated_serial = false;
    std::vector<std::string> ports;
};

const char kUsage[] =
    "Usage: pardulo-station [--once] [--log FILE] [--dir DIR] [--wait SECONDS] [--allow-gaps]\n"
    "                       [--on-record COMMAND [--hook-timeout SECONDS]]\n"
    "                       [--http [ADDR:]PORT] [--name TEXT] [--retries N] [--verify]\n"
    "                       [--api-token-file FILE] [--require-serial] [--allow-repeated-serial] PORT...\n"
    "       pardulo-station -h|--help|-V|--version\n"
    "Flashes ./zebmap.map (checked first, then kept as it was) into every device that\n"
    "arrives on any PORT, all ports in parallel, one device after the other on each.\n"
    "  --once            flash each port's first device, then end\n"
    "  --wait SECONDS    with --once: how long a port awaits its device (default 10)\n"
    "  --log FILE        the record of every device, one JSON line each\n"
    "                    (default station.jsonl)\n"
    "  --dir DIR         DIR/<port>/ holds the port's zebmap.log and each device's\n"
    "                    program output NNNNN.out (default station)\n"
    "  --allow-gaps      flash a map whose blocks are not 1, 2, ... without a gap\n"
    "                    (one built with a resource skipped); refused otherwise\n"
    "  --on-record COMMAND  after each record line is on disk, run COMMAND with\n"
    "                    /bin/sh -c (cmd /c on Windows), the line on its standard\n"
    "                    input, PARDULO_RESULT, PARDULO_PORT and PARDULO_DEVICE set;\n"
    "                    one at a time, in record order, beside the flashing; a\n"
    "                    failure goes to standard error and DIR/hooks.log\n"
    "  --hook-timeout SECONDS  kill a hook still running after this (default 60)\n"
    "  --http [ADDR:]PORT  serve the board as a web page and a JSON API on ADDR\n"
    "                    (default 127.0.0.1; 0.0.0.0 for the whole network)\n"
    "  --name TEXT       the station's name on the page and in every record\n"
    "                    (default: the host name)\n"
    "  --retries N       flash a board whose upload was refused or unanswered again,\n"
    "                    up to N more times (default 0); one record per board\n"
    "  --verify          read every record back and compare it with the map before\n"
    "                    the exit command (takes as long again as the upload)\n"
    "  --api-token-file FILE  the token (one line) that the web API's writes need\n"
    "                    (Authorization: Bearer TOKEN); without it nothing can be changed\n"
    "  --require-serial  a device waits for its serial number (given through the API)\n"
    "                    before it is flashed\n"
    "  --allow-repeated-serial  take a serial number used already in the record file\n"
    "Standard output: one line per finished device, \"PORT DEVICE RESULT SECONDS REASON\".\n"
    "SIGINT or SIGTERM (Windows: Ctrl-C, Ctrl-Break, closing the console window):\n"
    "uploads under way stop at once (exit command sent), exit 0.\n"
    "Exit status: --once: 0 only when every port's device got the whole map, else 1;\n"
    "otherwise 0 after SIGINT or SIGTERM, 1 when records could not be written;\n"
    "2 for a bad command line or map.\n";

int Fail(const std::string &message) {
    fprintf(stderr, "pardulo-station: %s\n", message.c_str());
    return 2;
}

bool ParseSeconds(const char *text, double *seconds) {
    char *end = nullptr;
    errno = 0;
    const double value = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(value >= 0) || value > 86400.0 * 365) return false;
    *seconds = value;
    return true;
}

// 0 to go on, otherwise the exit status (help and version: 0, errors: 2).
int ParseOptions(int argc, char **argv, Options *options, bool *done) {
    // Help and version are answered before anything else is looked at.
    *done = AnswerInfoRequest(argc, argv, "pardulo-station", kUsage);
    if (*done) return 0;
    bool ports_only = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool takes_value = arg == "--log" || arg == "--dir" || arg == "--wait" || arg == "--on-record" ||
                                 arg == "--hook-timeout" || arg == "--http" || arg == "--name" ||
                                 arg == "--retries" || arg == "--api-token-file";
        if (ports_only || arg.empty() || arg[0] != '-') {
            options->ports.push_back(arg);
        } else if (arg == "--") {
            ports_only = true;
        } else if (arg == "--once") {
            options->once = true;
        } else if (arg == "--allow-gaps") {
            options->allow_gaps = true;
        } else if (arg == "--verify") {
            options->verify = true;
        } else if (arg == "--require-serial") {
            options->require_serial = true;
        } else if (arg == "--allow-repeated-serial") {
            options->allow_repeated_serial = true;
        } else if (takes_value && i + 1 < argc && arg == "--api-token-file") {
            options->api_token_file = argv[++i];
            if (options->api_token_file.empty()) return Fail("--api-token-file needs a file");
        } else if (takes_value && i + 1 >= argc) {
            return Fail(arg + " needs a value");
        } else if (arg == "--log") {
            options->log = argv[++i];
        } else if (arg == "--dir") {
            options->dir = argv[++i];
        } else if (arg == "--http") {
            options->http = argv[++i];
            if (options->http.empty()) return Fail("--http needs [ADDR:]PORT");
        } else if (arg == "--name") {
            options->name = ArgumentText(argc, argv, ++i);
            if (options->name.empty()) return Fail("--name needs a name");
        } else if (arg == "--wait") {
            if (!ParseSeconds(argv[++i], &options->wait_s)) return Fail(std::string("bad --wait: ") + argv[i]);
        } else if (arg == "--on-record") {
            options->on_record = argv[++i];
            if (options->on_record.empty()) return Fail("--on-record needs a command");
        } else if (arg == "--retries") {
            double retries = 0;
            if (!ParseSeconds(argv[++i], &retries) || retries > 100 || retries != static_cast<int>(retries)) {
                return Fail(std::string("bad --retries (0 to 100): ") + argv[i]);
            }
            options->retries = static_cast<int>(retries);
        } else if (arg == "--hook-timeout") {
            if (!ParseSeconds(argv[++i], &options->hook_timeout_s) || options->hook_timeout_s <= 0) {
                return Fail(std::string("bad --hook-timeout: ") + argv[i]);
            }
        } else {
            return Fail("unknown option " + arg + " (see --help)");
        }
    }
    if (options->ports.empty()) return Fail("no port given\n" + std::string(kUsage));
    if (options->log.empty() || options->dir.empty()) return Fail("--log and --dir need a name");
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

bool ReadWhole(const std::string &path, std::string *bytes) {
    const FilePtr file = OpenRegularFile(path.c_str(), "rb");
    if (!file) return false;
    bytes->clear();
    char buffer[1 << 16];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file.get())) > 0) bytes->append(buffer, got);
    return ferror(file.get()) == 0;
}

bool WriteWhole(const std::string &path, const std::string &bytes) {
    FilePtr file(fopen(path.c_str(), "wb"));
    if (!file) return false;
    const bool written = fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
    return fclose(file.release()) == 0 && written;
}

bool IsDeviceOutputName(const char *name) {
    return strlen(name) == 9 && strspn(name, "0123456789") == 5 && strcmp(name + 5, ".out") == 0;
}

// Device numbers start at 1 in every run: the outputs of an earlier run are
// moved into earlier-<UTC time>/ of the folder rather than overwritten.
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
int PlaceMap(const std::string &map, const std::string &sha256, const std::vector<std::string> &folders) {
    for (const std::string &folder : folders) {
        if (const std::string why = MakeDirs(folder); !why.empty()) return Fail("cannot create " + folder + ": " + why);
        for (const std::string &why : RemoveOldOutputs(folder, kDefaultKeepDays)) {
            fprintf(stderr, "pardulo-station: cannot remove %s\n", why.c_str());  // flashing goes on
        }
        if (const int status = KeepEarlierOutputs(folder)) return status;
        const std::string path = folder + "/" + ZEBMAP_FILE;
        std::string copy;
        if (!WriteWhole(path, map) || !ReadWhole(path, &copy)) return Fail("cannot write " + path);
        if (Sha256Hex(copy) != sha256) return Fail(path + " does not read back as written");
    }
    return 0;
}

// The first argument that makes the station's program the map checker of
// one folder (CheckMap).
constexpr const char kMapCheckArgument[] = "--check-map";

// The map checker of folder, in this process: it reads the working
// directory's map and prints on standard output. Exit status 0 when the
// map checks.
int RunMapCheck(const char *folder) {
    std::error_code error;
    std::filesystem::current_path(folder, error);
    if (error) return 3;
    return ReadResourceZebmapFile() == 0 ? 0 : 1;
}

// A map with a hole in its blocks was built with a resource skipped: every
// device would miss that picture. Refused unless allowed, then said.
int CheckBlocks(const std::string &folder, bool allow_gaps) {
    const std::vector<BlockRun> missing = MissingMapBlocks((folder + "/" + ZEBMAP_FILE).c_str());
    if (missing.empty()) return 0;
    const std::string hole = MapGapText("./" ZEBMAP_FILE, missing);
    if (!allow_gaps) return Fail(hole + "; nothing was flashed (--allow-gaps flashes it all the same)");
    fprintf(stderr, "pardulo-station: %s; flashed all the same (--allow-gaps)\n", hole.c_str());
    return 0;
}

// Runs the map checker on the copy in folder, in a child process (it reads
// the working directory's map and prints on standard output). Its output is
// shown on standard error only when the map fails.
int CheckMap(const std::string &folder) {
    ChildSpec spec;
    spec.argv = {OwnProgramPath(), kMapCheckArgument, folder};
    spec.pipe_stdout = true;
    ChildProcess checker;
    std::string why;
    if (StartChild(spec, &checker, &why) != kChildOk) return Fail("cannot check the map: " + why);
    std::string report;
    char buffer[4096];
    for (long got; (got = ReadFromChild(checker, buffer, sizeof buffer)) > 0;) report.append(buffer, static_cast<std::size_t>(got));
    int status = -1;
    if (WaitChild(checker, -1, &status) == kChildOk && status == 0) return 0;
    for (const char *line = report.c_str(); *line != '\0';) {
        const char *end = strchr(line, '\n');
        const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - line) : strlen(line);
        fprintf(stderr, "  %.*s\n", static_cast<int>(length), line);
        line += length + (end != nullptr ? 1 : 0);
    }
    return Fail("./zebmap.map does not check (the checker's report is above); nothing was flashed");
}

double NowMs() { return static_cast<double>(MonotonicMs()); }

struct Station {
    Options options;
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
    std::unique_ptr<WriteDesk> desk;   // the API's writes
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
        const std::string &name = station.options.ports[static_cast<std::size_t>(port)];
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
void RecordRun(Station &station, StationBoard &board, int port, const DeviceRun &finished) {
    const std::string &name = station.options.ports[port];
    DeviceRun run = finished;
    run.serial = std::move(station.serial[static_cast<std::size_t>(port)]);
    station.serial[static_cast<std::size_t>(port)].reset();
    if (run.present && !run.serial) ShowSerial(station, port);
    const std::string line = FormatRecordLine(UtcTimestamp(), station.facts, name, run);
    if (!station.records_broken) {
        const int err = AppendRecordLine(station.records, line);
        if (err == 0 && station.hook) station.hook->Add({line, run.ok ? "ok" : "failed", name, run.device});
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
    board.Finished(port, run);
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
            return status.Progress(event.port, event.progress, event.bytes_per_second, NowMs());
        case EventKind::kRemoval: return status.AwaitingRemoval(event.port);
        case EventKind::kAwaitingSerial: return status.AwaitingSerial(event.port, event.run.device);
        case EventKind::kPaused: return status.Paused(event.port);
        case EventKind::kFinished:
        case EventKind::kProblem: break;
    }
    return false;
}

void HandleEvent(Station &station, StationBoard &board, const StationEvent &event) {
    if (event.port < 0 || event.port >= static_cast<int>(station.options.ports.size())) return;
    if (event.kind == EventKind::kFinished) return RecordRun(station, board, event.port, event.run);
    if (event.kind == EventKind::kProblem) return board.Say(station.options.ports[event.port] + ": " + event.text);
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
        if (station.hook) {
            for (const std::string &report : station.hook->TakeReports()) board.Say(report);
        }
        board.Refresh(NowMs());
        ServiceAlive(board.TotalsLine(NowMs()));
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
        for (const std::string &report : station.hook->TakeReports()) board.Say(report);
        PauseMs(100);
    }
    station.hook->Finish();
    for (const std::string &report : station.hook->TakeReports()) board.Say(report);
}

// Starts one worker per port (this program again, with kPortWorkerArgument)
// and listens to each.
int StartWorkers(Station &station, const std::vector<std::string> &folders, EventInbox &inbox) {
    const std::string program = OwnProgramPath();
    station.workers.resize(folders.size());
    for (std::size_t i = 0; i < folders.size(); ++i) {
        PortWorkerSetup setup;
        setup.index = static_cast<int>(i);
        setup.port = station.options.ports[i];
        setup.folder = folders[i];
        setup.once = station.options.once;
        setup.wait_s = station.options.wait_s;
        setup.retries = station.options.retries;
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
            return Fail("cannot start a process for " + station.options.ports[i] + ": " + why);
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
            board.Say("the process of " + station.options.ports[i] + " ended abnormally");
            all_fine = false;
        }
    }
    return all_fine;
}

// Everything before the first device: the map read, placed and checked,
// the record file opened. 0, or the exit status.
int Prepare(Station &station, std::vector<std::string> *folders) {
    std::set<std::string> seen;
    for (const std::string &port : station.options.ports) {
        const std::string folder = station.options.dir + "/" + PortFolderName(port);
        if (!seen.insert(folder).second) return Fail("two ports would share the folder " + folder + ": " + port);
        folders->push_back(folder);
    }
    std::string map;
    if (!ReadWhole(ZEBMAP_FILE, &map)) return Fail("cannot read ./" ZEBMAP_FILE);
    if (map.size() > UINT32_MAX) return Fail("./" ZEBMAP_FILE " is too large");
    station.facts.map_sha256 = Sha256Hex(map);
    station.facts.map_bytes = static_cast<uint32_t>(map.size());
    if (const int status = PlaceMap(map, station.facts.map_sha256, *folders)) return status;
    if (const int status = CheckMap(folders->front())) return status;
    if (const int status = CheckBlocks(folders->front(), station.options.allow_gaps)) return status;
    station.facts.map_records = CountMapRecords((folders->front() + "/" + ZEBMAP_FILE).c_str());
    station.facts.station = station.options.name.empty() ? HostName() : station.options.name;
    if (const int err = OpenRecordFile(station.options.log, &station.records)) {
        return Fail("cannot open " + station.options.log + ": " + SystemErrorText(err));
    }
    // A serial number of the record file is taken once only.
    station.desk = std::make_unique<WriteDesk>(folders->size(), station.options.allow_repeated_serial);
    std::string recorded;
    if (ReadWhole(station.options.log, &recorded)) station.desk->UsedInRecords(recorded);
    const std::size_t ports = folders->size();
    station.serial.assign(ports, std::nullopt);
    station.awaiting_serial.assign(ports, false);
    station.next_serial.assign(ports, "");
    return 0;
}

// The API's token from its file: one line, its line end not part of it.
// "" and the reason when the file holds none.
std::string ReadApiToken(const std::string &path, std::string *why) {
    std::string token;
    if (!ReadWhole(path, &token)) {
        *why = "cannot read the API token file " + path + ": " + strerror(errno);
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

}  // namespace

int main(int argc, char **argv) {
    // The station's own processes: a port's worker, the map's checker.
    if (argc > 1 && strcmp(argv[1], kPortWorkerArgument) == 0) RunPortWorker(argc, argv);
    if (argc == 3 && strcmp(argv[1], kMapCheckArgument) == 0) return RunMapCheck(argv[2]);

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
    std::string token;
    if (!station.options.api_token_file.empty()) {
        std::string why;
        token = ReadApiToken(station.options.api_token_file, &why);
        if (token.empty()) return Fail(why + "; nothing was flashed");
    }

    // The map checked and placed, the record file opened.
    std::vector<std::string> folders;
    if (const int status = Prepare(station, &folders)) return status;
    station.port_ok.assign(folders.size(), false);

    // A stop request ends the uploads under way, not the station.
    CatchStopRequests();

    // One worker per port; the board shows what they tell.
    EventInbox inbox;
    if (const int status = StartWorkers(station, folders, inbox)) return status;
    if (!station.options.on_record.empty()) {
        station.hook = std::make_unique<RecordHook>(station.options.on_record, station.options.hook_timeout_s,
                                                    station.options.dir + "/hooks.log");
        station.hook->Start();
    }
    station.status = std::make_unique<StationStatus>(station.facts, station.options.ports, UtcTimestamp(), NowMs());
    if (station.web) {
        WriteDesk &desk = *station.desk;
        station.web->AllowWrites(token, [&desk](const WriteRequest &request) { return desk.Ask(request); });
        station.web->Start(*station.status);
        fprintf(stderr, "pardulo-station: serving %s\n", station.web->ServingUrls().c_str());
    }
    StationBoard board(*station.status, DefaultOperatorDisplayIo().live);
    ServiceReady();
    RunEventLoop(station, board, inbox);
    ServiceStopping();
    const bool workers_fine = ReapWorkers(station, board);
    FinishHooks(station, board);
    ChangeStatus(station, -1, StationHttp::Tell::kEveryPort, [&] {
        station.status->Stop();
        return true;
    });
    board.Close(NowMs());
    if (station.web) station.web->Stop();

    if (station.records_broken || !workers_fine) return 1;
    if (!station.options.once) return 0;
    for (const bool ok : station.port_ok) {
        if (!ok) return 1;
    }
    return 0;
}
