// On Windows a serial port opens exclusively or not at all: the open
// itself is the one-process-per-port lock, and nothing is left to take.
#include "port_lock.h"

int LockOpenPort(int /*fd*/) { return 0; }

void UnlockPort(int /*fd*/) {}
