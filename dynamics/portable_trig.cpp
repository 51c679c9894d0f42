#include "dynamics/portable_trig.h"
#include "dynamics/sincos.h"

#include <cmath>
#include <cstddef>
#include <limits>

namespace {

constexpr double TWO_OVER_PI = 0x1.45f306dc9c883p-1;
// pi/2 as the sum of three doubles, the first two of 33 significant bits, so
// that k times either is exact for |k| < 2^20.
constexpr double HALF_PI_HIGH = 0x1.921fb54400000p+0;
constexpr double HALF_PI_MIDDLE = 0x1.0b4611a600000p-34;
constexpr double HALF_PI_LOW = 0x1.3198a2e037073p-69;

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

}  // namespace

SineCosine portableSinCos(double x) {
    if (!std::isfinite(x)) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return {nan, nan};
    }
    // x = k pi/2 + r with |r| <= pi/4; sin and cos of x are those of r turned
    // by k quarter turns.
    const double k = std::nearbyint(x * TWO_OVER_PI);
    const double r = ((x - k * HALF_PI_HIGH) - k * HALF_PI_MIDDLE) - k * HALF_PI_LOW;
    const double s = sineOfReduced(r);
    const double c = cosineOfReduced(r);
    double quarter = std::fmod(k, 4.0);
    if (quarter < 0.0) {
        quarter += 4.0;
    }
    if (quarter == 0.0) {
        return {s, c};
    }
    if (quarter == 1.0) {
        return {c, -s};
    }
    if (quarter == 2.0) {
        return {-s, -c};
    }
    return {-c, s};
}

void sinCosMany(const double* x, double* s, double* c, int n) {
    for (int i = 0; i < n; ++i) {
        const SineCosine value = portableSinCos(x[i]);
        s[i] = value.sine;
        c[i] = value.cosine;
    }
}
