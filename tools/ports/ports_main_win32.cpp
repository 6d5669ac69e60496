// pardulo-ports on Windows: the serial ports of the system's serial-port
// list, one name per line, sorted, as 'pardulo p|r|g PORT' takes them.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "printable_text.h"
#include "program_info.h"
#include "serial_ports.h"

namespace {

void PrintUsage(FILE *out) {
    fprintf(out,
            "Usage: pardulo-ports [--help | --version]\n"
            "Lists the serial ports that can be given to 'pardulo p|r|g PORT',\n"
            "one name per line, from the system's serial-port list.\n"
            "Prints \"No serial ports found.\" when there are none. Exit status 0,\n"
            "or 1 when the ports cannot be listed.\n");
}

}  // namespace

int main(int argc, char *argv[]) {
    for (int i = 1; i < argc; ++i) {
        switch (InfoRequestOf(argv[i])) {
            case InfoRequest::kHelp: PrintUsage(stdout); return 0;
            case InfoRequest::kVersion: PrintVersion("pardulo-ports"); return 0;
            case InfoRequest::kNone: break;
        }
        fprintf(stderr, "pardulo-ports: unknown argument '%s'\n", argv[i]);
        PrintUsage(stderr);
        return 2;
    }
    std::vector<std::string> names;
    if (!ListSerialPorts(names)) {
        fprintf(stderr, "pardulo-ports: cannot list the serial ports: the system's serial-port list cannot be read\n");
        return 1;
    }
    if (names.empty()) {
        printf("No serial ports found.\n");
        return 0;
    }
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) printf("%s\n", PrintableText(name.c_str()).c_str());
    return 0;
}
