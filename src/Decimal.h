// Decimal numbers in definition strings, read the same way on every target.
#ifndef KXSER_DECIMAL_H
#define KXSER_DECIMAL_H

#include <climits>
#include <cstdlib>

namespace kxnum {

// Reads text as atoi and "%d" do (leading blanks, an optional sign, digits up
// to the first other character) into `value`, saturating at the int limits.
// atoi and "%d" wrap on x86_64, where long is 64 bits, but saturate on the
// 32-bit target, so both builds would read the same text differently.
// Returns false, leaving `value` alone, when the text holds no number.
inline bool ParseDecimal(const char* text, int* value) noexcept {
    char* end = nullptr;
    const long v = strtol(text, &end, 10);
    if (end == text) return false;
    *value = v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
    return true;
}

// The same, with 0 for a text that holds no number (as atoi answers).
inline int DecimalOrZero(const char* text) noexcept {
    int value = 0;
    ParseDecimal(text, &value);
    return value;
}

}  // namespace kxnum

#endif
