// Text from outside the program (the command line, the system, a USB
// adapter's descriptors) kept to one printable line on a terminal.
#pragma once

#include <string>

// text with every control character (below 0x20, and 0x7F) shown as '?';
// an empty string for null.
inline std::string PrintableText(const char *text) {
    std::string shown = text != nullptr ? text : "";
    for (char &c : shown) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) c = '?';
    }
    return shown;
}
