// The sends and the receive built on the link's primitives, the same on
// every platform.
#include <cstdio>

#include "globals.h"
#include "platform_time.h"
#include "serial_link.h"
#include "serial_link_platform.h"

int SerialSend4B(unsigned int value) {
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
        static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    for (const unsigned char byte : bytes) {
        const int result = SerialSend(static_cast<char>(byte));
        if (result != 0) {
            printf("* SerialSend4B Error %d\n", result);
            return kSend4BFailed;
        }
    }
    return kLinkOk;
}

int SerialSendSpecialCmd(char cmd) {
    for (int i = 0; i < 8; i++) {
        const int result = SerialSend(cmd);
        if (result != 0) {
            printf("* SerialSendSpecialCmd Error %d\n", result);
            return kSpecialCmdFailed;
        }
    }
    return kLinkOk;
}

int SerialReceiveWithTimeout(char *rcv, unsigned int count, unsigned int timeout_ms) {
    DrainOutput();

    const uint64_t clock_start = MonotonicMs();
    for (;;) {
        // An elapsed time equal to the time-out still allows one more read.
        if (MonotonicMs() - clock_start > timeout_ms) return kReceiveTimedOut;

        const int got = ReadAvailable(rcv, count);
        if (got >= 0 && static_cast<unsigned int>(got) == count) return kLinkOk;
        if (got < 0) {
            // A port error is not reported; the wait goes on to its time-out.
            // A failing read returns at once, so pause as long as a read would
            // have waited instead of spinning.
            PauseMs(READ_TIMEOUT_1B_MS);
        }
    }
}

int SerialReceive(char *rcv, unsigned int count) {
    return SerialReceiveWithTimeout(rcv, count, TIMEOUT_MS);
}
