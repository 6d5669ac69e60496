// The adapter's serial number as libserialport reports it for the port.
#include <libserialport.h>

#include "adapter_serial.h"

bool AdapterSerial(const char *port, std::string *serial) {
    struct sp_port *info = nullptr;
    if (sp_get_port_by_name(port, &info) != SP_OK || info == nullptr) return false;
    const char *text = sp_get_port_transport(info) == SP_TRANSPORT_USB ? sp_get_port_usb_serial(info) : nullptr;
    if (text != nullptr) *serial = text;
    sp_free_port(info);
    return text != nullptr;
}
