// pardulo-ports: lists the serial ports the system knows, so the operator
// finds the name to give to the device modes.
#include <cstdio>

#include "ports_list.h"
#include "program_info.h"

namespace {

void PrintUsage(FILE *out) {
    fprintf(out,
            "Usage: pardulo-ports [--help | --version]\n"
            "Lists the serial ports that can be given to 'pardulo p|r|g PORT': the\n"
            "name, and on Linux its stable names (by-path: the physical position,\n"
            "by-id: the adapter, links under /dev/serial/ that any mode takes too), the\n"
            "description, transport, and for USB adapters the vendor:product ids\n"
            "(hex), manufacturer, product and serial number.\n"
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
    return PrintSerialPortList();
}
