#include "dynamics/portable_trig.h"
#include "dynamics/sincos.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace {

constexpr double TWO_OVER_PI = 0x1.45f306dc9c883p-1;
// pi/2 as the sum of three doubles, the first two of 33 significant bits, so
// that k times either is exact for |k| < 2^20.
constexpr double HALF_PI_HIGH = 0x1.921fb54400000p+0;
constexpr double HALF_PI_MIDDLE = 0x1.0b4611a600000p-34;
constexpr double HALF_PI_LOW = 0x1.3198a2e037073p-69;
// Below this |x| the nearest quarter turn k stays below 2^20 in size.
constexpr double CODY_WAITE_LIMIT = 0x1.8p20;
// Adding 1.5 2^52 rounds a double below 2^51 in size to an integer, ties to
// even, and leaves that integer (mod 2^51) in the low bits of the sum.
constexpr double ROUNDER = 0x1.8p52;
// The three-part reduction leaves an absolute error of up to about 2^-101
// (pi/2 beyond its three parts, and the rounding of k times the last part).
// For a remainder below 2^-40 that is more than 2^-9 of its last place, so
// such a remainder is formed again exactly.
constexpr double SMALL_REMAINDER = 0x1p-40;

// The first 1216 bits of 2/pi after the binary point, 64 to a word,
// preceded by a zero word for the bits before the point (2/pi < 1) that the
// exponents of arguments near 1 select.
constexpr std::uint64_t TWO_OVER_PI_BITS[20] = {
    0,
    0xa2f9836e4e441529ull, 0xfc2757d1f534ddc0ull, 0xdb6295993c439041ull, 0xfe5163abdebbc561ull,
    0xb7246e3a424dd2e0ull, 0x06492eea09d1921cull, 0xfe1deb1cb129a73eull, 0xe88235f52ebb4484ull,
    0xe99c7026b45f7e41ull, 0x3991d639835339f4ull, 0x9c845f8bbdf9283bull, 0x1ff897ffde05980full,
    0xef2f118b5a0a6d1full, 0x6d367ecf27cb09b7ull, 0x4f463f669e5fea2dull, 0x7527bac7ebe5f17bull,
    0x3d0739f78a5292eaull, 0x6bfb5fb11f8d5d08ull, 0x56033046fc7b6babull,
};
// pi/2 2^63, rounded to an integer.
constexpr std::uint64_t HALF_PI_FIXED = 0xc90fdaa22168c235ull;

// 1/n!, each step a correctly rounded division: the same constant in every build.
constexpr double inverseFactorial(int n) {
    double value = 1.0;
    for (int i = 2; i <= n; ++i) {
        value /= i;
    }
    return value;
}

// Taylor coefficients from r^3 (sine) and r^2 (cosine) on; on |r| <= pi/4
// the first omitted terms, r^19/19! and r^20/20!, lie below 1e-19.
constexpr double SINE_TERMS[] = {-inverseFactorial(3),  inverseFactorial(5),  -inverseFactorial(7),
                                 inverseFactorial(9),   -inverseFactorial(11), inverseFactorial(13),
                                 -inverseFactorial(15), inverseFactorial(17)};
constexpr double COSINE_TERMS[] = {-inverseFactorial(2),  inverseFactorial(4),  -inverseFactorial(6),
                                   inverseFactorial(8),   -inverseFactorial(10), inverseFactorial(12),
                                   -inverseFactorial(14), inverseFactorial(16),  -inverseFactorial(18)};

// sum of terms[i] u^i by Horner's rule, highest power first.
template <std::size_t N>
double horner(const double (&terms)[N], double u) {
    double sum = terms[N - 1];
    for (std::size_t i = N - 1; i-- > 0;) {
        sum = sum * u + terms[i];
    }
    return sum;
}

double sineOfReduced(double r) {
    const double r2 = r * r;
    return r + r * r2 * horner(SINE_TERMS, r2);
}

double cosineOfReduced(double r) {
    const double r2 = r * r;
    return 1.0 + r2 * horner(COSINE_TERMS, r2);
}

// x = k pi/2 + r: the quarter turns k mod 4 and the remainder r, |r| <= pi/4
// (a few units in its last place more in the three-part reduction).
struct Reduced {
    std::uint64_t quarter;
    double r;
};

// |x| < CODY_WAITE_LIMIT, in three parts (Cody and Waite): the first
// subtraction is exact, the others round.
Reduced reduceModerate(double x) {
    const double shifted = x * TWO_OVER_PI + ROUNDER;
    const double k = shifted - ROUNDER;
    const double r = ((x - k * HALF_PI_HIGH) - k * HALF_PI_MIDDLE) - k * HALF_PI_LOW;
    return {__builtin_bit_cast(std::uint64_t, shifted) & 3, r};
}

struct Wide {
    std::uint64_t high;
    std::uint64_t low;
};

// a b as 128 bits, from 32-bit halves (the WebAssembly build need not have a
// 128-bit integer type).
Wide multiplyWide(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t aLow = a & 0xffffffffu;
    const std::uint64_t aHigh = a >> 32;
    const std::uint64_t bLow = b & 0xffffffffu;
    const std::uint64_t bHigh = b >> 32;
    const std::uint64_t lowLow = aLow * bLow;
    const std::uint64_t lowHigh = aLow * bHigh;
    const std::uint64_t highLow = aHigh * bLow;
    const std::uint64_t middle = (lowLow >> 32) + (lowHigh & 0xffffffffu) + (highLow & 0xffffffffu);
    const std::uint64_t high = aHigh * bHigh + (lowHigh >> 32) + (highLow >> 32) + (middle >> 32);
    return {high, (middle << 32) | (lowLow & 0xffffffffu)};
}

// 64 bits of 2/pi from bit `position` on, bit 0 being the first after the
// binary point; positions from -64 on (the bits before the point are zero).
std::uint64_t twoOverPiWord(int position) {
    const int word = (position + 64) / 64;
    const int shift = (position + 64) % 64;
    const std::uint64_t high = TWO_OVER_PI_BITS[word];
    return shift == 0 ? high : (high << shift) | (TWO_OVER_PI_BITS[word + 1] >> (64 - shift));
}

// 2^exponent for an exponent of a normal double.
double powerOfTwo(int exponent) {
    return __builtin_bit_cast(double, static_cast<std::uint64_t>(1023 + exponent) << 52);
}

// The fixed-point fraction f0 f1 (f0 the high word, non-zero) times pi/2,
// rounded to a double: its leading 64 bits times pi/2 2^63, of which the
// leading 64 bits are rounded to 53. The truncations change the product by
// less than 2^-61 of itself, 2^-8 of the result's last place.
double halfPiTimes(std::uint64_t f0, std::uint64_t f1) {
    const int zeros = __builtin_clzll(f0);
    const std::uint64_t leading = zeros == 0 ? f0 : (f0 << zeros) | (f1 >> (64 - zeros));
    Wide product = multiplyWide(leading, HALF_PI_FIXED);
    int scale = -127 - zeros;  // value = product 2^scale
    if (product.high >> 63 == 0) {
        product.high = (product.high << 1) | (product.low >> 63);
        --scale;
    }
    // The sum stays exact even when it carries to 2^53.
    const std::uint64_t significand = (product.high >> 11) + ((product.high >> 10) & 1);
    return static_cast<double>(significand) * powerOfTwo(scale + 64 + 11);
}

// Any finite |x| >= 1/2, exactly (Payne and Hanek): x = m 2^e with an integer
// m < 2^53, and x 2/pi mod 4 is m times the 192 bits of 2/pi from weight
// 2^(1 - e) down, modulo 2^192, in fixed point with 190 fraction bits. The
// bits of 2/pi above that window give multiples of 4, those below add less
// than 2^-137; no double lies closer to a multiple of pi/2 than about 2^-62,
// so the fraction's leading word is not zero and 64 significant bits follow.
Reduced reduceExactly(double x) {
    const std::uint64_t bits = __builtin_bit_cast(std::uint64_t, x);
    const int e = static_cast<int>((bits >> 52) & 0x7ff) - 1075;
    const std::uint64_t m = (bits & 0xfffffffffffffull) | (1ull << 52);
    const int position = e - 2;
    const Wide low = multiplyWide(m, twoOverPiWord(position + 128));
    const Wide middle = multiplyWide(m, twoOverPiWord(position + 64));
    const std::uint64_t p2 = low.low;
    const std::uint64_t p1 = middle.low + low.high;
    const std::uint64_t p0 = m * twoOverPiWord(position) + middle.high + (p1 < low.high ? 1 : 0);
    // The integer part's two bits, and the fraction moved to the top.
    std::uint64_t quarter = p0 >> 62;
    std::uint64_t f0 = (p0 << 2) | (p1 >> 62);
    std::uint64_t f1 = (p1 << 2) | (p2 >> 62);
    std::uint64_t f2 = p2 << 2;
    // A fraction of one half or more rounds k up and leaves r = (f - 1) pi/2.
    const bool negative = f0 >> 63 != 0;
    if (negative) {
        quarter = (quarter + 1) & 3;
        f2 = ~f2 + 1;
        f1 = ~f1 + (f2 == 0 ? 1 : 0);
        f0 = ~f0 + (f1 == 0 && f2 == 0 ? 1 : 0);
    }
    const double magnitude = halfPiTimes(f0, f1);
    const Reduced reduced = {quarter, negative ? -magnitude : magnitude};
    // -x = (-k) pi/2 + (-r).
    return x < 0.0 ? Reduced{(0 - quarter) & 3, -reduced.r} : reduced;
}

// The remainder of x; |x| <= the largest double.
Reduced reduce(double x, double magnitude) {
    if (magnitude >= CODY_WAITE_LIMIT) {
        return reduceExactly(x);
    }
    const Reduced moderate = reduceModerate(x);
    const bool nearQuarterTurn = moderate.r < SMALL_REMAINDER && moderate.r > -SMALL_REMAINDER;
    // k = 0 (|x| < pi/4) leaves r = x exactly.
    return nearQuarterTurn && magnitude > 0.5 ? reduceExactly(x) : moderate;
}

}  // namespace

SineCosine portableSinCos(double x) {
    const double magnitude = x < 0.0 ? -x : x;
    if (!(magnitude <= std::numeric_limits<double>::max())) {
        // inf - inf and NaN - NaN are NaN.
        return {x - x, x - x};
    }
    // sin and cos of x are those of r turned by k quarter turns.
    const Reduced reduced = reduce(x, magnitude);
    const double s = sineOfReduced(reduced.r);
    const double c = cosineOfReduced(reduced.r);
    switch (reduced.quarter) {
        case 0:
            return {s, c};
        case 1:
            return {c, -s};
        case 2:
            return {-s, -c};
        default:
            return {-c, s};
    }
}

namespace {

// Elements per block of sinCosMany: enough for the lanes to stay busy.
constexpr int BLOCK = 64;

// The same arithmetic as portableSinCos for the arguments that the
// three-part reduction serves (finite, below the Cody-Waite limit, away from
// a quarter turn or below 0.5), over count <= BLOCK elements in a loop
// without branches that the compiler vectorises; each other element is marked
// in `irregular`. On x86-64 a clone for AVX2 or AVX-512 is chosen at run
// time; without contraction every clone rounds every operation alike.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("default", "avx2", "avx512f")))
#endif
void sinCosBlock(const double* x, double* s, double* c, unsigned char* irregular, int count) {
    constexpr std::uint64_t SIGN = std::uint64_t{1} << 63;
    const auto bitsOf = [](double value) { return __builtin_bit_cast(std::uint64_t, value); };
    const auto valueOf = [](std::uint64_t bits) { return __builtin_bit_cast(double, bits); };
    // Selections and sign flips as bit masks, so that the loop has no branch.
    for (int i = 0; i < count; ++i) {
        const std::uint64_t bits = bitsOf(x[i]);
        const double magnitude = valueOf(bits & ~SIGN);
        const bool served = magnitude < CODY_WAITE_LIMIT;  // false for inf and NaN too
        const Reduced reduced = reduceModerate(valueOf(bits & (0 - static_cast<std::uint64_t>(served))));
        const bool nearQuarterTurn =
            (reduced.r < SMALL_REMAINDER) & (reduced.r > -SMALL_REMAINDER) & (magnitude > 0.5);
        const std::uint64_t sine = bitsOf(sineOfReduced(reduced.r));
        const std::uint64_t cosine = bitsOf(cosineOfReduced(reduced.r));
        // Turned by k quarter turns: k odd swaps them, k = 2, 3 negates the
        // sine, k = 1, 2 the cosine.
        const std::uint64_t k = reduced.quarter;
        const std::uint64_t swap = 0 - (k & 1);
        const std::uint64_t swappedSine = (cosine & swap) | (sine & ~swap);
        const std::uint64_t swappedCosine = (sine & swap) | (cosine & ~swap);
        s[i] = valueOf(swappedSine ^ ((k & 2) << 62));
        c[i] = valueOf(swappedCosine ^ (((k + 1) & 2) << 62));
        irregular[i] = static_cast<unsigned char>(!served | nearQuarterTurn);
    }
}

}  // namespace

// Each marked element of a block is redone alone, so that every element
// gets portableSinCos's bits.
void sinCosMany(const double* x, double* s, double* c, int n) {
    unsigned char irregular[BLOCK];
    for (int start = 0; start < n; start += BLOCK) {
        const int count = std::min(BLOCK, n - start);
        sinCosBlock(x + start, s + start, c + start, irregular, count);
        for (int i = 0; i < count; ++i) {
            if (irregular[i] != 0) {
                const SineCosine value = portableSinCos(x[start + i]);
                s[start + i] = value.sine;
                c[start + i] = value.cosine;
            }
        }
    }
}
