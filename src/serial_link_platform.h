// What each platform's link gives the parts of the link all platforms
// share (serial_link_common.cpp).
#pragma once

// Waits for every byte written so far to leave the host; at once when
// nothing was written since the last drain.
void DrainOutput();

// One read of up to count bytes, waiting at most READ_TIMEOUT_1B_MS: the
// bytes read, or -1 on a port error (noted for SerialPortLost).
int ReadAvailable(char *rcv, unsigned int count);
