#include "device_transfer.h"

uint32_t ChecksumAdd(uint32_t c, unsigned char b) { return c + b; }
int PingWait() { return 1; }
int SendResourceZebmapFile(const char *) { return -2; }
int SendResetCommand(const char *) { return -11; }
int GetResource(const char *) { return -11; }
