// SHA-256, which names the map in every record: libcrypto's on Linux, the
// system's (BCrypt) on Windows.
#pragma once

#include <cstddef>
#include <string>

// SHA-256 of bytes, 64 lower-case hexadecimal digits; "" when the system
// could not compute it.
std::string Sha256Hex(const std::string &bytes);

// A digest as both platforms write it: two lower-case hexadecimal digits a byte.
inline std::string LowerHex(const unsigned char *bytes, std::size_t count) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (std::size_t i = 0; i < count; ++i) {
        hex += kDigits[bytes[i] >> 4];
        hex += kDigits[bytes[i] & 0x0F];
    }
    return hex;
}
