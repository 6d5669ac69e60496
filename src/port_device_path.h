// The names of a serial port. A line names a fixture by its position
// (/dev/serial/by-path/...) or by its adapter (/dev/serial/by-id/...), both
// symbolic links that stay the same across replugs and reboots, where the
// kernel's own names (/dev/ttyUSB0) follow the order of arrival. The link
// library refuses a name that is a symbolic link, so it is given the device
// the link points to; the one place that decides that is PortDevicePath.
#pragma once

#include <string>
#include <vector>

// The name the link library gets for portname: on Linux, a symbolic link
// resolved to the device it points to (every link along the way); any other
// name, and a link that leads nowhere, unchanged. On Windows every name is
// passed on unchanged (COM3).
std::string PortDevicePath(const char *portname);

// The stable names of device_path: every entry of folder that is a link
// resolving to it, in name order. Empty when there are none or the folder
// does not exist.
std::vector<std::string> PortLinksTo(const std::string &folder, const std::string &device_path);

// Where the system keeps the stable names of serial ports (Linux's udev:
// by physical position, by adapter); nothing on Windows.
std::vector<std::string> StablePortNameFolders();
