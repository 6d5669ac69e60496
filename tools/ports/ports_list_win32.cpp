// The serial ports of the system's serial-port list on Windows, one name
// per line, sorted, as 'pardulo p|r|g PORT' takes them.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "ports_list.h"
#include "printable_text.h"
#include "serial_ports.h"

int PrintSerialPortList() {
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
