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
