// The port list on libserialport; a device is a character special file.
#include "serial_ports.h"

#include <grp.h>
#include <libserialport.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "port_device_path.h"
#include "serial_link.h"

// Where the installed adapter is from the programs' folder; CMake gives the
// one of the install's layout, builds without it (the fuzz targets) the usual one.
#ifndef PARDULO_ADAPTER_FROM_BINDIR
#define PARDULO_ADAPTER_FROM_BINDIR "../lib/pardulo"
#endif

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

bool IsPseudoTerminal(const char *name) {
    if (name == nullptr) return false;
    // Unix98 pseudo-terminal slaves have the character device majors 136 to 143.
    struct stat st {};
    return stat(PortDevicePath(name).c_str(), &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 &&
           major(st.st_rdev) <= 143;
}

std::string PortPermissionAdvice(const char *portname, int connect_error) {
    if (connect_error <= kConnectNotOpened || connect_error >= kConnectNotSettable) return "";
    const std::string device = PortDevicePath(portname);
    struct stat st {};
    if (stat(device.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return "";
    if (access(device.c_str(), R_OK | W_OK) == 0 || errno != EACCES) return "";
    // The device's own group when it may read and write it (dialout on
    // Debian, uucp elsewhere); the usual one otherwise.
    const struct group *owner = getgrgid(st.st_gid);
    const bool group_may = owner != nullptr && st.st_gid != 0 && (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    const std::string group = group_may ? owner->gr_name : "dialout";
    const struct passwd *user = getpwuid(geteuid());
    const std::string name = user != nullptr ? user->pw_name : "USER";
    return (group_may ? "only the group " + group + " may" : "serial ports are usually the group " + group + "'s") +
           " (sudo usermod -aG " + group + " " + name + ", then log in again)";
}

std::string PtyAdapterPath() {
    const std::string adapter = "libpardulo_pty_adapter.so";
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return adapter;
    const std::string program(self, static_cast<std::size_t>(length));
    const std::string folder = program.substr(0, program.rfind('/'));
    const std::string beside = folder + "/" + adapter;
    const std::string installed = folder + "/" PARDULO_ADAPTER_FROM_BINDIR "/" + adapter;
    return access(beside.c_str(), R_OK) == 0 ? beside : installed;
}

std::string PortOpenFailure(const char *portname, int connect_error) {
    const std::string device = PortDevicePath(portname);
    struct stat st {};
    if (stat(device.c_str(), &st) != 0) return strerror(errno);
    if (!S_ISCHR(st.st_mode)) return "not a serial device";
    if (connect_error > kConnectNoSuchPort && connect_error < kConnectNotOpened) {
        if (IsPseudoTerminal(device.c_str())) return kPseudoTerminalNeedsAdapter;
        return "not a serial port the system knows";
    }
    if (connect_error > kConnectNotOpened && connect_error < kConnectNotSettable) {
        // The port is not opened to find out: opening may toggle its lines.
        if (access(device.c_str(), R_OK | W_OK) != 0) return strerror(errno);
        return "in use by another program";
    }
    if (connect_error > kConnectNotSettable) return "it refused the line settings";
    return "it did not open";
}
