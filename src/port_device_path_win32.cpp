// Port names on Windows: COM names are the system's own and have no links.
#include "port_device_path.h"

std::string PortDevicePath(const char *portname) { return portname != nullptr ? portname : ""; }

std::vector<std::string> PortLinksTo(const std::string &, const std::string &) { return {}; }

std::vector<std::string> StablePortNameFolders() { return {}; }
