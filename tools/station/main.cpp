// pardulo-station: the program a production line runs all day. It flashes
// every device that shows up on any of its ports, in parallel, keeps a
// record line of each for the line's tracing system and shows the operator
// a board of what goes on.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "device_record.h"
#include "file_handles.h"
#include "globals.h"
#include "operator_display.h"
#include "platform_time.h"
#include "port_worker.h"
#include "program_info.h"
#include "record_hook.h"
#include "resource_map.h"
#include "resource_warnings.h"
#include "station_board.h"
#include "station_events.h"
#include "station_http.h"

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
    std::vector<std::string> ports;
};

const char kUsage[] =
    "Usage: pardulo-station [--once] [--log FILE] [--dir DIR] [--wait SECONDS] [--allow-gaps]\n"
    "                       [--on-record COMMAND [--hook-timeout SECONDS]]\n"
    "                       [--http [ADDR:]PORT] [--name TEXT] PORT...\n"
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
    "                    /bin/sh -c, the line on its standard input, PARDULO_RESULT,\n"
    "                    PARDULO_PORT and PARDULO_DEVICE set; one at a time, in\n"
    "                    record order, beside the flashing; a failure goes to\n"
    "                    standard error and DIR/hooks.log\n"
    "  --hook-timeout SECONDS  kill a hook still running after this (default 60)\n"
    "  --http [ADDR:]PORT  serve the board as a web page and a JSON API on ADDR\n"
    "                    (default 127.0.0.1; 0.0.0.0 for the whole network)\n"
    "  --name TEXT       the station's name on the page and in every record\n"
    "                    (default: the host name)\n"
    "Standard output: one line per finished device, \"PORT DEVICE RESULT SECONDS REASON\".\n"
    "SIGINT or SIGTERM: uploads under way stop at once (exit command sent), exit 0.\n"
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
    *done = true;
    for (int i = 1; i < argc; ++i) {
        switch (InfoRequestOf(argv[i])) {
            case InfoRequest::kHelp: fputs(kUsage, stdout); return 0;
            case InfoRequest::kVersion: PrintVersion("pardulo-station"); return 0;
            case InfoRequest::kNone: break;
        }
    }
    *done = false;
    bool ports_only = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool takes_value = arg == "--log" || arg == "--dir" || arg == "--wait" || arg == "--on-record" ||
                                 arg == "--hook-timeout" || arg == "--http" || arg == "--name";
        if (ports_only || arg.empty() || arg[0] != '-') {
            options->ports.push_back(arg);
        } else if (arg == "--") {
            ports_only = true;
        } else if (arg == "--once") {
            options->once = true;
        } else if (arg == "--allow-gaps") {
            options->allow_gaps = true;
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
            options->name = argv[++i];
            if (options->name.empty()) return Fail("--name needs a name");
        } else if (arg == "--wait") {
            if (!ParseSeconds(argv[++i], &options->wait_s)) return Fail(std::string("bad --wait: ") + argv[i]);
        } else if (arg == "--on-record") {
            options->on_record = argv[++i];
            if (options->on_record.empty()) return Fail("--on-record needs a command");
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

// The port's folder: the name without /dev/, anything but letters, digits,
// ".", "_" and "-" turned into "_"; a name of dots only would be a folder
// that is already there ("." or "..") and becomes underscores.
std::string PortFolderName(const std::string &port) {
    std::string name = port.rfind("/dev/", 0) == 0 ? port.substr(5) : port;
    bool dots_only = true;
    for (char &c : name) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                          c == '_' || c == '-';
        if (!safe) c = '_';
        if (c != '.') dots_only = false;
    }
    if (dots_only) name.assign(name.size() + 1, '_');
    return name;
}

bool MakeDirs(const std::string &path) {
    for (std::size_t at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/') continue;
        const std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
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
            if (mkdir(earlier.c_str(), 0755) != 0 && errno != EEXIST) return Fail("cannot create " + earlier);
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
        if (!MakeDirs(folder)) return Fail("cannot create " + folder + ": " + strerror(errno));
        if (const int status = KeepEarlierOutputs(folder)) return status;
        const std::string path = folder + "/" + ZEBMAP_FILE;
        std::string copy;
        if (!WriteWhole(path, map) || !ReadWhole(path, &copy)) return Fail("cannot write " + path);
        if (Sha256Hex(copy) != sha256) return Fail(path + " does not read back as written");
    }
    return 0;
}

// Runs the map checker on the copy in folder, in a child process (the
// checker reads the working directory's map and prints on standard
// output). Its output is shown on standard error only when the map fails.
int CheckMap(const std::string &folder) {
    FilePtr report(tmpfile());
    if (!report) return Fail("cannot check the map: no temporary file");
    fflush(stdout);
    const pid_t child = fork();
    if (child < 0) return Fail("cannot check the map: fork failed");
    if (child == 0) {
        if (dup2(fileno(report.get()), STDOUT_FILENO) < 0 || chdir(folder.c_str()) != 0) _exit(3);
        const int checked = ReadResourceZebmapFile();
        fflush(stdout);
        _exit(checked == 0 ? 0 : 1);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
    rewind(report.get());
    char line[MAX_LINE_SIZE];
    while (fgets(line, sizeof line, report.get()) != nullptr) fprintf(stderr, "  %s", line);
    return Fail("./zebmap.map does not check (the checker's report is above); nothing was flashed");
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

volatile std::sig_atomic_t stop_signal = 0;  // how many stop signals came
void OnStopSignal(int) { stop_signal = stop_signal + 1; }

double NowMs() { return static_cast<double>(MonotonicMs()); }

struct Station {
    Options options;
    StationFacts facts;
    int log_fd = -1;
    std::vector<pid_t> workers;
    std::vector<bool> port_ok;      // --once: the port's device got the whole map
    bool records_broken = false;    // a record could not be written
    std::unique_ptr<RecordHook> hook;  // --on-record
    std::unique_ptr<StationHttp> web;  // --http
};

void SignalWorkers(const Station &station, int signal_number) {
    for (const pid_t pid : station.workers) {
        if (pid > 0) kill(pid, signal_number);
    }
}

// A device's run has ended: its record, its line, the board.
void RecordRun(Station &station, StationBoard &board, int port, const DeviceRun &run) {
    const std::string &name = station.options.ports[port];
    const std::string line = FormatRecordLine(UtcTimestamp(), station.facts, name, run);
    if (!station.records_broken) {
        const int err = AppendRecordLine(station.log_fd, line);
        if (err == 0 && station.hook) station.hook->Add({line, run.ok ? "ok" : "failed", name, run.device});
        if (err != 0) {
            // A line that cannot trace its devices must not go on flashing.
            station.records_broken = true;
            board.Say("cannot write the record to " + station.options.log + ": " + strerror(err) +
                      "; no new devices are taken (the device on " + name + " is not recorded)");
            SignalWorkers(station, SIGUSR1);
        }
    } else {
        board.Say("not recorded: device " + std::to_string(run.device) + " on " + name);
    }
    station.port_ok[port] = run.ok;
    board.Finished(port, run);
    if (station.web) station.web->OnRecord(port, line);
}

void HandleEvent(Station &station, StationBoard &board, const StationEvent &event) {
    if (event.port < 0 || event.port >= static_cast<int>(station.options.ports.size())) return;
    switch (event.kind) {
        case EventKind::kWaiting: board.Waiting(event.port); break;
        case EventKind::kNoPort: board.NoPort(event.port, event.text); break;
        case EventKind::kUploading: board.Uploading(event.port, event.run.device); break;
        case EventKind::kProgress: board.Progress(event.port, event.text); break;
        case EventKind::kFinished: RecordRun(station, board, event.port, event.run); break;
        case EventKind::kRemoval: board.AwaitingRemoval(event.port); break;
        case EventKind::kProblem: board.Say(station.options.ports[event.port] + ": " + event.text); break;
    }
    if (station.web) station.web->OnEvent(event);
}

// Reads the workers' events until every worker has closed its end.
void RunEventLoop(Station &station, StationBoard &board, int events_fd) {
    std::string pending;
    bool stop_passed_on = false;
    for (;;) {
        if (stop_signal && !stop_passed_on) {
            board.Say("stopping: no new devices; uploads under way are ended");
            SignalWorkers(station, SIGTERM);
            stop_passed_on = true;
        }
        struct pollfd wait_for{events_fd, POLLIN, 0};
        const int ready = poll(&wait_for, 1, 250);
        if (ready > 0) {
            char buffer[8192];
            const ssize_t got = read(events_fd, buffer, sizeof buffer);
            if (got == 0) break;
            if (got > 0) pending.append(buffer, static_cast<std::size_t>(got));
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                StationEvent event;
                if (DecodeEvent(pending.substr(0, end), &event)) HandleEvent(station, board, event);
                pending.erase(0, end + 1);
            }
        }
        if (station.hook) {
            for (const std::string &report : station.hook->TakeReports()) board.Say(report);
        }
        board.Refresh(NowMs());
    }
}

// The hooks of the records already written still run before the station
// ends, each within its time-out; a further stop signal ends the waiting.
void FinishHooks(Station &station, StationBoard &board) {
    if (!station.hook) return;
    const std::sig_atomic_t signals_before = stop_signal;
    if (const std::size_t pending = station.hook->Pending()) {
        board.Say("running the hooks of " + std::to_string(pending) +
                  " records already written (Ctrl-C or SIGTERM gives up on them)");
    }
    bool abandoned = false;
    while (station.hook->Pending() > 0) {
        if (stop_signal != signals_before && !abandoned) {
            station.hook->Abandon();
            abandoned = true;
        }
        for (const std::string &report : station.hook->TakeReports()) board.Say(report);
        poll(nullptr, 0, 100);
    }
    station.hook->Finish();
    for (const std::string &report : station.hook->TakeReports()) board.Say(report);
}

// Forks one worker per port; the parent keeps the read end of the pipe.
int StartWorkers(Station &station, const std::vector<std::string> &folders, int *events_fd) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return Fail("cannot make a pipe");
    fflush(stdout);
    fflush(stderr);
    for (std::size_t i = 0; i < folders.size(); ++i) {
        const pid_t pid = fork();
        if (pid < 0) {
            SignalWorkers(station, SIGTERM);
            return Fail("cannot start a process for " + station.options.ports[i]);
        }
        if (pid == 0) {
            close(pipe_fds[0]);
            close(station.log_fd);
            PortWorkerSetup setup;
            setup.index = static_cast<int>(i);
            setup.port = station.options.ports[i];
            setup.once = station.options.once;
            setup.wait_s = station.options.wait_s;
            setup.events_fd = pipe_fds[1];
            if (chdir(folders[i].c_str()) != 0) _exit(3);
            RunPortWorker(setup);
        }
        station.workers.push_back(pid);
    }
    close(pipe_fds[1]);
    *events_fd = pipe_fds[0];
    return 0;
}

// Collects the workers; false when one of them ended abnormally.
bool ReapWorkers(Station &station, StationBoard &board) {
    bool all_fine = true;
    for (std::size_t i = 0; i < station.workers.size(); ++i) {
        int status = 0;
        while (waitpid(station.workers[i], &status, 0) < 0 && errno == EINTR) {
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            board.Say("the process of " + station.options.ports[i] + " ended abnormally");
            all_fine = false;
        }
    }
    return all_fine;
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "";
    return name;
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
    station.log_fd = open(station.options.log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (station.log_fd < 0) return Fail("cannot open " + station.options.log + ": " + strerror(errno));
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    Station station;
    bool done = false;
    if (const int status = ParseOptions(argc, argv, &station.options, &done); status != 0 || done) return status;

    // The web address is taken first: one that cannot be served changes nothing.
    if (!station.options.http.empty()) {
        std::string error;
        station.web = StationHttp::Bind(station.options.http, station.options.log, &error);
        if (!station.web) return Fail(error + "; nothing was flashed");
    }
    std::vector<std::string> folders;
    if (const int status = Prepare(station, &folders)) return status;
    station.port_ok.assign(folders.size(), false);

    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = OnStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int events_fd = -1;
    if (const int status = StartWorkers(station, folders, &events_fd)) return status;
    // Threads only now that the port processes are forked.
    if (!station.options.on_record.empty()) {
        station.hook = std::make_unique<RecordHook>(station.options.on_record, station.options.hook_timeout_s,
                                                    station.options.dir + "/hooks.log");
        station.hook->Start();
    }
    if (station.web) {
        station.web->Start(station.facts, station.options.ports, NowMs());
        fprintf(stderr, "pardulo-station: serving %s\n", station.web->Url().c_str());
    }
    StationBoard board(station.options.ports, DefaultOperatorDisplayIo().live, NowMs());
    RunEventLoop(station, board, events_fd);
    const bool workers_fine = ReapWorkers(station, board);
    FinishHooks(station, board);
    board.Close(NowMs());
    if (station.web) station.web->Stop();

    if (station.records_broken || !workers_fine) return 1;
    if (!station.options.once) return 0;
    for (const bool ok : station.port_ok) {
        if (!ok) return 1;
    }
    return 0;
}
