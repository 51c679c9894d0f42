#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "dynamics/sincos.h"
#include "sincos_reference.h"

namespace {

std::uint32_t bitsOf(float v) { return std::bit_cast<std::uint32_t>(v); }
float floatOf(std::uint32_t bits) { return std::bit_cast<float>(bits); }

// The correctly rounded sine and cosine of the finite x, as bit patterns.
std::pair<std::uint32_t, std::uint32_t> reference(float x) {
    double s = 0.0;
    double c = 0.0;
    ::sincos(static_cast<double>(x), &s, &c);
    return {bitsOf(sincos_reference::correctlyRounded(x, s, true)),
            bitsOf(sincos_reference::correctlyRounded(x, c, false))};
}

void checkAgainstReference(float x) {
    float s = 0.0f;
    float c = 0.0f;
    sinCos(x, s, c);
    EXPECT_EQ(std::make_pair(bitsOf(s), bitsOf(c)), reference(x)) << std::hexfloat << x;
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
        checkAgainstReference(x);
    }
}

// The largest floats and powers of two up to them need the exact reduction:
// their multiples of 2 pi are about 2^128 / (2 pi) turns.
TEST(SinCos, LargestArguments) {
    const float largest = std::numeric_limits<float>::max();
    std::vector<float> arguments = {largest, -largest, std::nextafter(largest, 0.0f), 262144.0f,
                                    std::nextafter(262144.0f, 0.0f), 1e30f, -5e15f, 16367173.0f * 0x1p72f};
    for (int exponent = 18; exponent <= 127; ++exponent) {
        arguments.push_back(std::ldexp(1.0f, exponent));
        arguments.push_back(-std::ldexp(1.6180339f, exponent));
    }
    for (float x : arguments) {
        checkAgainstReference(x);
    }
}

// sinCosMany and sinCos against the reference at every `stride`-th float bit
// pattern of [first, last), every other one negated. Returns the number of
// arguments where either is wrong and reports the first few.
int sweepMismatches(std::uint32_t first, std::uint32_t last, std::uint32_t stride) {
    constexpr std::uint32_t CHUNK = 4096;
    const std::uint32_t count = (last - first) / stride;
    std::vector<float> x(CHUNK), s(CHUNK), c(CHUNK);
    int wrong = 0;
    for (std::uint32_t done = 0; done < count; done += CHUNK) {
        const std::uint32_t n = std::min(CHUNK, count - done);
        for (std::uint32_t i = 0; i < n; ++i) {
            x[i] = floatOf((first + (done + i) * stride) | ((i & 1) << 31));
        }
        sinCosMany(x.data(), s.data(), c.data(), static_cast<int>(n));
        for (std::uint32_t i = 0; i < n; ++i) {
            float oneS = 0.0f;
            float oneC = 0.0f;
            sinCos(x[i], oneS, oneC);
            const auto want = reference(x[i]);
            const bool manyRight = std::make_pair(bitsOf(s[i]), bitsOf(c[i])) == want;
            if (!manyRight || std::make_pair(bitsOf(oneS), bitsOf(oneC)) != want) {
                if (++wrong <= 3) {
                    ADD_FAILURE() << std::hexfloat << x[i] << ": sinCosMany " << s[i] << ", " << c[i] << "; sinCos "
                                  << oneS << ", " << oneC;
                }
            }
        }
    }
    return wrong;
}

// Every reduction range: the whole finite range (subnormal, tiny, Cody-Waite
// and Payne-Hanek arguments), then [2^12, 2^18) far more densely, where
// Cody-Waite's k reaches 2^21, so that an error of pi/32's low part in its
// last bits rounds one to a few results in a million wrongly there. The exhaustive
// run over all floats is scripts/check_sincos.sh.
TEST(SinCos, SweepOfEveryReductionRangeAgainstTheReference) {
    EXPECT_EQ(sweepMismatches(0, 0x7f800000, 1031), 0);
    EXPECT_EQ(sweepMismatches(0x45800000, 0x48800000, 7), 0);
}

// sinCosMany against sinCos bit for bit, for every length up to a few blocks
// (so that lengths are not multiples of any lane count), with large and
// special arguments among moderate ones, and a hard-to-round one alone in the
// last block, which only its result near a midpoint sends element by element.
TEST(SinCos, ManyEqualsOneAtATime) {
    std::mt19937 random(10);
    std::uniform_real_distribution<float> angle(-100.0f, 100.0f);
    std::vector<float> x(203);
    for (std::size_t i = 0; i < x.size(); ++i) {
        x[i] = angle(random);
    }
    const float specials[] = {0.0f, -0.0f, std::numeric_limits<float>::infinity(), std::nanf(""), 1e-40f, 3e38f,
                              -262144.0f, 262143.98f, 5e15f};
    for (std::size_t k = 0; k < std::size(specials); ++k) {
        x[7 + 19 * k] = specials[k];
    }
    x[200] = floatOf(HARDEST[1].x);
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
