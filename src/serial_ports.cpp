// The port list on libserialport; a device is a character special file.
#include "serial_ports.h"

#include <libserialport.h>
#include <sys/stat.h>

#include <memory>

namespace {

struct PortListFree {
    void operator()(struct sp_port **list) const { sp_free_port_list(list); }
};

}  // namespace

bool ListSerialPorts(std::vector<std::string> &names) {
    struct sp_port **raw = nullptr;
    if (sp_list_ports(&raw) != SP_OK || raw == nullptr) return false;
    const std::unique_ptr<struct sp_port *, PortListFree> list(raw);
    for (struct sp_port **entry = list.get(); *entry != nullptr; ++entry) {
        const char *name = sp_get_port_name(*entry);
        if (name != nullptr) names.emplace_back(name);
    }
    return true;
}

bool SerialDeviceExists(const char *name) {
    struct stat st {};
    return name != nullptr && stat(name, &st) == 0 && S_ISCHR(st.st_mode);
}
