// The sends and the receive built on the link's primitives, the same on
// every platform.
#include <cstdio>

#include "globals.h"
#include "serial_link.h"

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

int SerialReceive(char *rcv, unsigned int count) {
    return SerialReceiveWithTimeout(rcv, count, TIMEOUT_MS);
}
