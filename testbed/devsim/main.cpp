// pardulo-devsim: a simulated display device on a pseudo-terminal, alone or
// wrapped around a command that talks to it. See UsageText() for the options.
#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device_outputs.h"
#include "devsim_options.h"
#include "program_info.h"
#include "pty_device.h"
#include "screenshot.h"
#include "util/failure.h"
#include "util/whole_file.h"

namespace {

constexpr int kDeviceFailure = 2;
constexpr const char *kProgram = "pardulo-devsim";
constexpr const char *kAdapterName = "libpardulo_pty_adapter.so";

void Complain(const std::string &text) { util::PrintFailure(kProgram, text); }

std::string DirectoryOfSelf() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    path[n] = '\0';
    std::string self(path);
    const size_t slash = self.rfind('/');
    return slash == std::string::npos ? "." : self.substr(0, slash);
}

// Where the wrapper mode looks for the pty adapter, in this order: beside
// pardulo-devsim (the build folder), then where an install puts it, found
// from the program's own folder so that any prefix works.
std::vector<std::string> AdapterCandidates() {
    const std::string self_dir = DirectoryOfSelf();
    return {self_dir + "/" + kAdapterName, self_dir + "/" PARDULO_ADAPTER_FROM_BINDIR "/" + kAdapterName};
}

// The first readable path of candidates, or "".
std::string FirstReadable(const std::vector<std::string> &candidates) {
    for (const std::string &candidate : candidates)
        if (::access(candidate.c_str(), R_OK) == 0) return candidate;
    return "";
}

std::string ReplacePlaceholder(std::string arg, const std::string &port) {
    const std::string placeholder = "{port}";
    for (size_t at = arg.find(placeholder); at != std::string::npos; at = arg.find(placeholder, at + port.size()))
        arg.replace(at, placeholder.size(), port);
    return arg;
}

// Starts the wrapped command; returns its pid, or -1 when fork failed.
pid_t StartCommand(const std::vector<std::string> &command, const std::string &port, const std::string &adapter,
                   const sigset_t &original_mask) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;

    ::sigprocmask(SIG_SETMASK, &original_mask, nullptr);
    if (!adapter.empty()) {
        const char *previous = std::getenv("LD_PRELOAD");
        const std::string preload = previous != nullptr && *previous != '\0' ? adapter + ":" + previous : adapter;
        ::setenv("LD_PRELOAD", preload.c_str(), 1);
        // A sanitized program refuses to start when it is not first in line.
        const char *asan = std::getenv("ASAN_OPTIONS");
        if (asan == nullptr || *asan == '\0') ::setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    }
    std::vector<std::string> args;
    for (const std::string &arg : command) args.push_back(ReplacePlaceholder(arg, port));
    std::vector<char *> argv;
    for (std::string &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    std::fprintf(stderr, "pardulo-devsim: cannot run %s: %s\n", argv[0], std::strerror(errno));
    std::fflush(stderr);
    ::_exit(127);
}

// The picture the get request streams: --screenshot's file, or the test picture.
bool LoadPicture(const devsim::Options &options, std::vector<uint8_t> &picture) {
    if (options.screenshot_path.empty()) {
        picture = devsim::MakeTestPicture();
        return true;
    }
    std::string error;
    if (util::ReadWholeFile(options.screenshot_path, picture, error)) return true;
    Complain("screenshot: " + error);
    return false;
}

// The pty adapter the wrapped command gets preloaded, "" for none; false
// when one is wanted and none is found.
bool FindAdapter(const devsim::Options &options, std::string &adapter) {
    adapter.clear();
    if (options.command.empty() || options.adapter.value_or("") == "none") return true;
    const std::vector<std::string> candidates =
        options.adapter ? std::vector<std::string>{*options.adapter} : AdapterCandidates();
    adapter = FirstReadable(candidates);
    if (!adapter.empty()) return true;
    std::string looked_at;
    for (const std::string &candidate : candidates) looked_at += (looked_at.empty() ? "" : " or ") + candidate;
    Complain("pty adapter " + looked_at + " not found (build the target pardulo_pty_adapter, or give " +
             "--adapter PATH or --adapter none)");
    return false;
}

// The store (a line of devices keeps one per device, opened as each
// arrives) and the transcript, before the device starts.
bool OpenOutputs(const devsim::Options &options, devsim::Store &store, devsim::Transcript &transcript) {
    std::string error;
    const bool line_store = options.devices > 1 && !options.store_dir.empty();
    if (line_store ? !devsim::PrepareStoreDirectory(options.store_dir, error)
                   : !options.store_dir.empty() && !store.Open(options.store_dir, error)) {
        Complain(error);
        return false;
    }
    if (!options.transcript_path.empty() && !transcript.Open(options.transcript_path, error)) {
        Complain(error);
        return false;
    }
    return true;
}

// Signals arrive through a descriptor, so the device loop sees them in order
// with the line's bytes and always leaves its files complete. -1 on failure.
int WatchSignals(sigset_t &original_mask) {
    sigset_t handled;
    sigemptyset(&handled);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&handled, sig);
    if (::sigprocmask(SIG_BLOCK, &handled, &original_mask) != 0) {
        Complain(std::string("cannot block signals: ") + std::strerror(errno));
        return -1;
    }
    const int signal_fd = ::signalfd(-1, &handled, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signal_fd < 0) Complain(std::string("cannot watch signals: ") + std::strerror(errno));
    return signal_fd;
}

// Opens the pty and says where it is: on standard error, and in --port-file.
bool OpenPty(const devsim::Options &options, devsim::Pty &pty) {
    std::string error;
    if (!pty.Open(error)) {
        Complain(error);
        return false;
    }
    std::fprintf(stderr, "devsim: port %s\n", pty.slave_path().c_str());
    std::fflush(stderr);
    const std::string line = pty.slave_path() + "\n";
    if (!options.port_file.empty() && !util::ReplaceWholeFile(options.port_file, line.data(), line.size(), error)) {
        Complain(error);
        return false;
    }
    return true;
}

// 0 to go on, else the exit status: help, version, the test picture
// written, or a bad command line.
int AnswerWithoutDevice(int argc, char **argv, devsim::Options &options, bool &done) {
    done = true;
    const std::string parse_error = devsim::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options);
    if (!parse_error.empty()) return util::Fail(kProgram, parse_error + " (see --help)", kDeviceFailure);
    if (options.help) return std::fputs(devsim::UsageText().c_str(), stdout) < 0 ? kDeviceFailure : 0;
    if (options.version) {
        PrintVersion(kProgram);
        return 0;
    }
    if (!options.write_picture_path.empty()) {
        const std::vector<uint8_t> picture = devsim::MakeTestPicture();
        std::string error;
        if (!util::ReplaceWholeFile(options.write_picture_path, picture.data(), picture.size(), error))
            return util::Fail(kProgram, error, kDeviceFailure);
        return 0;
    }
    done = false;
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    using namespace devsim;

    Options options;
    bool done = false;
    const int answered = AnswerWithoutDevice(argc, argv, options, done);
    if (done) return answered;

    std::vector<uint8_t> picture;
    std::string adapter;
    Store store;
    Transcript transcript;
    if (!LoadPicture(options, picture) || !FindAdapter(options, adapter) || !OpenOutputs(options, store, transcript))
        return kDeviceFailure;
    sigset_t original_mask;
    const int signal_fd = WatchSignals(original_mask);
    Pty pty;
    if (signal_fd < 0 || !OpenPty(options, pty)) return kDeviceFailure;

    // A device gone before the port is opened must be gone before the command
    // starts: hanging up in the device loop would race a quick command.
    const auto first_hangup = options.SettingsFor(1).hangup_after;
    if (first_hangup && *first_hangup == 0) pty.HangUp();

    pid_t child = -1;
    if (!options.command.empty()) {
        std::fflush(stdout);
        child = StartCommand(options.command, pty.slave_path(), adapter, original_mask);
        if (child < 0) {
            Complain(std::string("cannot start the command: ") + std::strerror(errno));
            return kDeviceFailure;
        }
    }

    const bool line_store = options.devices > 1 && !options.store_dir.empty();
    RunContext context{options, picture, options.store_dir.empty() || line_store ? nullptr : &store,
                       transcript.is_open() ? &transcript : nullptr, signal_fd, child};
    RunResult result = RunDevice(pty, context);
    pty.Close();
    std::string error;
    if (!transcript.Close(error)) {
        Complain(error);
        result.ok = false;
    }
    ::close(signal_fd);

    if (!result.ok) return kDeviceFailure;
    if (child > 0) return result.child_exited ? result.child_status : kDeviceFailure;
    return 0;
}
