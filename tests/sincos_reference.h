// The correctly rounded float sine and cosine, decided the way the exhaustive
// check (scripts/check_sincos.cpp) and the unit tests decide them: glibc's
// double sin and cos (within one unit in the last place of double) rounded to
// float, except where that double lies within DOUBLE_MARGIN units of a float
// midpoint; there libquadmath's 113-bit sinq and cosq decide.
#pragma once

#include <quadmath.h>

#include <bit>
#include <cstdint>
#include <cstdlib>

namespace sincos_reference {

inline constexpr std::int64_t DOUBLE_MARGIN = 16;

// Whether the double y lies within DOUBLE_MARGIN units of a float midpoint
// (where its 29 bits that rounding to float drops equal 2^28).
inline bool nearMidpoint(double y) {
    const auto dropped = static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(y) & ((1u << 29) - 1));
    return std::llabs(dropped - (1 << 28)) <= DOUBLE_MARGIN;
}

// sin (sine true) or cos of the finite x, correctly rounded; `wide` is glibc's
// double value of it.
inline float correctlyRounded(float x, double wide, bool sine) {
    if (!nearMidpoint(wide)) {
        return static_cast<float>(wide);
    }
    const __float128 q = x;
    return static_cast<float>(sine ? sinq(q) : cosq(q));
}

}  // namespace sincos_reference
