#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "dynamics/sincos.h"

namespace {

std::uint32_t bitsOf(float v) { return std::bit_cast<std::uint32_t>(v); }
float floatOf(std::uint32_t bits) { return std::bit_cast<float>(bits); }

// glibc's double sin and cos are within one unit in the last place of double
// for every argument; rounded to float they are the correctly rounded result
// unless they lie within a few double units of a float midpoint, where the
// reference decides nothing.
bool decides(double reference) {
    const std::int64_t dropped = static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(reference) & ((1u << 29) - 1));
    return std::llabs(dropped - (1 << 28)) > 8;
}

// Checks sinCos(x) against the double reference; returns false where the
// reference cannot decide.
bool checkAgainstDouble(float x) {
    const double wideSin = std::sin(static_cast<double>(x));
    const double wideCos = std::cos(static_cast<double>(x));
    if (!decides(wideSin) || !decides(wideCos)) {
        return false;
    }
    float s = 0.0f;
    float c = 0.0f;
    sinCos(x, s, c);
    EXPECT_EQ(bitsOf(s), bitsOf(static_cast<float>(wideSin))) << std::hexfloat << "sin " << x;
    EXPECT_EQ(bitsOf(c), bitsOf(static_cast<float>(wideCos))) << std::hexfloat << "cos " << x;
    return true;
}

struct Expected {
    std::uint32_t x;
    std::uint32_t s;
    std::uint32_t c;
};

// Arguments whose sine or cosine lies closest to a float rounding boundary,
// as the exhaustive comparison with 113-bit sinq and cosq found them, with the
// correctly rounded results it determined (and that 400-bit mpmath confirms).
// A double evaluation alone rounds the first five the wrong way.
constexpr Expected HARDEST[] = {
    {0x46199998, 0xbeb1fa5d, 0xbf70090b},  // 9830.3984375: sin 6.6e-10 ulp from a midpoint
    {0xc6199998, 0x3eb1fa5d, 0xbf70090b},  // its negative
    {0x5922aa80, 0xbf587522, 0x3f08aebf},  // 0x1.4555p+51
    {0x5f18b878, 0x3dad60f7, 0x3f7f14bb},  // 0x1.3170fp+63: cos 3.1e-10 ulp
    {0x6115cb11, 0xbe7cc1e1, 0x3f78142f},  // 0x1.2b9622p+67: cos 2.4e-10 ulp, the closest
    {0x73243f06, 0x3e943a84, 0xbf750971},  // 0x1.487e0cp+103: sin 4.7e-10 ulp, the closest
    {0x55cafb2a, 0xbf7e7a17, 0x3ddf11f4},  // 0x1.95f654p+44: sin 1.3e-9 ulp
    {0x59443c0a, 0x3f269965, 0x3f425f62},  // 0x1.887814p+51: cos 2.5e-10 ulp
};

TEST(SinCos, HardestToRoundArguments) {
    std::vector<float> x;
    for (const Expected& e : HARDEST) {
        float s = 0.0f;
        float c = 0.0f;
        sinCos(floatOf(e.x), s, c);
        EXPECT_EQ(bitsOf(s), e.s) << std::hex << e.x;
        EXPECT_EQ(bitsOf(c), e.c) << std::hex << e.x;
        x.push_back(floatOf(e.x));
    }
    std::vector<float> s(x.size());
    std::vector<float> c(x.size());
    sinCosMany(x.data(), s.data(), c.data(), static_cast<int>(x.size()));
    for (std::size_t i = 0; i < x.size(); ++i) {
        EXPECT_EQ(bitsOf(s[i]), HARDEST[i].s) << i;
        EXPECT_EQ(bitsOf(c[i]), HARDEST[i].c) << i;
    }
}

TEST(SinCos, ZerosInfinitiesAndNaN) {
    for (float zero : {0.0f, -0.0f}) {
        float s = 1.0f;
        float c = 0.0f;
        sinCos(zero, s, c);
        EXPECT_EQ(bitsOf(s), bitsOf(zero));  // keeps the sign
        EXPECT_EQ(c, 1.0f);
    }
    for (float bad : {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                      std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN()}) {
        float s = 0.0f;
        float c = 0.0f;
        sinCos(bad, s, c);
        EXPECT_TRUE(std::isnan(s)) << bad;
        EXPECT_TRUE(std::isnan(c)) << bad;
    }
}

// Subnormal and tiny arguments: sin x rounds to x and cos x to 1 (the first
// omitted terms, x^3/6 and x^2/2, are far below half an ulp), up to where the
// double reference takes over.
TEST(SinCos, SubnormalAndTinyArguments) {
    const float smallest = std::numeric_limits<float>::denorm_min();
    for (float x : {smallest, -smallest, 3.0f * smallest, floatOf(0x007fffff), -floatOf(0x00400001),
                    std::numeric_limits<float>::min(), 1e-20f, -3e-10f}) {
        float s = 0.0f;
        float c = 0.0f;
        sinCos(x, s, c);
        EXPECT_EQ(bitsOf(s), bitsOf(x)) << x;
        EXPECT_EQ(c, 1.0f) << x;
    }
    for (float x : {2.4e-4f, -1e-3f, 0.0117f}) {
        EXPECT_TRUE(checkAgainstDouble(x)) << x;
    }
}

// The largest floats and powers of two up to them need the exact reduction:
// their multiples of 2 pi are about 2^128 / (2 pi) turns.
TEST(SinCos, LargestArguments) {
    const float largest = std::numeric_limits<float>::max();
    int decided = 0;
    std::vector<float> arguments = {largest, -largest, std::nextafter(largest, 0.0f), 262144.0f,
                                    std::nextafter(262144.0f, 0.0f), 1e30f, -5e15f, 16367173.0f * 0x1p72f};
    for (int exponent = 18; exponent <= 127; ++exponent) {
        arguments.push_back(std::ldexp(1.0f, exponent));
        arguments.push_back(-std::ldexp(1.6180339f, exponent));
    }
    for (float x : arguments) {
        decided += checkAgainstDouble(x) ? 1 : 0;
    }
    EXPECT_GE(decided, static_cast<int>(arguments.size()) - 2);
}

// Random bit patterns over the whole float range and uniform angles in
// [-50, 50], against the double reference where it decides.
TEST(SinCos, RandomArgumentsAgainstDoubleReference) {
    std::mt19937 random(9);
    std::uniform_real_distribution<float> angle(-50.0f, 50.0f);
    constexpr int SAMPLES = 200000;
    int decided = 0;
    for (int i = 0; i < SAMPLES; ++i) {
        float x = (i % 2 == 0) ? angle(random) : floatOf(random());
        if (!std::isfinite(x)) {
            x = 1.0f;
        }
        decided += checkAgainstDouble(x) ? 1 : 0;
    }
    EXPECT_GE(decided, SAMPLES - 10);
}

// sinCosMany against sinCos bit for bit, for every length up to a few blocks
// (so that lengths are not multiples of any lane count), with large, special
// and hard arguments among moderate ones.
TEST(SinCos, ManyEqualsOneAtATime) {
    std::mt19937 random(10);
    std::uniform_real_distribution<float> angle(-100.0f, 100.0f);
    std::vector<float> x(203);
    for (std::size_t i = 0; i < x.size(); ++i) {
        x[i] = angle(random);
    }
    const float specials[] = {0.0f, -0.0f, std::numeric_limits<float>::infinity(), std::nanf(""), 1e-40f, 3e38f,
                              -262144.0f, 262143.98f, floatOf(HARDEST[0].x), 5e15f};
    for (std::size_t k = 0; k < std::size(specials); ++k) {
        x[7 + 19 * k] = specials[k];
    }
    for (int n : {0, 1, 2, 3, 5, 40, 63, 64, 65, 127, 203}) {
        std::vector<float> s(n + 1, 7.0f);
        std::vector<float> c(n + 1, 7.0f);
        sinCosMany(x.data(), s.data(), c.data(), n);
        for (int i = 0; i < n; ++i) {
            float oneS = 0.0f;
            float oneC = 0.0f;
            sinCos(x[i], oneS, oneC);
            ASSERT_EQ(bitsOf(s[i]), bitsOf(oneS)) << "n " << n << " i " << i;
            ASSERT_EQ(bitsOf(c[i]), bitsOf(oneC)) << "n " << n << " i " << i;
        }
        EXPECT_EQ(s[n], 7.0f);  // nothing written past n
        EXPECT_EQ(c[n], 7.0f);
    }
}

}  // namespace
