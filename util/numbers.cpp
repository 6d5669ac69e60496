#include "util/numbers.h"

#include <cerrno>
#include <cstdlib>

namespace util {

namespace {

int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

bool HasHexPrefix(const std::string &text) {
    return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

}  // namespace

// By hand rather than strtoull: that one takes signs, spaces and, with
// base 0, a leading 0 as octal, so "010" would silently be 8.
bool ParseUnsigned(const std::string &text, uint64_t max, uint64_t &value, Radix radix) {
    const bool hex = radix == Radix::kHex || (radix == Radix::kDecimalOrHex && HasHexPrefix(text));
    const std::size_t start = hex && HasHexPrefix(text) ? 2 : 0;
    const int base = hex ? 16 : 10;
    if (start >= text.size()) return false;
    uint64_t parsed = 0;
    for (std::size_t i = start; i < text.size(); ++i) {
        const int digit = DigitValue(text[i]);
        if (digit >= base) return false;
        const auto d = static_cast<uint64_t>(digit);
        if (d > max || parsed > (max - d) / static_cast<uint64_t>(base)) return false;
        parsed = parsed * static_cast<uint64_t>(base) + d;
    }
    value = parsed;
    return true;
}

bool ParseNonNegativeReal(const std::string &text, double max, double &value) {
    // strtod would also take spaces, signs, "inf", "nan" and hex floats.
    if (text.empty() || !(DigitValue(text[0]) < 10 || text[0] == '.')) return false;
    for (const char c : text)
        if (DigitValue(c) >= 10 && c != '.' && c != 'e' && c != 'E' && c != '+' && c != '-') return false;
    errno = 0;
    char *end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size() || !(parsed >= 0) || parsed > max) return false;
    value = parsed;
    return true;
}

}  // namespace util
