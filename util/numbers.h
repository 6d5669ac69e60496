// Numbers from command-line text. Every character must belong to the
// number: no sign, no space, no trailing text, and nothing above the limit.
#pragma once

#include <cstdint>
#include <string>

namespace util {

enum class Radix {
    kDecimal,       // 0 to 9 only; a leading 0 is still decimal
    kHex,           // hexadecimal digits, with or without 0x
    kDecimalOrHex,  // decimal, or hexadecimal after 0x
};

// A whole number from 0 to max; false, value untouched, otherwise.
bool ParseUnsigned(const std::string &text, uint64_t max, uint64_t &value, Radix radix = Radix::kDecimal);

// A decimal number with an optional fraction and exponent ("1.5", "2e3"),
// from 0 to max; false, value untouched, otherwise (no sign, inf or nan).
bool ParseNonNegativeReal(const std::string &text, double max, double &value);

}  // namespace util
