// The listing of pardulo-ports, which differs by platform: what the system
// tells of each serial port, on standard output. Returns the exit status:
// 0, or 1 when the ports cannot be listed (said on standard error).
#pragma once

int PrintSerialPortList();
