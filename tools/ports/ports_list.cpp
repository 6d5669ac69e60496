// The serial ports libserialport sees, one block per port: its name (what
// the device modes take), its names by position and by adapter where udev
// made them, description and transport, and for USB adapters
// the vendor and product ids, manufacturer, product and serial number.
#include <libserialport.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "port_device_path.h"
#include "ports_list.h"
#include "printable_text.h"

namespace {

struct PortListFree {
    void operator()(struct sp_port **list) const { sp_free_port_list(list); }
};

struct ErrorMessageFree {
    void operator()(char *message) const { sp_free_error_message(message); }
};

const char *TransportName(enum sp_transport transport) {
    switch (transport) {
        case SP_TRANSPORT_NATIVE: return "native";
        case SP_TRANSPORT_USB: return "USB";
        case SP_TRANSPORT_BLUETOOTH: return "Bluetooth";
    }
    return "unknown";
}

void PrintField(const char *label, const std::string &value) {
    if (!value.empty()) printf("  %-13s %s\n", label, value.c_str());
}

void PrintPort(struct sp_port *port) {
    const char *name = sp_get_port_name(port);
    printf("%s\n", PrintableText(name).c_str());
    // The names that stay the same across replugs: by position, by adapter.
    if (name != nullptr) {
        for (const std::string &folder : StablePortNameFolders()) {
            const std::string label = folder.substr(folder.rfind('/') + 1) + ":";
            for (const std::string &link : PortLinksTo(folder, name)) {
                PrintField(label.c_str(), PrintableText(link.c_str()));
            }
        }
    }
    PrintField("description:", PrintableText(sp_get_port_description(port)));
    const enum sp_transport transport = sp_get_port_transport(port);
    PrintField("transport:", TransportName(transport));
    if (transport == SP_TRANSPORT_USB) {
        int vid = 0;
        int pid = 0;
        if (sp_get_port_usb_vid_pid(port, &vid, &pid) == SP_OK) {
            char ids[32];
            snprintf(ids, sizeof ids, "%04x:%04x", static_cast<unsigned>(vid) & 0xFFFFu,
                     static_cast<unsigned>(pid) & 0xFFFFu);
            PrintField("USB ids:", ids);
        }
        PrintField("manufacturer:", PrintableText(sp_get_port_usb_manufacturer(port)));
        PrintField("product:", PrintableText(sp_get_port_usb_product(port)));
        PrintField("serial:", PrintableText(sp_get_port_usb_serial(port)));
    } else if (transport == SP_TRANSPORT_BLUETOOTH) {
        PrintField("address:", PrintableText(sp_get_port_bluetooth_address(port)));
    }
}

}  // namespace

int PrintSerialPortList() {
    struct sp_port **raw = nullptr;
    if (sp_list_ports(&raw) != SP_OK || raw == nullptr) {
        std::unique_ptr<char, ErrorMessageFree> message(sp_last_error_message());
        fprintf(stderr, "pardulo-ports: cannot list the serial ports: %s\n",
                message ? message.get() : "unknown error");
        return 1;
    }
    std::unique_ptr<struct sp_port *, PortListFree> list(raw);

    std::vector<struct sp_port *> ports;
    for (struct sp_port **entry = list.get(); *entry != nullptr; ++entry) ports.push_back(*entry);
    if (ports.empty()) {
        printf("No serial ports found.\n");
        return 0;
    }
    // By name, so that two listings can be compared line by line.
    std::sort(ports.begin(), ports.end(), [](struct sp_port *a, struct sp_port *b) {
        const char *name_a = sp_get_port_name(a);
        const char *name_b = sp_get_port_name(b);
        return strcmp(name_a ? name_a : "", name_b ? name_b : "") < 0;
    });
    for (struct sp_port *port : ports) PrintPort(port);
    return 0;
}
