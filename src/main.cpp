// pardulo: packs image resources into a resource map (mode d) and moves the
// map to a display device over a serial line (modes p, r, g).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "console.h"
#include "device_transfer.h"
#include "globals.h"
#include "platform_time.h"
#include "operator_display.h"
#include "program_info.h"
#include "progress_log.h"
#include "resource_map.h"
#include "resource_warnings.h"

namespace {

// Milliseconds since the program started, on a monotonic clock: the
// transmission time is wall-clock time whatever the processor does.
const uint64_t kProgramStartMs = MonotonicMs();

double Uptimems() { return static_cast<double>(MonotonicMs() - kProgramStartMs); }

// Develop: rebuild the map and the snippet from resources/, then read the
// map back. Fails when anything was skipped or the map does not check.
int DevelopRun(const char * /*port*/) {
    BuildStats stats;
    const int32_t built = BuildResourceZebmapFile(&stats);
    printf("** Reading for check....\n");
    const int32_t checked = ReadResourceZebmapFile();
    // The check's last lines may be those of an earlier map: say what the build did.
    PrintOperatorNote(FormatDevelopSummary(stats, built, checked));
    return (built != 0 || checked != 0) ? EXIT_FAILURE : EXIT_SUCCESS;
}

// Production: check the map, test the progress log, upload, report the time.
int ProductionRun(const char *port) {
    printf("Production mode\n");
    const int32_t checked = ReadResourceZebmapFile();
    if (checked != 0) {
        // The check says nothing about a map it cannot open: name it here.
        if (checked == -2) printf("* ERROR * Couldn't open the file %s\n", ZEBMAP_FILE);
        printf("** Some errors occurred. Stopping procedure....\n");
        return EXIT_FAILURE;
    }
    // A hole in the blocks is a picture the device will not have: the map
    // goes up all the same, but not without a word.
    const std::vector<BlockRun> missing = MissingMapBlocks(ZEBMAP_FILE);
    if (!missing.empty()) {
        PrintWarning(MapGapText(ZEBMAP_FILE, missing) + "; uploading it all the same");
    }
    const double t_i = Uptimems();
    if (TestLogProgressWritable() != 0) {
        printf("** Unable to open log-progress file [%s]. Stopping procedure....\n", LOG_FILE);
        return EXIT_FAILURE;
    }
    InstallInterruptNotice();
    printf("Sending data...\n");
    UploadOutcome outcome;
    const int sent = SendResourceZebmapFile(port, &outcome);
    const double t_f = Uptimems();
    printf("** Transmission time : %.0f ms  (Start time:%.0f, End time:%.0f) \n", t_f - t_i, t_i, t_f);
    const std::string hint = FormatRefusalHint(outcome);
    if (!hint.empty()) PrintOperatorNote(hint);
    return sent == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}

int ResetRun(const char *port) {
    printf("Sending data...\n");
    return SendResetCommand(port) == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}

int GetScreenshotRun(const char *port) {
    InstallInterruptNotice();
    printf("Sending data...\n");
    if (GetResource(port) != 0) return EXIT_FAILURE;
    // Standard output ends on the receive time-out that ends every download.
    struct stat st {};
    if (stat(SCREENSHOT_FILE, &st) == 0) {
        PrintOperatorNote(std::to_string(st.st_size) + " bytes saved to " + SCREENSHOT_FILE);
    }
    return EXIT_SUCCESS;
}

struct Mode {
    const char *name;
    const char *description;
    int (*run)(const char *port);
};

// In the order the usage banner lists them.
constexpr Mode kModes[] = {
    {"d", "develop", DevelopRun},
    {"p", "production", ProductionRun},
    {"r", "reset only", ResetRun},
    {"g", "get last stored screenshot", GetScreenshotRun},
};

void PrintUsage(const char *program) {
    std::string names;
    std::string meanings;
    for (const Mode &mode : kModes) {
        names += names.empty() ? "" : ", ";
        names += mode.name;
        meanings += meanings.empty() ? "" : ", ";
        meanings += std::string(mode.name) + "=" + mode.description;
    }
    printf("\n");
    printf(" Usage: %s {%s} [port] \n", program, names.c_str());
    printf("        (%s)\n", meanings.c_str());
    printf("        (port=serial port to use. I.E:\"COM1\")\n");
}

}  // namespace

int main(int argc, char *argv[]) {
    // Line tooling reads standard output as it happens, also from a pipe.
    MakeStdoutLineBuffered();

    // Asked for the usage or the version: the answer, and nothing else runs.
    switch (InfoRequestOf(argc > 1 ? argv[1] : nullptr)) {
        case InfoRequest::kHelp: PrintUsage(argv[0]); exit(EXIT_SUCCESS);
        case InfoRequest::kVersion: PrintVersion("pardulo"); exit(EXIT_SUCCESS);
        case InfoRequest::kNone: break;
    }

    // A mode is required; an unknown one is as good as none.
    const Mode *mode = nullptr;
    if (argc > 1) {
        for (const Mode &candidate : kModes) {
            if (strcmp(argv[1], candidate.name) == 0) mode = &candidate;
        }
    }
    if (mode == nullptr) {
        PrintUsage(argc > 0 ? argv[0] : "pardulo");
        exit(EXIT_FAILURE);
    }

    // The port argument is optional; the device modes pick a default.
    const char *port_arg = argc >= 3 ? argv[2] : "";

    exit(mode->run(port_arg));
}
