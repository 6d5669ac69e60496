// The adapter's serial number on Windows, from the system's device
// properties: the device of the Ports class whose PortName is the port,
// then up its parents to the USB device, whose instance ID ends in the
// serial number ("USB\VID_0403&PID_6001\A12345"). A USB device without one
// gets an ID the system made up, with "&" in its last part: no number then.
#include <windows.h>

#include <cfgmgr32.h>
#include <devguid.h>
#include <setupapi.h>

#include <cstring>

#include "adapter_serial.h"

namespace {

// "COM3" of "COM3" and "\\.\COM3".
std::string BareComName(const char *port) {
    const std::string name = port;
    return name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
}

std::string InstanceId(DEVINST device) {
    char id[MAX_DEVICE_ID_LEN + 1] = {};
    return CM_Get_Device_IDA(device, id, sizeof id, 0) == CR_SUCCESS ? id : "";
}

// The serial number in a USB device's instance ID, "" when it has none.
std::string SerialOfUsbInstance(const std::string &id) {
    if (_strnicmp(id.c_str(), "USB\\", 4) != 0) return "";
    const std::size_t last = id.rfind('\\');
    if (last == std::string::npos || last < 4) return "";
    const std::string serial = id.substr(last + 1);
    return serial.find('&') == std::string::npos ? serial : "";
}

bool HasPortName(HDEVINFO devices, SP_DEVINFO_DATA &device, const std::string &port) {
    const HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return false;
    char name[256] = {};
    DWORD size = sizeof name - 1;
    DWORD type = 0;
    const bool named = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE *>(name), &size) ==
                           ERROR_SUCCESS &&
                       type == REG_SZ;
    RegCloseKey(key);
    return named && _stricmp(name, port.c_str()) == 0;
}

}  // namespace

bool AdapterSerial(const char *port, std::string *serial) {
    const std::string wanted = BareComName(port);
    const HDEVINFO devices = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) return false;
    std::string found;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; found.empty() && SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
        if (!HasPortName(devices, device, wanted)) continue;
        // The port itself, or a parent of it (an FTDI port hangs below its
        // bus driver's device, which hangs below the USB device).
        DEVINST at = device.DevInst;
        for (int depth = 0; depth < 4 && found.empty(); ++depth) {
            found = SerialOfUsbInstance(InstanceId(at));
            DEVINST parent = 0;
            if (CM_Get_Parent(&parent, at, 0) != CR_SUCCESS) break;
            at = parent;
        }
        break;
    }
    SetupDiDestroyDeviceInfoList(devices);
    if (found.empty()) return false;
    *serial = found;
    return true;
}
