// The ensembles' members against chains run alone and against their books
// written out here: the perturbation generator, the sweep's ends, a lane that
// leaves the finite numbers, and Benettin's sums of the Lyapunov shadows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "sim/chain.h"
#include "sim/ensemble.h"

namespace {

// SplitMix64's step as its authors give it: add the golden-ratio increment,
// then xor-shift 30, 27, 31 with the two multipliers between.
std::uint64_t splitMix(std::uint64_t z) {
    z += 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// u = (z >> 11) 2^-52 - 1, z = mix(mix(mix(seed) ^ k) ^ j).
double unitOf(std::uint64_t seed, std::uint64_t member, std::uint64_t joint) {
    const std::uint64_t z = splitMix(splitMix(splitMix(seed) ^ member) ^ joint);
    return std::ldexp(static_cast<double>(z >> 11), -52) - 1.0;
}

TEST(Perturbation, UnitIsTheCounterBasedGeneratorInMinusOneToOne) {
    // SplitMix64 from 0: its first output, a published value.
    EXPECT_EQ(splitMix(0), 0xe220a8397b1dcdafULL);
    struct Case {
        std::uint64_t seed;
        std::int64_t member;
        std::int32_t joint;
    };
    for (const Case c : {Case{1, 1, 1}, Case{1, 1, 20}, Case{1, 2, 1}, Case{2, 1, 1}, Case{0, 999999, 7},
                         Case{0xffffffffffffffffULL, 3, 100000}}) {
        EXPECT_EQ(perturbationUnit(c.seed, c.member, c.joint),
                  unitOf(c.seed, static_cast<std::uint64_t>(c.member), static_cast<std::uint64_t>(c.joint)))
            << "seed " << c.seed << ", member " << c.member << ", joint " << c.joint;
    }
    double lowest = 1.0;
    double highest = -1.0;
    for (std::int64_t k = 1; k <= 2000; ++k) {
        for (std::int32_t j = 1; j <= 20; ++j) {
            const double u = perturbationUnit(1, k, j);
            ASSERT_TRUE(u >= -1.0 && u < 1.0) << u;
            // 53 bits: u + 1 is a whole multiple of 2^-52.
            ASSERT_EQ(std::ldexp(u + 1.0, 52), std::floor(std::ldexp(u + 1.0, 52)));
            lowest = std::min(lowest, u);
            highest = std::max(highest, u);
        }
    }
    // 40000 draws fill the interval to within 1e-3 of both ends.
    EXPECT_LT(lowest, -0.999);
    EXPECT_GT(highest, 0.999);
}

// Each member's start: joint j moved by EPS u(seed, k, j) in double and
// rounded once, member 0 not at all.
TEST(Perturbation, MembersStartMovedByTheirOwnUnits) {
    EnsembleSetUp setUp;
    setUp.members = 6;
    setUp.perturbation = 1e-3;
    setUp.seed = 9;
    ChainDescription description;
    description.links = 5;
    MemberGroup<FloatLanes> group(setUp, 0, 5);
    group.take({1, description, {}, false, true});
    for (int lane = 0; lane < 6; ++lane) {
        const StateArray<float> state = group.state(lane);
        for (int j = 1; j <= 5; ++j) {
            const double resting = j == 1 ? description.initialAngle : 0.0;
            const double moved = lane == 0 ? resting : resting + 1e-3 * unitOf(9, static_cast<std::uint64_t>(lane), j);
            EXPECT_EQ(state[5 + j - 1], static_cast<float>(moved)) << "member " << lane << ", joint " << j;
        }
    }
}

// The ends of a sweep are FROM and TO as given, whatever the rounding of
// FROM + (TO - FROM) would give, and the members' chains hold them rounded
// once to their precision.
TEST(Sweep, FirstMemberTakesFromAndLastTakesTo) {
    struct Case {
        double from, to;
        std::int64_t members;
    };
    // The first three miss TO by an ulp through FROM + (TO - FROM).
    for (const Case c : {Case{0.3, -1.3, 7}, Case{0.2, 0.1, 7}, Case{0.3, -0.5707963, 100}, Case{0, 40, 41},
                         Case{9.81, 3, 19}, Case{1e-300, 1e300, 1000000}, Case{5, 5, 3}}) {
        const Sweep sweep{SweptParameter::Damping, c.from, c.to};
        EXPECT_EQ(sweptValue(sweep, 0, c.members), c.from) << c.from << ":" << c.to << " over " << c.members;
        EXPECT_EQ(sweptValue(sweep, c.members - 1, c.members), c.to) << c.from << ":" << c.to << " over " << c.members;
    }
    EXPECT_EQ(sweptValue({SweptParameter::Gravity, 0.3, -1.3}, 0, 1), 0.3);

    EnsembleSetUp setUp;
    setUp.members = 7;
    setUp.sweeps = {{SweptParameter::Stiffness, 0.3, -1.3}, {SweptParameter::Gravity, 0.2, 0.1}};
    MemberGroup<DoubleLanes> last(setUp, 4, 6);
    last.take({1, ChainDescription{}, {}, false, true});
    EXPECT_EQ(last.parameter(2, SweptParameter::Stiffness), -1.3);
    EXPECT_EQ(last.parameter(2, SweptParameter::Gravity), 0.1);
    MemberGroup<FloatLanes> first(setUp, 0, 6);
    first.take({1, ChainDescription{}, {}, false, true});
    EXPECT_EQ(first.parameter(0, SweptParameter::Stiffness), 0.3f);
    EXPECT_EQ(first.parameter(6, SweptParameter::Gravity), 0.1f);
}

template <class Real>
bool sameBits(const StateArray<Real>& a, const StateArray<Real>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), sizeof(Real) * a.size()) == 0;
}

// Three links released level under their weight. The damping moment reads
// the joint rates that each slope array kept from the step before, so a
// damping large against the links' inertia over h overshoots and the rates
// grow from step to step: with the damping swept from 0 to 300 over four
// members, the last one (300) leaves the finite numbers within some 30 steps,
// again and again, while the third (200) swings and settles (for three links
// the edge lies between 257 and 265). Each time the last goes back to its
// start alone: every lane is, resets and state bit for bit, its chain stepped
// alone. (Lanes past the last member repeat it.)
template <class Group>
void expectOnlyTheOverdampedLaneResets() {
    using Scalar = typename LaneTraits<Group>::Scalar;
    constexpr int members = 4;
    EnsembleSetUp setUp;
    setUp.members = members;
    setUp.sweeps = {{SweptParameter::Damping, 0.0, 300.0}};
    ChainDescription description;
    description.links = 3;
    description.initialAngle = 0.0f;
    const int steps = 2000;
    for (std::int64_t first = 0; first < members; first += Group::width) {
        MemberGroup<Group> group(setUp, first, std::min<std::int64_t>(first + Group::width, members) - 1);
        group.take({1, description, {}, false, true});
        for (int step = 0; step < steps; ++step) {
            group.step();
        }
        for (int lane = 0; lane < Group::width; ++lane) {
            ChainParameters<Scalar> parameters{3};
            parameters.damping = static_cast<Scalar>(sweptValue(setUp.sweeps[0], group.member(lane), members));
            parameters.initialAngle = 0;
            Chain<Scalar> alone(parameters);
            for (int step = 0; step < steps; ++step) {
                alone.step();
            }
            const bool overdamped = group.member(lane) == members - 1;
            EXPECT_EQ(alone.resetCount > 10, overdamped) << "member " << group.member(lane);
            EXPECT_EQ(group.resets(lane), alone.resetCount) << "member " << group.member(lane);
            EXPECT_TRUE(sameBits(group.state(lane), alone.state)) << "member " << group.member(lane);
        }
    }
}

TEST(MemberGroups, ALaneThatLeavesTheFiniteNumbersGoesBackToItsStartAlone) {
    expectOnlyTheOverdampedLaneResets<FloatLanes>();
    expectOnlyTheOverdampedLaneResets<DoubleLanes>();
    if (machineHasAvx2()) {
        expectOnlyTheOverdampedLaneResets<FloatLanesAvx2>();
        expectOnlyTheOverdampedLaneResets<DoubleLanesAvx2>();
    }
}


// Benettin's books: each clean interval adds ln(d / D0) and is drawn back by
// D0 / d; an interval with a reset, or a distance that is not a finite
// positive number, adds nothing and starts clean again. The exponent is the
// sum over the time counted, 0.1 s an interval.
TEST(LyapunovTally, CountsCleanIntervalsOfATenthOfASecond) {
    const double d0 = 1e-8;
    LyapunovTally tally;
    EXPECT_TRUE(std::isnan(tally.exponent()));
    EXPECT_EQ(tally.renormalisation(d0 * std::exp(2.0), d0), std::exp(-2.0));
    EXPECT_NEAR(tally.exponent(), 2.0 / 0.1, 1e-12);
    EXPECT_EQ(tally.renormalisation(d0 / 4.0, d0), 4.0);
    tally.clean = false;
    EXPECT_EQ(tally.renormalisation(d0 * 1e6, d0), 0.0);
    EXPECT_TRUE(tally.clean);
    for (const double distance : {0.0, -d0, std::nan(""), HUGE_VAL}) {
        EXPECT_EQ(tally.renormalisation(distance, d0), 0.0) << distance;
    }
    EXPECT_EQ(tally.renormalisation(d0 * 8.0, d0), 0.125);
    EXPECT_EQ(tally.intervals, 3);
    EXPECT_NEAR(tally.logGrowth, 2.0 - std::log(4.0) + std::log(8.0), 1e-14);
    EXPECT_NEAR(tally.exponent(), (2.0 + std::log(2.0)) / 0.3, 1e-12);
}

// A member's exponent against Benettin's sum formed here from two chains: the
// chain released level, lightly damped, and its shadow D0 away along every
// angle alike, each stepped alone, the separation of their angles measured
// every 100 steps and the shadow drawn back along it, state and slopes (the
// slopes' joint rates damp the next step). Measured: the two agree to 1e-16;
// slopes left where they were move the exponent by 2e-4 of it, a shadow
// 101 steps an interval by 8e-2.
TEST(LyapunovTally, MemberExponentIsBenettinsSumOverTwoChains) {
    const double d0 = 1e-8;
    const int n = LINK_COUNT;
    const int intervals = 12;
    EnsembleSetUp setUp;
    setUp.shadowDistance = d0;
    ChainDescription description;
    description.damping = 2.0f;
    description.initialAngle = 0.0f;
    MemberGroup<DoubleLanes> group(setUp, 0, 0);
    group.take({1, description, {}, false, true});

    ChainParameters<double> parameters;
    parameters.damping = 2.0;
    parameters.initialAngle = 0.0;
    Chain<double> member(parameters);
    Chain<double> shadow(parameters);
    for (int i = n; i < 2 * n; ++i) {
        shadow.state[i] += d0 / std::sqrt(static_cast<double>(n));
    }
    double sum = 0.0;
    for (int interval = 0; interval < intervals; ++interval) {
        for (int step = 0; step < 100; ++step) {
            group.step();
            ASSERT_TRUE(member.step());
            ASSERT_TRUE(shadow.step());
        }
        double squared = 0.0;
        for (int i = n; i < 2 * n; ++i) {
            squared += (shadow.state[i] - member.state[i]) * (shadow.state[i] - member.state[i]);
        }
        const double distance = std::sqrt(squared);
        sum += std::log(distance / d0);
        for (auto array : {&Chain<double>::state, &Chain<double>::k1, &Chain<double>::k2, &Chain<double>::k3,
                           &Chain<double>::k4}) {
            for (int i = 0; i < 2 * n; ++i) {
                (shadow.*array)[i] = (member.*array)[i] + ((shadow.*array)[i] - (member.*array)[i]) * (d0 / distance);
            }
        }
    }
    const double expected = sum / (intervals * 0.1);
    std::cout << "[ exponent ] " << expected << " /s, the member's off by "
              << group.lyapunovExponent(0) - expected << std::endl;
    EXPECT_NEAR(group.lyapunovExponent(0), expected, 1e-9 * std::fabs(expected));
    EXPECT_EQ(group.resets(0), 0);
}

}  // namespace
