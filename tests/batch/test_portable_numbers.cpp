// The numbers the CSV is made of in every build alike: the shortest text of
// floats and doubles (used where the C++ library has no floating-point
// to_chars) against the library's to_chars, and the portable sine and cosine
// against libquadmath's 113-bit ones.
#include <gtest/gtest.h>
#include <quadmath.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <limits>
#include <algorithm>
#include <utility>
#include <random>
#include <string>
#include <vector>

#include "dynamics/portable_trig.h"
#include "dynamics/sincos.h"
#include "sim/parameters.h"
#include "sim/shortest_text.h"

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


// Error of a double against a 113-bit value, in units in the last place of
// the double nearest that value (the subnormal unit below the normal range).
double ulpsFrom(double got, __float128 exact) {
    int exponent = 0;
    frexpq(exact, &exponent);
    return static_cast<double>(fabsq(static_cast<__float128>(got) - exact) /
                               ldexpq(1, std::max(exponent - 53, -1074)));
}

// m 2^e closest to a multiple of pi/2 in their binades (continued fractions
// of 2^e 2/pi): the twelve with the smallest remainders of all doubles, down
// to 4.7e-19, a dozen binades from 2^-3 to 2^840 with remainders below 2e-16,
// and the closest in [2^19, 1.5 2^20], where the three-part reduction with k
// near 2^20 leaves an error of several units in the remainder's last place.
constexpr std::pair<std::int64_t, int> NEAR_QUARTER_TURNS[] = {
    {6381956970095103, 797}, {3205513981387887, -46}, {6411027962775774, -47}, {6381956970095103, 798},
    {3205513981387887, -45}, {7763785107565477, -29}, {5916243447979695, 79}, {6381956970095103, 799},
    {8444920710073313, 939}, {3205513981387887, -44}, {2925482757170843, 526}, {5850965514341686, 525},
    {6563124118766349, -3}, {6134899525417045, -1}, {1654412418448821, 18}, {5357557309800067, 23},
    {3880755080051297, 102}, {5008363913782526, 287}, {7185596171844964, 298}, {5818608788150167, 302},
    {5102024830784693, 338}, {1627253195782199, 423}, {3875116432855739, 437}, {4414122320758745, 840},
    {5520028710995367, -33}, {5520028710995367, -32}};

// Arguments of every kind, each with its negation: the chain's angles from
// rest to long spins, the quarter-turn boundaries where the reduction
// switches, the doubles nearest k pi/2 below and above the switch to exact
// reduction at 1.5 2^20, the hardest remainders, every power of two and of
// ten, the largest double, and random bit patterns.
std::vector<double> trigonometryArguments() {
    std::vector<double> angles = {0.0, 1e-300, 3.141592653589793, 1e5, 1e6, 1e20, 1e22, 1e38, 1e300,
                                  0x1.8p20, std::nextafter(0x1.8p20, 0.0), std::numeric_limits<double>::max()};
    for (int k = -40; k <= 40; ++k) {
        const double boundary = (k + 0.5) * 1.5707963267948966;
        angles.insert(angles.end(), {boundary, std::nextafter(boundary, 1e9), std::nextafter(boundary, -1e9)});
    }
    for (int k = 1; k < 1 << 21; k += k < 2000 ? 1 : 997) {
        const double nearest = static_cast<double>(k * acosq(0));
        angles.insert(angles.end(), {nearest, std::nextafter(nearest, 0.0), std::nextafter(nearest, 1e9)});
    }
    for (const auto& [m, e] : NEAR_QUARTER_TURNS) {
        angles.push_back(std::ldexp(static_cast<double>(m), e));
    }
    for (int e = -1074; e <= 1023; ++e) {
        angles.push_back(std::ldexp(1.0, e));
    }
    for (double power = 1e-300; power < 1e308; power *= 10) {
        angles.push_back(power);
    }
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> near(0.0, 8.0);
    std::uniform_real_distribution<double> far(0.0, 2e6);
    for (int i = 0; i < 100000; ++i) {
        angles.push_back(near(random));
        angles.push_back(far(random));
        const double fromBits = std::bit_cast<double>(random() >> 1);
        if (std::isfinite(fromBits)) {
            angles.push_back(fromBits);
        }
    }
    const std::size_t positive = angles.size();
    for (std::size_t i = 0; i < positive; ++i) {
        angles.push_back(-angles[i]);
    }
    return angles;
}

// The larger error of sin x and cos x, in units in their last places.
double errorAt(double x) {
    const SineCosine got = portableSinCos(x);
    __float128 sine = 0;
    __float128 cosine = 0;
    sincosq(x, &sine, &cosine);
    return std::max(ulpsFrom(got.sine, sine), ulpsFrom(got.cosine, cosine));
}

TEST(PortableSinCos, WithinTwoAndAHalfUlpsOfA113BitReferenceAtEveryMagnitude) {
    double worst = 0.0;
    for (const double x : trigonometryArguments()) {
        const double error = errorAt(x);
        ASSERT_LE(error, 2.5) << std::hexfloat << x;
        worst = std::max(worst, error);
    }
    std::cout << "largest error: " << worst << " ulps\n";
    // The vectorised blocks give every element portableSinCos's bits, the
    // arguments it serves and those it hands back alike.
    std::vector<double> x = trigonometryArguments();
    x.insert(x.begin() + 100, {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()});
    std::vector<double> s(x.size()), c(x.size());
    sinCosMany(x.data(), s.data(), c.data(), static_cast<int>(x.size()));
    for (std::size_t i = 0; i < x.size(); ++i) {
        const SineCosine one = portableSinCos(x[i]);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(s[i]), std::bit_cast<std::uint64_t>(one.sine)) << std::hexfloat << x[i];
        ASSERT_EQ(std::bit_cast<std::uint64_t>(c[i]), std::bit_cast<std::uint64_t>(one.cosine)) << std::hexfloat << x[i];
    }
    for (const double nonFinite : {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                                   std::numeric_limits<double>::quiet_NaN()}) {
        const SineCosine nan = portableSinCos(nonFinite);
        EXPECT_TRUE(std::isnan(nan.sine) && std::isnan(nan.cosine)) << nonFinite;
    }
}

// Next to a quarter turn one of sin x and cos x is the remainder r itself and
// the other 1 to within r^2/2: both come out as r and 1 correctly rounded
// (the last bits of r hold after subtracting some 2^60 times pi/2).
TEST(PortableSinCos, CorrectlyRoundedNextToQuarterTurns) {
    for (const auto& [m, e] : NEAR_QUARTER_TURNS) {
        const double x = std::ldexp(static_cast<double>(m), e);
        EXPECT_LE(errorAt(x), 0.51) << std::hexfloat << x;
        EXPECT_LE(errorAt(-x), 0.51) << std::hexfloat << -x;
    }
}

}  // namespace
