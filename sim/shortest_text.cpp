#include "sim/shortest_text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

template <typename Value>
Value readBack(const char* text);
template <>
float readBack<float>(const char* text) {
    return std::strtof(text, nullptr);
}
template <>
double readBack<double>(const char* text) {
    return std::strtod(text, nullptr);
}

// Digits needed to read any value back: 9 for float, 17 for double.
template <typename Value>
constexpr int MOST_DIGITS = sizeof(Value) == 4 ? 9 : 17;

// `value` rounded to `digits` significant digits in %e style: "-d.ddde+XX".
int scientific(char* text, double value, int digits) {
    return std::snprintf(text, 40, "%.*e", digits - 1, value);
}

// The %e text one unit of the last digit further from zero.
void stepAway(char* text, int digits) {
    const bool negative = text[0] == '-';
    char* first = text + (negative ? 1 : 0);
    char* exponentText = std::strchr(first, 'e');
    char* last = digits > 1 ? exponentText - 1 : first;
    for (char* d = last; d >= first; --d) {
        if (*d == '.') {
            continue;
        }
        if (*d != '9') {
            ++*d;
            return;
        }
        *d = '0';
    }
    // All nines: 9.99e+X becomes 1.00e+(X+1).
    *first = '1';
    char exponent[16];
    const int length = std::snprintf(exponent, sizeof exponent, "e%+03d", std::atoi(exponentText + 1) + 1);
    std::memcpy(exponentText, exponent, static_cast<std::size_t>(length) + 1);
}

// Writes into `text` a `digits`-digit %e text that reads back to `value`, if
// there is one. The nearest such decimal is the one to try, except at a power
// of two, whose gap to the next smaller value is half the gap to the next
// larger one: there the nearest can miss the narrow side while the decimal
// one unit further from zero still reads back.
template <typename Value>
bool roundTripText(char* text, Value value, int digits) {
    scientific(text, value, digits);
    if (readBack<Value>(text) == value) {
        return true;
    }
    int exponent = 0;
    if (std::frexp(value, &exponent) != (value < 0 ? -0.5 : 0.5)) {
        return false;
    }
    stepAway(text, digits);
    return readBack<Value>(text) == value;
}

int decimalDigits(int n) {
    int count = 1;
    while (n >= 10) {
        n /= 10;
        ++count;
    }
    return count;
}

template <typename Value>
char* writeFinite(char* out, Value value) {
    // Fewest significant digits that read back: reading back is monotone in
    // the digit count (every p-digit decimal is also a (p+1)-digit one), so
    // bisect.
    char text[40];
    int low = 1;
    int high = MOST_DIGITS<Value>;
    while (low < high) {
        const int middle = (low + high) / 2;
        if (roundTripText(text, value, middle)) {
            high = middle;
        } else {
            low = middle + 1;
        }
    }
    const int digits = low;
    roundTripText(text, value, digits);
    const bool negative = text[0] == '-';
    const char* mantissa = text + (negative ? 1 : 0);
    const char* exponentText = std::strchr(mantissa, 'e');
    const int exponent = std::atoi(exponentText + 1);

    // Lengths without the sign: d[.ddd]e+XX against the %f forms.
    const int scientificLength =
        digits + (digits > 1 ? 1 : 0) + 2 + (std::abs(exponent) < 10 ? 2 : decimalDigits(std::abs(exponent)));
    int fixedLength = 0;
    if (exponent >= digits - 1) {
        fixedLength = exponent + 1;  // a whole number
    } else if (exponent >= 0) {
        fixedLength = digits + 1;
    } else {
        fixedLength = digits + 1 - exponent;  // 0.000ddd
    }
    if (scientificLength < fixedLength) {
        const auto length = static_cast<std::size_t>(exponentText - text) + std::strlen(exponentText);
        std::memcpy(out, text, length);
        return out + length;
    }
    if (negative) {
        *out++ = '-';
    }
    // The significant digits without the point.
    char significand[MOST_DIGITS<Value> + 1];
    significand[0] = mantissa[0];
    std::memcpy(significand + 1, mantissa + 2, static_cast<std::size_t>(digits - 1));
    if (exponent >= digits - 1) {
        // A whole number: its exact digits are as short and nearest.
        const int length = std::snprintf(text, sizeof text, "%.0f", std::fabs(static_cast<double>(value)));
        std::memcpy(out, text, static_cast<std::size_t>(length));
        return out + length;
    }
    if (exponent >= 0) {
        std::memcpy(out, significand, static_cast<std::size_t>(exponent + 1));
        out += exponent + 1;
        *out++ = '.';
        std::memcpy(out, significand + exponent + 1, static_cast<std::size_t>(digits - exponent - 1));
        return out + digits - exponent - 1;
    }
    *out++ = '0';
    *out++ = '.';
    for (int i = -1; i > exponent; --i) {
        *out++ = '0';
    }
    std::memcpy(out, significand, static_cast<std::size_t>(digits));
    return out + digits;
}

template <typename Value>
char* write(char* out, Value value) {
    const char* special = nullptr;
    if (std::isnan(value)) {
        special = std::signbit(value) ? "-nan" : "nan";
    } else if (std::isinf(value)) {
        special = value < 0 ? "-inf" : "inf";
    } else {
        return writeFinite(out, value);
    }
    const std::size_t length = std::strlen(special);
    std::memcpy(out, special, length);
    return out + length;
}

}  // namespace

char* writeShortest(char* out, float value) { return write(out, value); }
char* writeShortest(char* out, double value) { return write(out, value); }

std::string shortestString(float value) {
    char text[40];
    return std::string(text, writeShortest(text, value));
}
std::string shortestString(double value) {
    char text[40];
    return std::string(text, writeShortest(text, value));
}

double decimalOf(float value) {
    char text[40];
    *writeShortest(text, value) = '\0';
    return std::strtod(text, nullptr);
}
