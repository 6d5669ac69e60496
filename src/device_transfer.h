// The device command protocol and the operations built on it: the map
// upload (mode p), the erase command (mode r) and the screenshot download
// (mode g).
#pragma once

#include <cstdint>

// Record checksum: one step of the accumulator over a data byte. The reset
// comes before the addition, so the sum never exceeds 0x7FFFFFFF.
uint32_t ChecksumAdd(uint32_t checksum, unsigned char byte);

int PingWait();                          // 0 answered, 1 after MAX_PING_RETRY attempts
int SendResourceZebmapFile(const char *port);  // 0, -2, -3, -11
int SendResetCommand(const char *port);        // 0, -1 (erase not sent), -11
int GetResource(const char *port);             // 0, -1..-5, -11

