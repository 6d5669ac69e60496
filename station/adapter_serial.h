// The serial number of the USB adapter behind a serial port, for the
// record: libserialport's on Linux, the system's device properties
// (SetupAPI) on Windows.
#pragma once

#include <string>

// True with the number in serial when the port is a USB device that has one.
bool AdapterSerial(const char *port, std::string *serial);
