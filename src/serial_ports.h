// The serial ports the system knows, for the operator: the hint after a
// port that does not open, and pardulo-ports.
#pragma once

#include <string>
#include <vector>

// The names the device modes take (/dev/ttyUSB0, COM3), in the system's
// order. False when the list cannot be read at all.
bool ListSerialPorts(std::vector<std::string> &names);

// True when name is a serial device that exists, looked at without opening
// it (opening a serial port may toggle its lines).
bool SerialDeviceExists(const char *name);

// True when name leads to a pseudo-terminal (/dev/pts/N), which the link
// library opens only with the pty adapter preloaded; false on Windows.
bool IsPseudoTerminal(const char *name);

// What the operator is told of a pseudo-terminal the link library refused.
constexpr char kPseudoTerminalNeedsAdapter[] = "a pseudo-terminal, which opens only with the pty adapter preloaded";

// For a port that did not open (connect_error: SerialConnect's) because
// this user may not open it: who may, and how to become one of them, e.g.
// "only the group dialout may (sudo usermod -aG dialout alice, then log in
// again)". "" when permission is not what stood in the way, and on Windows.
std::string PortPermissionAdvice(const char *portname, int connect_error);

// The pty adapter's path for LD_PRELOAD (ld.so takes no bare name): beside
// the running program (a build folder), else where an install puts it, the
// lib/pardulo/ folder beside bin/; that one when neither holds it.
std::string PtyAdapterPath();

// Why portname did not open, for the station's board and record:
// connect_error is what SerialConnect returned. The system's own words where
// it has them ("No such file or directory", "Permission denied"), otherwise
// what the link found.
std::string PortOpenFailure(const char *portname, int connect_error);
