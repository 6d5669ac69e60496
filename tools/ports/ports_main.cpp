// pardulo-ports: lists the serial ports the system knows, so the operator
// finds the name to give to the device modes.
#include "ports_list.h"
#include "program_options.h"

int main(int argc, char *argv[]) {
    CLI::App app("pardulo-ports", "pardulo-ports");
    PrepareProgramOptions(app,
                          "Lists the serial ports that can be given to 'pardulo p|r|g PORT': the\n"
                          "name, and on Linux its stable names (by-path: the physical position,\n"
                          "by-id: the adapter, links under /dev/serial/ that any mode takes too), the\n"
                          "description, transport, and for USB adapters the vendor:product ids\n"
                          "(hex), manufacturer, product and serial number.\n"
                          "Prints \"No serial ports found.\" when there are none.");
    app.footer("Exit status 0, 1 when the ports cannot be listed, 2 for a bad command line.");
    if (const int status = ParseProgramOptions(app, argc, argv); status != kOptionsParsed) return status;
    return PrintSerialPortList();
}
