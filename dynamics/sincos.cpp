// Sine and cosine of a float, evaluated in double and rounded once to float.
//
// Reduction: x = k pi/32 + r with |r| <= pi/64 (slightly more where x 32/pi
// rounds across a half-integer). Below 2^18 the product k pi/32 is taken in
// three parts (Cody-Waite): the first two have 30 significant bits, so their
// products with k < 2^22 are exact and the first subtraction is exact; the
// error of r is about 2^-94 absolute plus its own rounding. From 2^18 up to the
// largest float, x = m 2^e with an integer m < 2^24, and x / (2 pi) mod 1 is
// formed exactly in 128-bit fixed point from m and 128 bits of 1/(2 pi)
// starting at the bit that e selects (Payne-Hanek); the product's bits of
// weight 64 and above are whole turns and drop out.
//
// Evaluation: with (S, C) = (sin, cos)(k pi/32) from a table,
//   sin x = S + (S (cos r - 1) + C sin r),  cos x = C + (C (cos r - 1) - S sin r),
// where sin r and cos r - 1 are their Taylor series to r^9 and r^8 (the first
// omitted terms are below 2^-62 of the result for |r| <= pi/64). The
// correction in brackets is at most 0.05 in size, so its rounding errors are
// small against the final one; the double result lies within a few units in
// its last place of the true value.
//
// Rounding: rounding that double to float gives the correctly rounded result
// unless the true value lies within those few double units of a float
// midpoint. Results within NEAR_MIDPOINT double units of a midpoint (a far
// wider margin than the error) are looked up in a table of the inputs whose
// double result falls on the wrong side; the exhaustive comparison with a
// 113-bit reference over all 2^32 floats (scripts/check_sincos.sh) found them,
// and confirms every other result.

#include "dynamics/sincos.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>

namespace {

// std::bit_cast and std::countl_zero, which the C++ library of the
// WebAssembly build lacks, through the compilers' builtins beneath them.
// The bits of `value` as a `To`:
template <typename To, typename From>
constexpr To bitsAs(From value) {
    static_assert(sizeof(To) == sizeof(From));
    return __builtin_bit_cast(To, value);
}

// Zero bits above the highest set bit of a non-zero `value`.
int leadingZeros(std::uint64_t value) { return __builtin_clzll(value); }

struct SinCosPair {
    double s;
    double c;
};

// sin and cos of k pi/32 for k = 0..63, each rounded to nearest double.
constexpr SinCosPair TABLE[64] = {
    {0.0, 0x1.0000000000000p+0},  // 0 pi/32
    {0x1.917a6bc29b42cp-4, 0x1.fd88da3d12526p-1},  // 1 pi/32
    {0x1.8f8b83c69a60bp-3, 0x1.f6297cff75cb0p-1},  // 2 pi/32
    {0x1.294062ed59f06p-2, 0x1.e9f4156c62ddap-1},  // 3 pi/32
    {0x1.87de2a6aea963p-2, 0x1.d906bcf328d46p-1},  // 4 pi/32
    {0x1.e2b5d3806f63bp-2, 0x1.c38b2f180bdb1p-1},  // 5 pi/32
    {0x1.1c73b39ae68c8p-1, 0x1.a9b66290ea1a3p-1},  // 6 pi/32
    {0x1.44cf325091dd6p-1, 0x1.8bc806b151741p-1},  // 7 pi/32
    {0x1.6a09e667f3bcdp-1, 0x1.6a09e667f3bcdp-1},  // 8 pi/32
    {0x1.8bc806b151741p-1, 0x1.44cf325091dd6p-1},  // 9 pi/32
    {0x1.a9b66290ea1a3p-1, 0x1.1c73b39ae68c8p-1},  // 10 pi/32
    {0x1.c38b2f180bdb1p-1, 0x1.e2b5d3806f63bp-2},  // 11 pi/32
    {0x1.d906bcf328d46p-1, 0x1.87de2a6aea963p-2},  // 12 pi/32
    {0x1.e9f4156c62ddap-1, 0x1.294062ed59f06p-2},  // 13 pi/32
    {0x1.f6297cff75cb0p-1, 0x1.8f8b83c69a60bp-3},  // 14 pi/32
    {0x1.fd88da3d12526p-1, 0x1.917a6bc29b42cp-4},  // 15 pi/32
    {0x1.0000000000000p+0, 0.0},  // 16 pi/32
    {0x1.fd88da3d12526p-1, -0x1.917a6bc29b42cp-4},  // 17 pi/32
    {0x1.f6297cff75cb0p-1, -0x1.8f8b83c69a60bp-3},  // 18 pi/32
    {0x1.e9f4156c62ddap-1, -0x1.294062ed59f06p-2},  // 19 pi/32
    {0x1.d906bcf328d46p-1, -0x1.87de2a6aea963p-2},  // 20 pi/32
    {0x1.c38b2f180bdb1p-1, -0x1.e2b5d3806f63bp-2},  // 21 pi/32
    {0x1.a9b66290ea1a3p-1, -0x1.1c73b39ae68c8p-1},  // 22 pi/32
    {0x1.8bc806b151741p-1, -0x1.44cf325091dd6p-1},  // 23 pi/32
    {0x1.6a09e667f3bcdp-1, -0x1.6a09e667f3bcdp-1},  // 24 pi/32
    {0x1.44cf325091dd6p-1, -0x1.8bc806b151741p-1},  // 25 pi/32
    {0x1.1c73b39ae68c8p-1, -0x1.a9b66290ea1a3p-1},  // 26 pi/32
    {0x1.e2b5d3806f63bp-2, -0x1.c38b2f180bdb1p-1},  // 27 pi/32
    {0x1.87de2a6aea963p-2, -0x1.d906bcf328d46p-1},  // 28 pi/32
    {0x1.294062ed59f06p-2, -0x1.e9f4156c62ddap-1},  // 29 pi/32
    {0x1.8f8b83c69a60bp-3, -0x1.f6297cff75cb0p-1},  // 30 pi/32
    {0x1.917a6bc29b42cp-4, -0x1.fd88da3d12526p-1},  // 31 pi/32
    {0.0, -0x1.0000000000000p+0},  // 32 pi/32
    {-0x1.917a6bc29b42cp-4, -0x1.fd88da3d12526p-1},  // 33 pi/32
    {-0x1.8f8b83c69a60bp-3, -0x1.f6297cff75cb0p-1},  // 34 pi/32
    {-0x1.294062ed59f06p-2, -0x1.e9f4156c62ddap-1},  // 35 pi/32
    {-0x1.87de2a6aea963p-2, -0x1.d906bcf328d46p-1},  // 36 pi/32
    {-0x1.e2b5d3806f63bp-2, -0x1.c38b2f180bdb1p-1},  // 37 pi/32
    {-0x1.1c73b39ae68c8p-1, -0x1.a9b66290ea1a3p-1},  // 38 pi/32
    {-0x1.44cf325091dd6p-1, -0x1.8bc806b151741p-1},  // 39 pi/32
    {-0x1.6a09e667f3bcdp-1, -0x1.6a09e667f3bcdp-1},  // 40 pi/32
    {-0x1.8bc806b151741p-1, -0x1.44cf325091dd6p-1},  // 41 pi/32
    {-0x1.a9b66290ea1a3p-1, -0x1.1c73b39ae68c8p-1},  // 42 pi/32
    {-0x1.c38b2f180bdb1p-1, -0x1.e2b5d3806f63bp-2},  // 43 pi/32
    {-0x1.d906bcf328d46p-1, -0x1.87de2a6aea963p-2},  // 44 pi/32
    {-0x1.e9f4156c62ddap-1, -0x1.294062ed59f06p-2},  // 45 pi/32
    {-0x1.f6297cff75cb0p-1, -0x1.8f8b83c69a60bp-3},  // 46 pi/32
    {-0x1.fd88da3d12526p-1, -0x1.917a6bc29b42cp-4},  // 47 pi/32
    {-0x1.0000000000000p+0, 0.0},  // 48 pi/32
    {-0x1.fd88da3d12526p-1, 0x1.917a6bc29b42cp-4},  // 49 pi/32
    {-0x1.f6297cff75cb0p-1, 0x1.8f8b83c69a60bp-3},  // 50 pi/32
    {-0x1.e9f4156c62ddap-1, 0x1.294062ed59f06p-2},  // 51 pi/32
    {-0x1.d906bcf328d46p-1, 0x1.87de2a6aea963p-2},  // 52 pi/32
    {-0x1.c38b2f180bdb1p-1, 0x1.e2b5d3806f63bp-2},  // 53 pi/32
    {-0x1.a9b66290ea1a3p-1, 0x1.1c73b39ae68c8p-1},  // 54 pi/32
    {-0x1.8bc806b151741p-1, 0x1.44cf325091dd6p-1},  // 55 pi/32
    {-0x1.6a09e667f3bcdp-1, 0x1.6a09e667f3bcdp-1},  // 56 pi/32
    {-0x1.44cf325091dd6p-1, 0x1.8bc806b151741p-1},  // 57 pi/32
    {-0x1.1c73b39ae68c8p-1, 0x1.a9b66290ea1a3p-1},  // 58 pi/32
    {-0x1.e2b5d3806f63bp-2, 0x1.c38b2f180bdb1p-1},  // 59 pi/32
    {-0x1.87de2a6aea963p-2, 0x1.d906bcf328d46p-1},  // 60 pi/32
    {-0x1.294062ed59f06p-2, 0x1.e9f4156c62ddap-1},  // 61 pi/32
    {-0x1.8f8b83c69a60bp-3, 0x1.f6297cff75cb0p-1},  // 62 pi/32
    {-0x1.917a6bc29b42cp-4, 0x1.fd88da3d12526p-1},  // 63 pi/32
};
constexpr std::uint64_t TABLE_MASK = 63;

constexpr double INVERSE_STEP = 0x1.45f306dc9c883p+3;  // 32/pi
constexpr double STEP = 0x1.921fb54442d18p-4;          // pi/32
// pi/32 = STEP_HIGH + STEP_MIDDLE + STEP_LOW to about 2^-118.
constexpr double STEP_HIGH = 0x1.921fb54000000p-4;
constexpr double STEP_MIDDLE = 0x1.10b4611800000p-34;
constexpr double STEP_LOW = 0x1.313198a2e0370p-65;
// Adding 1.5 2^52 rounds a double below 2^51 to an integer, ties to even, and
// leaves that integer in the low bits of the sum.
constexpr double ROUNDER = 0x1.8p52;
constexpr double CODY_WAITE_LIMIT = 262144.0;  // 2^18

// Bits of 1/(2 pi), 64 to a word, preceded by a zero word for the integer
// bits that small exponents select.
constexpr std::uint64_t INVERSE_TURN_BITS[7] = {
    0, 0x28be60db9391054aull, 0x7f09d5f47d4d3770ull, 0x36d8a5664f10e410ull, 0x7f9458eaf7aef158ull,
    0x6dc91b8e909374b8ull, 0x01924bba82746487ull,
};

// Taylor coefficients of sin r and cos r - 1.
constexpr double S3 = -1.0 / 6.0;
constexpr double S5 = 1.0 / 120.0;
constexpr double S7 = -1.0 / 5040.0;
constexpr double S9 = 1.0 / 362880.0;
constexpr double C2 = -0.5;
constexpr double C4 = 1.0 / 24.0;
constexpr double C6 = -1.0 / 720.0;
constexpr double C8 = 1.0 / 40320.0;

// Rounding a double to float drops its 29 lowest significand bits; the
// midpoint between two floats has them equal to 2^28.
constexpr std::uint32_t DROPPED_BITS = (1u << 29) - 1;
constexpr std::uint32_t MIDPOINT = 1u << 28;
constexpr std::uint32_t NEAR_MIDPOINT = 1u << 8;

// Inputs whose double result rounds to the wrong float, with their correctly
// rounded sine and cosine, as bit patterns sorted by input; found by the
// exhaustive comparison.
struct HardCase {
    std::uint32_t x;
    std::uint32_t s;
    std::uint32_t c;
};
constexpr HardCase HARD_CASES[] = {
    {0x46199998, 0xbeb1fa5d, 0xbf70090b},
    {0x5922aa80, 0xbf587522, 0x3f08aebf},
    {0x5f18b878, 0x3dad60f7, 0x3f7f14bb},
    {0x6115cb11, 0xbe7cc1e1, 0x3f78142f},
    {0xc6199998, 0x3eb1fa5d, 0xbf70090b},
    {0xd922aa80, 0x3f587522, 0x3f08aebf},
    {0xdf18b878, 0xbdad60f7, 0x3f7f14bb},
    {0xe115cb11, 0x3e7cc1e1, 0x3f78142f},
};

struct Reduced {
    std::uint64_t index;  // k mod 64
    double r;
};

double powerOfTwo(int exponent) { return bitsAs<double>(static_cast<std::uint64_t>(1023 + exponent) << 52); }

// |x| < 2^18: Cody-Waite in three parts.
inline Reduced reduceModerate(double x) {
    const double shifted = x * INVERSE_STEP + ROUNDER;
    const double k = shifted - ROUNDER;
    const double r = ((x - k * STEP_HIGH) - k * STEP_MIDDLE) - k * STEP_LOW;
    return {bitsAs<std::uint64_t>(shifted) & TABLE_MASK, r};
}

// 128 bits of 1/(2 pi) from bit `position` on (bit 0 being the first of the
// zero word).
std::uint64_t inverseTurnWord(int position) {
    const int word = position / 64;
    const int shift = position % 64;
    const std::uint64_t high = INVERSE_TURN_BITS[word];
    return shift == 0 ? high : (high << shift) | (INVERSE_TURN_BITS[word + 1] >> (64 - shift));
}

// |x| >= 2^18: x = m 2^(E - 150) with m < 2^24, so x 32/pi = m 2^(E - 144) / (2 pi).
// The window of 1/(2 pi) from weight 2^5 to 2^-122 after scaling by 2^(E - 144)
// times m, modulo 2^128, is x 32/pi mod 64 in fixed point with 122 fraction
// bits; the window's missing low bits change it by less than 2^-98.
Reduced reduceLarge(float x) {
    const std::uint32_t bits = bitsAs<std::uint32_t>(x);
    const int scale = static_cast<int>((bits >> 23) & 0xff) - 144;
    const std::uint64_t m = (bits & 0x7fffff) | 0x800000;
    const int position = scale + 58;
    const std::uint64_t windowHigh = inverseTurnWord(position);
    const std::uint64_t windowLow = inverseTurnWord(position + 64);
    // m * window mod 2^128 from 32-bit halves of the low word.
    const std::uint64_t lowPart = m * (windowLow & 0xffffffffu);
    const std::uint64_t highPart = m * (windowLow >> 32);
    const std::uint64_t low = lowPart + (highPart << 32);
    const std::uint64_t carry = (highPart >> 32) + (low < lowPart ? 1 : 0);
    const std::uint64_t high = m * windowHigh + carry;
    // The fraction, shifted to the top, read as a signed 128-bit number: the
    // nearest integer k is the top 6 bits plus one when the fraction is >= 1/2.
    std::uint64_t fractionHigh = (high << 6) | (low >> 58);
    std::uint64_t fractionLow = low << 6;
    const bool negative = (fractionHigh >> 63) != 0;
    const std::uint64_t index = ((high >> 58) + (negative ? 1 : 0)) & TABLE_MASK;
    if (negative) {
        fractionLow = ~fractionLow + 1;
        fractionHigh = ~fractionHigh + (fractionLow == 0 ? 1 : 0);
    }
    // |fraction| = top 2^-(64 + shift) with the leading bit of `top` set.
    int shift = 0;
    std::uint64_t top = 0;
    if (fractionHigh != 0) {
        shift = leadingZeros(fractionHigh);
        top = shift == 0 ? fractionHigh : (fractionHigh << shift) | (fractionLow >> (64 - shift));
    } else if (fractionLow != 0) {
        shift = 64 + leadingZeros(fractionLow);
        top = fractionLow << (shift - 64);
    }
    // Round `top` to 53 bits (the sum stays exact even when it carries to 2^53).
    const std::uint64_t significand = (top >> 11) + ((top >> 10) & 1);
    const double magnitude = static_cast<double>(significand) * powerOfTwo(11 - 64 - shift) * STEP;
    const Reduced reduced = {index, negative ? -magnitude : magnitude};
    // -x = (-k) pi/32 + (-r).
    return x < 0.0f ? Reduced{(0 - index) & TABLE_MASK, -reduced.r} : reduced;
}

inline SinCosPair evaluate(std::uint64_t index, double r) {
    const double r2 = r * r;
    const double sinR = r + r * r2 * (S3 + r2 * (S5 + r2 * (S7 + r2 * S9)));
    const double cosRMinusOne = r2 * (C2 + r2 * (C4 + r2 * (C6 + r2 * C8)));
    const SinCosPair& base = TABLE[index];
    return {base.s + (base.s * cosRMinusOne + base.c * sinR), base.c + (base.c * cosRMinusOne - base.s * sinR)};
}

inline bool nearMidpoint(double y) {
    const std::uint32_t dropped = static_cast<std::uint32_t>(bitsAs<std::uint64_t>(y)) & DROPPED_BITS;
    return dropped - (MIDPOINT - NEAR_MIDPOINT) < 2 * NEAR_MIDPOINT;
}

// Replaces s and c with the tabulated correct results if x is a hard case.
void patchHardCase(float x, float& s, float& c) {
    const std::uint32_t bits = bitsAs<std::uint32_t>(x);
    const HardCase* end = std::end(HARD_CASES);
    const HardCase* found =
        std::lower_bound(std::begin(HARD_CASES), end, bits, [](const HardCase& h, std::uint32_t b) { return h.x < b; });
    if (found != end && found->x == bits) {
        s = bitsAs<float>(found->s);
        c = bitsAs<float>(found->c);
    }
}

// Arguments that sinCos reduces by Cody-Waite: nonzero and below the limit
// (which excludes infinities and NaN).
inline bool isModerate(double magnitude) { return (magnitude > 0.0) & (magnitude < CODY_WAITE_LIMIT); }

// The bits of a float magnitude, as an integer, order like the magnitudes.
// The lanes take +0 (whose sine comes out +0 there) and the nonzero floats
// below 2^18, but not -0, whose sine would come out +0.
constexpr std::uint32_t MODERATE_LIMIT_BITS = 0x48800000;  // 2^18
constexpr std::uint32_t SIGN_BIT = 0x80000000;

// Elements per block of sinCosMany: enough for the lanes to stay busy.
constexpr int BLOCK = 64;

// The same arithmetic as sinCos for moderate arguments and +0, over count <= BLOCK
// elements in a loop without branches that the compiler vectorises. Returns
// whether any argument was not moderate or any result lies near a midpoint.
// On x86-64 a clone for AVX2 (four doubles a register) or AVX-512 (eight) is
// chosen at run time; with no contraction there is no fused multiply-add, and
// every clone rounds every operation the same way.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("default", "avx2", "avx512f")))
#endif
bool sinCosBlock(const float* x, float* s, float* c, int count) {
    int irregular = 0;
    for (int i = 0; i < count; ++i) {
        // Arguments that are not moderate are replaced by zero so that every
        // lane stays in range.
        const std::uint32_t bits = bitsAs<std::uint32_t>(x[i]);
        const bool moderate = (bits < MODERATE_LIMIT_BITS) | ((bits ^ SIGN_BIT) - 1 < MODERATE_LIMIT_BITS - 1);
        const std::uint32_t keep = 0 - static_cast<std::uint32_t>(moderate);
        const Reduced reduced = reduceModerate(bitsAs<float>(bits & keep));
        const SinCosPair result = evaluate(reduced.index, reduced.r);
        s[i] = static_cast<float>(result.s);
        c[i] = static_cast<float>(result.c);
        irregular |= static_cast<int>(!moderate) | static_cast<int>(nearMidpoint(result.s)) |
                     static_cast<int>(nearMidpoint(result.c));
    }
    return irregular != 0;
}

}  // namespace

void sinCos(float x, float& s, float& c) {
    const double wide = x;
    const double magnitude = wide < 0.0 ? -wide : wide;
    if (!(magnitude <= std::numeric_limits<double>::max())) {
        // inf - inf and NaN - NaN are NaN.
        s = x - x;
        c = x - x;
        return;
    }
    if (magnitude == 0.0) {
        s = x;
        c = 1.0f;
        return;
    }
    const Reduced reduced = isModerate(magnitude) ? reduceModerate(wide) : reduceLarge(x);
    const SinCosPair result = evaluate(reduced.index, reduced.r);
    s = static_cast<float>(result.s);
    c = static_cast<float>(result.c);
    if (nearMidpoint(result.s) || nearMidpoint(result.c)) {
        patchHardCase(x, s, c);
    }
}

// A block with any argument that is not moderate, or any result near a
// midpoint, is redone element by element through sinCos.
void sinCosMany(const float* x, float* s, float* c, int n) {
    for (int start = 0; start < n; start += BLOCK) {
        const int count = std::min(BLOCK, n - start);
        if (sinCosBlock(x + start, s + start, c + start, count)) {
            for (int i = start; i < start + count; ++i) {
                sinCos(x[i], s[i], c[i]);
            }
        }
    }
}
