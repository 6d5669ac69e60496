// The port list on Windows: the system's serial-port map in the registry,
// one value per port whose data is the port's name (COM3). A machine that
// never had a serial port has no such key at all: that is an empty list.
#include "serial_ports.h"

#include <windows.h>

#include <cstring>

#include "serial_link.h"

namespace {

constexpr const char *kSerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

struct RegistryKey {
    HKEY key = nullptr;
    ~RegistryKey() {
        if (key != nullptr) RegCloseKey(key);
    }
};

// "\\.\COM3" and "COM3" name the same port.
const char *BareName(const char *name) { return strncmp(name, "\\\\.\\", 4) == 0 ? name + 4 : name; }

}  // namespace

bool ListSerialPorts(std::vector<std::string> &names) {
    RegistryKey serialcomm;
    const LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, KEY_QUERY_VALUE, &serialcomm.key);
    if (opened == ERROR_FILE_NOT_FOUND) return true;
    if (opened != ERROR_SUCCESS) return false;
    for (DWORD index = 0;; ++index) {
        char value_name[256];
        DWORD value_name_size = sizeof value_name;
        BYTE data[256];
        DWORD data_size = sizeof data - 1;
        DWORD type = 0;
        const LONG got = RegEnumValueA(serialcomm.key, index, value_name, &value_name_size, nullptr, &type, data,
                                       &data_size);
        if (got == ERROR_NO_MORE_ITEMS) return true;
        if (got == ERROR_MORE_DATA) continue;  // no port name is that long
        if (got != ERROR_SUCCESS) return false;
        if (type != REG_SZ) continue;
        data[data_size] = 0;  // registry strings need not end in a zero
        const std::string name(reinterpret_cast<const char *>(data));
        if (!name.empty()) names.push_back(name);
    }
}

bool SerialDeviceExists(const char *name) {
    if (name == nullptr) return false;
    std::vector<std::string> names;
    if (!ListSerialPorts(names)) return false;
    for (const std::string &listed : names) {
        if (_stricmp(listed.c_str(), BareName(name)) == 0) return true;
    }
    return false;
}

bool IsPseudoTerminal(const char *) { return false; }

std::string PortPermissionAdvice(const char *, int) { return ""; }

std::string PtyAdapterPath() { return ""; }

std::string PortOpenFailure(const char *, int connect_error) {
    if (connect_error > kConnectNoSuchPort && connect_error < kConnectNotOpened) return "no such port";
    if (connect_error > kConnectNotOpened && connect_error < kConnectNotSettable) {
        return "in use by another program, or not permitted";
    }
    if (connect_error > kConnectNotSettable) return "it refused the line settings";
    return "it did not open";
}
