// The numbers the CSV is made of in every build alike: the shortest text of
// floats and doubles (used where the C++ library has no floating-point
// to_chars) against the library's to_chars, and the portable sine and cosine
// against the C library's; and the decimal reader of the options and script
// values, down through the subnormals.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <algorithm>
#include <utility>
#include <random>
#include <string>
#include <vector>

#include "app/chain_options.h"
#include "app/portable_trig.h"
#include "app/shortest_text.h"

namespace {

template <typename Value>
void expectSameTextAsToChars(const std::vector<Value>& values) {
    int differing = 0;
    for (const Value value : values) {
        char expected[64];
        char actual[64];
        const std::string wanted(expected, std::to_chars(expected, expected + sizeof expected, value).ptr);
        const std::string got(actual, writeShortest(actual, value));
        if (got != wanted) {
            ADD_FAILURE() << "'" << got << "' where to_chars writes '" << wanted << "'";
            ASSERT_LT(++differing, 20);
        }
    }
}

// Values of every kind of text: both signs of zero, the infinities, whole
// numbers around each format's switch from %f to %e, every power of two (where
// the gap below a value is half the gap above it), the extremes, and random
// bit patterns and random magnitudes like the chain's angles and momenta.
template <typename Value, typename Bits>
std::vector<Value> probeValues(int randomCount) {
    std::vector<Value> values = {0, -Value(0), std::numeric_limits<Value>::infinity(),
                                 -std::numeric_limits<Value>::infinity(), std::numeric_limits<Value>::max(),
                                 std::numeric_limits<Value>::min(), std::numeric_limits<Value>::denorm_min(),
                                 std::numeric_limits<Value>::lowest(), Value(0.1), Value(-1962), Value(1e-5),
                                 Value(123456789), Value(1e15), Value(1e16), Value(1e17), Value(99999),
                                 Value(100000), Value(1e-4), Value(0.001), Value(-1.570796)};
    for (int e = std::numeric_limits<Value>::min_exponent - std::numeric_limits<Value>::digits;
         e < std::numeric_limits<Value>::max_exponent; ++e) {
        values.push_back(std::ldexp(Value(1), e));
        values.push_back(-std::ldexp(Value(1), e));
    }
    for (Value v = 1; v < Value(1e30); v *= 10) {
        values.push_back(v);
        values.push_back(std::nextafter(v, Value(0)));
        values.push_back(std::nextafter(v, std::numeric_limits<Value>::infinity()));
    }
    std::mt19937_64 random(12);
    std::uniform_real_distribution<double> magnitude(-8.0, 8.0);
    for (int i = 0; i < randomCount; ++i) {
        const Value fromBits = std::bit_cast<Value>(static_cast<Bits>(random()));
        if (std::isfinite(fromBits)) {
            values.push_back(fromBits);
        }
        const double sign = random() % 2 == 0 ? 1.0 : -1.0;
        values.push_back(static_cast<Value>(sign * std::pow(10.0, magnitude(random))));
    }
    return values;
}

TEST(ShortestText, FloatsReadAsToCharsWritesThem) {
    expectSameTextAsToChars(probeValues<float, std::uint32_t>(200000));
}

TEST(ShortestText, DoublesReadAsToCharsWritesThem) {
    expectSameTextAsToChars(probeValues<double, std::uint64_t>(60000));
}

// The exact decimal of odd * 2^-150, the point halfway between the floats
// (odd - 1) / 2 and (odd + 1) / 2 times the smallest subnormal, as digits
// and an exponent: odd * 5^150 * 10^-150.
std::string halfwayBetweenSubnormals(std::uint32_t odd) {
    std::vector<int> digits = {0};  // least significant first
    const auto multiply = [&digits](std::uint64_t factor) {
        std::uint64_t carry = 0;
        for (int& digit : digits) {
            const std::uint64_t product = static_cast<std::uint64_t>(digit) * factor + carry;
            digit = static_cast<int>(product % 10);
            carry = product / 10;
        }
        for (; carry != 0; carry /= 10) {
            digits.push_back(static_cast<int>(carry % 10));
        }
    };
    digits[0] = 1;
    multiply(odd);
    for (int i = 0; i < 150; ++i) {
        multiply(5);
    }
    std::string text;
    for (auto digit = digits.rbegin(); digit != digits.rend(); ++digit) {
        text += static_cast<char>('0' + *digit);
    }
    return text + "e-150";
}

float readOrNan(const std::string& text) {
    float value = std::numeric_limits<float>::quiet_NaN();
    return readDecimalFloat(text, value) ? value : std::numeric_limits<float>::quiet_NaN();
}

TEST(DecimalReader, ReadsWhatToCharsWritesBackToTheSameFloat) {
    int differing = 0;
    for (const float value : probeValues<float, std::uint32_t>(50000)) {
        if (!std::isfinite(value)) {
            continue;
        }
        char text[64];
        const std::string shortest(text, std::to_chars(text, text + sizeof text, value).ptr);
        const std::string scientific(text, std::to_chars(text, text + sizeof text, value,
                                                         std::chars_format::scientific, 12).ptr);
        for (const std::string& written : {shortest, scientific}) {
            const float read = readOrNan(written);
            if (std::bit_cast<std::uint32_t>(read) != std::bit_cast<std::uint32_t>(value)) {
                ADD_FAILURE() << written << " read as " << read;
                ASSERT_LT(++differing, 20);
            }
        }
    }
}

// The points halfway between neighbouring subnormals go to the even one;
// a hair below goes down, a hair above goes up. The first is halfway between
// zero and the smallest subnormal, the last between the largest subnormal and
// the smallest normal float.
TEST(DecimalReader, RoundsSubnormalsToNearestEven) {
    for (const std::uint32_t odd : {1u, 3u, 5u, 77u, 4093u, (1u << 24) - 1}) {
        const std::string halfway = halfwayBetweenSubnormals(odd);
        ASSERT_EQ(halfway[halfway.size() - 6], '5') << halfway;  // an exact half ends in a 5
        std::string below = halfway;
        below[below.size() - 6] = '4';
        const std::string above = halfway.substr(0, halfway.size() - 5) + "0001e-154";
        const std::uint32_t low = (odd - 1) / 2;
        const std::uint32_t even = low % 2 == 0 ? low : low + 1;
        EXPECT_EQ(std::bit_cast<std::uint32_t>(readOrNan(halfway)), even) << halfway;
        EXPECT_EQ(std::bit_cast<std::uint32_t>(readOrNan(below)), low) << below;
        EXPECT_EQ(std::bit_cast<std::uint32_t>(readOrNan(above)), low + 1) << above;
    }
}

TEST(DecimalReader, UnderflowReadsAsZeroOrSubnormalAndOverflowAsInfinity) {
    constexpr float tiny = std::numeric_limits<float>::denorm_min();
    EXPECT_EQ(readOrNan("1e-40"), 1e-40f);
    EXPECT_EQ(readOrNan("1e-45"), tiny);
    EXPECT_EQ(readOrNan("1e-46"), 0.0f);
    EXPECT_TRUE(std::signbit(readOrNan("-1e-46")));
    EXPECT_EQ(readOrNan("-1e-99999"), 0.0f);
    EXPECT_EQ(readOrNan("0e99999"), 0.0f);
    EXPECT_EQ(readOrNan("3.4028235e38"), std::numeric_limits<float>::max());
    EXPECT_EQ(readOrNan("3.4028236e38"), std::numeric_limits<float>::infinity());
    EXPECT_EQ(readOrNan("-1e99999"), -std::numeric_limits<float>::infinity());
    for (const char* bad : {"", "-", ".", "1e", "1e+", "+1", "inf", "nan", "0x1p-3", " 1", "1 ", "1..2", "1e5.5"}) {
        EXPECT_TRUE(std::isnan(readOrNan(bad))) << "'" << bad << "'";
    }
    // The options and the script's set lines read through it, and refuse
    // only the infinities.
    ChainDescription chain;
    std::string error;
    EXPECT_TRUE(setChainParameter("gravity", "1e-46", chain, error)) << error;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(chain.gravity), 0u);
    EXPECT_TRUE(setChainParameter("initial-angle", "-8e-46", chain, error)) << error;
    EXPECT_EQ(chain.initialAngle, -tiny);
    EXPECT_FALSE(setChainParameter("stiffness", "4e38", chain, error));
    EXPECT_EQ(error, "stiffness: '4e38' is not a finite number >= 0");
}

// Distance in units in the last place between two doubles of the same sign.
std::int64_t ulpsApart(double a, double b) {
    const auto ia = std::bit_cast<std::int64_t>(a);
    const auto ib = std::bit_cast<std::int64_t>(b);
    return ia > ib ? ia - ib : ib - ia;
}

TEST(PortableSinCos, WithinTwoUlpsOfTheLibraryOverTheChainsAngles) {
    // Angles as the chain's absolute angles take them, from rest to long
    // spins, plus the quarter-turn boundaries where the reduction switches.
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> near(-8.0, 8.0);
    std::uniform_real_distribution<double> far(-1e5, 1e5);
    std::vector<double> angles = {0.0, -0.0, 1e-300, -1.5707963267948966, 3.141592653589793, 1e5, -1e6};
    for (int k = -40; k <= 40; ++k) {
        const double boundary = (k + 0.5) * 1.5707963267948966;
        angles.insert(angles.end(), {boundary, std::nextafter(boundary, 1e9), std::nextafter(boundary, -1e9)});
    }
    for (int i = 0; i < 200000; ++i) {
        angles.push_back(near(random));
        angles.push_back(far(random));
    }
    std::int64_t worst = 0;
    for (const double x : angles) {
        const SineCosine got = portableSinCos(x);
        for (const auto& [mine, library] : {std::pair{got.sine, std::sin(x)}, std::pair{got.cosine, std::cos(x)}}) {
            // Near a zero of the function compare absolutely, at the scale of x.
            if (std::fabs(library) < 1e-6) {
                ASSERT_NEAR(mine, library, 1e-16 * std::max(1.0, std::fabs(x))) << x;
            } else {
                worst = std::max(worst, ulpsApart(mine, library));
            }
        }
    }
    EXPECT_LE(worst, 2);
    const SineCosine nan = portableSinCos(std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(nan.sine) && std::isnan(nan.cosine));
}

}  // namespace
