// Port names on Linux: symbolic links resolved with realpath.
#include "port_device_path.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace {

struct FreeDeleter {
    void operator()(char *text) const { free(text); }
};

// The file path leads to with every link resolved, or "" when it leads nowhere.
std::string RealPath(const std::string &path) {
    const std::unique_ptr<char, FreeDeleter> real(realpath(path.c_str(), nullptr));
    return real ? std::string(real.get()) : std::string();
}

}  // namespace

std::string PortDevicePath(const char *portname) {
    if (portname == nullptr) return "";
    // Only a link is resolved: every other name reaches the library exactly
    // as given, so what it reports for it stays as it was.
    struct stat st {};
    if (lstat(portname, &st) != 0 || !S_ISLNK(st.st_mode)) return portname;
    const std::string device = RealPath(portname);
    return device.empty() ? std::string(portname) : device;
}

std::vector<std::string> PortLinksTo(const std::string &folder, const std::string &device_path) {
    std::vector<std::string> names;
    struct DirClose {
        void operator()(DIR *dir) const { closedir(dir); }
    };
    const std::unique_ptr<DIR, DirClose> listing(opendir(folder.c_str()));
    if (!listing || device_path.empty()) return names;
    while (const struct dirent *entry = readdir(listing.get())) {
        const std::string name = folder + "/" + entry->d_name;
        struct stat st {};
        if (lstat(name.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) continue;
        if (RealPath(name) == device_path) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> StablePortNameFolders() { return {"/dev/serial/by-path", "/dev/serial/by-id"}; }
