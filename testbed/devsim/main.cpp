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
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "device_outputs.h"
#include "devsim_options.h"
#include "program_info.h"
#include "pty_device.h"
#include "screenshot.h"

namespace {

constexpr int kDeviceFailure = 2;
constexpr const char *kAdapterName = "libpardulo_pty_adapter.so";

void Complain(const std::string &text) { std::fprintf(stderr, "pardulo-devsim: %s\n", text.c_str()); }

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

bool ReadWholeFile(const std::string &path, std::vector<uint8_t> &bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
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

}  // namespace

int main(int argc, char **argv) {
    using namespace devsim;

    Options options;
    const std::string parse_error = ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options);
    if (!parse_error.empty()) {
        Complain(parse_error + " (see pardulo-devsim --help)");
        return kDeviceFailure;
    }
    if (options.help) {
        std::fputs(UsageText(), stdout);
        return 0;
    }
    if (options.version) {
        PrintVersion("pardulo-devsim");
        return 0;
    }

    std::string error;
    if (!options.write_picture_path.empty()) {
        const std::vector<uint8_t> picture = MakeTestPicture();
        if (!WriteFileAtomically(options.write_picture_path, picture.data(), picture.size(), error)) {
            Complain(error);
            return kDeviceFailure;
        }
        return 0;
    }

    std::vector<uint8_t> picture;
    if (options.screenshot_path.empty()) {
        picture = MakeTestPicture();
    } else if (!ReadWholeFile(options.screenshot_path, picture)) {
        Complain("cannot read screenshot " + options.screenshot_path);
        return kDeviceFailure;
    }

    std::string adapter;
    if (!options.command.empty() && options.adapter.value_or("") != "none") {
        const std::vector<std::string> candidates =
            options.adapter ? std::vector<std::string>{*options.adapter} : AdapterCandidates();
        adapter = FirstReadable(candidates);
        if (adapter.empty()) {
            std::string looked_at;
            for (const std::string &candidate : candidates) looked_at += (looked_at.empty() ? "" : " or ") + candidate;
            Complain("pty adapter " + looked_at + " not found (build the target pardulo_pty_adapter, or give " +
                     "--adapter PATH or --adapter none)");
            return kDeviceFailure;
        }
    }

    // A line of devices keeps one store per device, opened as each arrives.
    const bool line_store = options.devices > 1 && !options.store_dir.empty();
    Store store;
    if (line_store ? !PrepareStoreDirectory(options.store_dir, error)
                   : !options.store_dir.empty() && !store.Open(options.store_dir, error)) {
        Complain(error);
        return kDeviceFailure;
    }
    Transcript transcript;
    if (!options.transcript_path.empty() && !transcript.Open(options.transcript_path, error)) {
        Complain(error);
        return kDeviceFailure;
    }

    // Signals arrive through a descriptor, so the device loop sees them in order
    // with the line's bytes and always leaves its files complete.
    sigset_t handled;
    sigset_t original_mask;
    sigemptyset(&handled);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&handled, sig);
    if (::sigprocmask(SIG_BLOCK, &handled, &original_mask) != 0) {
        Complain(std::string("cannot block signals: ") + std::strerror(errno));
        return kDeviceFailure;
    }
    const int signal_fd = ::signalfd(-1, &handled, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signal_fd < 0) {
        Complain(std::string("cannot watch signals: ") + std::strerror(errno));
        return kDeviceFailure;
    }

    Pty pty;
    if (!pty.Open(error)) {
        Complain(error);
        return kDeviceFailure;
    }
    std::fprintf(stderr, "devsim: port %s\n", pty.slave_path().c_str());
    std::fflush(stderr);
    if (!options.port_file.empty()) {
        const std::string line = pty.slave_path() + "\n";
        if (!WriteFileAtomically(options.port_file, reinterpret_cast<const uint8_t *>(line.data()), line.size(),
                                 error)) {
            Complain(error);
            return kDeviceFailure;
        }
    }

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

    RunContext context{options, picture, options.store_dir.empty() || line_store ? nullptr : &store,
                       transcript.is_open() ? &transcript : nullptr, signal_fd, child};
    RunResult result = RunDevice(pty, context);
    pty.Close();
    if (!transcript.Close(error)) {
        Complain(error);
        result.ok = false;
    }
    ::close(signal_fd);

    if (!result.ok) return kDeviceFailure;
    if (child > 0) return result.child_exited ? result.child_status : kDeviceFailure;
    return 0;
}
