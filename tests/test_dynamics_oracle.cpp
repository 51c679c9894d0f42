// The single-precision chain (the matrix model's momenta and the unrolled
// state derivative) against an independent double-precision model built from
// the chain's energies (chain_oracle.h), and the double chain against the same
// model in long double, and on long chains against the linear-time banded
// reference in long double (bench/banded_chain.h).
//
// Accuracy model. The mass matrix M(q) of the chain is poorly conditioned: over
// angles in [-pi, pi], cond(M) runs from about 1e3 through a median near 2e4 to
// 1e5 and beyond (the straight chain has 7e5). A float evaluation of
// M^-1 p is exact for data perturbed by a few units of u = 2^-24, so its
// relative error is of order cond(M) u; in practice it is about 0.1 cond(M) u.
// The float-versus-double tolerances of the derivative are therefore multiples
// of cond(M) u, with cond(M) computed from the reference model's M; a fixed
// bound would be either loose for well-conditioned poses or fail for the worst.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench/banded_chain.h"
#include "chain_oracle.h"
#include "dynamics/chain_dynamics.h"
#include "sim/application.h"
#include "sim/chain.h"
#include "model/chain_model.h"

namespace {

namespace oracle = chain_oracle;
using oracle::N;
using oracle::Vec;

static_assert(LINK_COUNT == N, "the reference model describes a 20-link chain");

constexpr double PI = 3.14159265358979323846;
constexpr double UNIT_ROUNDOFF = 1.0 / 16777216.0;  // 2^-24

// Both model set-ups run once, before any test.
class ChainModelEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        setupUnrolledModel();
        setupMatrixModel();
    }
};

[[maybe_unused]] ::testing::Environment* const chainEnvironment =
    ::testing::AddGlobalTestEnvironment(new ChainModelEnvironment);

// Uniform in [a, b), from the raw 32-bit output of the generator, so that the
// sequence does not depend on the standard library's distributions.
double uniform(std::mt19937& generator, double a, double b) {
    return a + (b - a) * (static_cast<double>(generator()) / 4294967296.0);
}

float uniformFloat(std::mt19937& generator, double a, double b) {
    return static_cast<float>(uniform(generator, a, b));
}

Vec toDouble(const float* values) {
    Vec v{};
    for (int i = 0; i < N; ++i) {
        v[i] = static_cast<double>(values[i]);
    }
    return v;
}

std::string formatted(double value) {
    std::ostringstream out;
    out.precision(3);
    out << std::scientific << value;
    return out.str();
}

void report(const char* name, double value) {
    std::cout << "[ worst    ] " << name << " = " << formatted(value) << std::endl;
    ::testing::Test::RecordProperty(name, formatted(value));
}

// A random pose and matching single-precision inputs.
struct RandomState {
    float angles[LINK_COUNT];
    float rates[LINK_COUNT];
};

RandomState randomPose(std::mt19937& generator, double maxRate) {
    RandomState s{};
    for (int i = 0; i < LINK_COUNT; ++i) {
        s.angles[i] = uniformFloat(generator, -PI, PI);
    }
    for (int i = 0; i < LINK_COUNT; ++i) {
        s.rates[i] = uniformFloat(generator, -maxRate, maxRate);
    }
    return s;
}

// --- The reference model itself ---------------------------------------------

// With every angle zero the chain is a straight rod along x. Turning joint 20
// alone moves only link 20, whose momentum about joint i is J + m (L/2)(20 - i)
// (its centre lies 20 - i + 1/2 from joint i and moves at 1/2); turning joint 1
// alone spins the whole rod of 20 links about its end: 20^3/3 = 8000/3.
TEST(ChainOracle, MassMatrixOfTheStraightChainHasItsClosedForms) {
    const Vec zero{};
    const oracle::Mat m = oracle::massMatrix(zero);
    for (int i = 1; i <= N; ++i) {
        EXPECT_NEAR(m[i - 1][N - 1], 1.0 / 3.0 + (20 - i) / 2.0, 1e-12) << "i = " << i;
        for (int j = 1; j <= N; ++j) {
            EXPECT_EQ(m[i - 1][j - 1], m[j - 1][i - 1]);
        }
    }
    EXPECT_NEAR(m[0][0], 8000.0 / 3.0, 1e-9);
    // Rows of a rigid rod turned about joint 1: p_i = moment of links i..20
    // about joint i for a rigid rotation about joint 1.
    Vec spin{};
    spin[0] = 1.0;
    const Vec p = oracle::multiply(m, spin);
    for (int i = 1; i <= N; ++i) {
        // sum over links k = i..20 of m (k - 1/2)(k - i + 1/2) + Ic
        double expected = 0.0;
        for (int k = i; k <= N; ++k) {
            expected += (k - 0.5) * (k - i + 0.5) + 1.0 / 12.0;
        }
        EXPECT_NEAR(p[i - 1], expected, 1e-9) << "i = " << i;
    }
}

// The straight chain at rest: the weight of links i..20 (21 - i links whose
// centres lie 1/2, 3/2, ... from joint i) gives dV/dq_i = g (21 - i)^2 / 2.
// The chain pointing straight up (q_1 = pi/2) has no gravity moment at all.
TEST(ChainOracle, GravityGradientOfStraightChains) {
    const Vec rest{};
    const Vec horizontal = oracle::hamiltonianGradient(rest, Vec{});
    const Vec explicitHorizontal = oracle::hamiltonianGradientFromRates(rest, Vec{});
    Vec upright{};
    upright[0] = PI / 2;
    const Vec vertical = oracle::hamiltonianGradient(rest, upright);
    for (int i = 1; i <= N; ++i) {
        const double expected = 9.81 * (21 - i) * (21 - i) / 2.0;
        EXPECT_NEAR(horizontal[i - 1], expected, 1e-6 * expected) << "i = " << i;
        EXPECT_NEAR(explicitHorizontal[i - 1], expected, 1e-9 * expected) << "i = " << i;
        EXPECT_NEAR(vertical[i - 1], 0.0, 1e-6) << "i = " << i;
    }
}

// The central differences of H agree with the explicit derivative of the
// energies at fixed joint rates, and the spring's generalized force with minus
// the differenced spring energy: the differencing step is sound and the two
// derivations of the reference model confirm each other. The differences are
// good to about 1e-8 (see DIFFERENCE_STEP); the bound is ten times that.
constexpr double ORACLE_GRADIENT_TOLERANCE = 1e-7;

TEST(ChainOracle, DifferencedGradientsAgreeWithExplicitOnes) {
    std::mt19937 generator(20240611u);
    double worstGradient = 0.0;
    double worstSpring = 0.0;
    for (int n = 0; n < 60; ++n) {
        const RandomState s = randomPose(generator, 3.0);
        const Vec q = toDouble(s.angles);
        Vec p = oracle::multiply(oracle::massMatrix(q), toDouble(s.rates));
        if (n % 2 == 1) {
            for (double& value : p) {
                value = uniform(generator, -200.0, 200.0);
            }
        }
        const Vec differenced = oracle::hamiltonianGradient(p, q);
        const Vec explicitGradient = oracle::hamiltonianGradientFromRates(p, q);
        const double gradientError = oracle::distance(differenced, explicitGradient) / oracle::norm(explicitGradient);
        worstGradient = std::max(worstGradient, gradientError);
        EXPECT_LT(gradientError, ORACLE_GRADIENT_TOLERANCE) << "state " << n;

        const oracle::Point target{uniform(generator, -49.0, 46.0), uniform(generator, -50.0, 50.0)};
        const Vec spring = oracle::springForce(q, target);
        Vec energyGradient = oracle::centralGradient(q, [&target](const Vec& angles) {
            return oracle::springEnergy(angles, target);
        });
        for (double& value : energyGradient) {
            value = -value;
        }
        const double springError = oracle::distance(spring, energyGradient) / oracle::norm(spring);
        worstSpring = std::max(worstSpring, springError);
        EXPECT_LT(springError, ORACLE_GRADIENT_TOLERANCE) << "state " << n;
    }
    report("oracleGradientDifferenceError", worstGradient);
    report("oracleSpringDifferenceError", worstSpring);
}

// The eigenvalues of the Jacobi rotations reproduce the trace and the
// Frobenius norm of M and are all positive; the Ritz values that give cond(M)
// find their extremes, also where the Krylov space is smaller than the chain's
// (100 links).
TEST(ChainOracle, EigenvaluesOfTheMassMatrixAreConsistent) {
    std::mt19937 generator(7u);
    for (int n = 0; n < 21; ++n) {
        const int links = n < 20 ? N : 100;
        Vec q(links);
        for (double& angle : q) {
            angle = uniform(generator, -PI, PI);
        }
        const oracle::Mat m = oracle::massMatrix(q);
        const Vec lambda = oracle::symmetricEigenvalues(m);
        double trace = 0.0;
        double frobenius = 0.0;
        for (int i = 0; i < links; ++i) {
            trace += m[i][i];
            for (int j = 0; j < links; ++j) {
                frobenius += m[i][j] * m[i][j];
            }
        }
        double sum = 0.0;
        double squares = 0.0;
        for (double l : lambda) {
            EXPECT_GT(l, 0.0);
            sum += l;
            squares += l * l;
        }
        EXPECT_NEAR(sum, trace, 1e-10 * trace);
        EXPECT_NEAR(squares, frobenius, 1e-10 * frobenius);
        const oracle::Point extremes = oracle::massMatrixExtremeEigenvalues(q);
        const auto [smallest, largest] = std::minmax_element(lambda.begin(), lambda.end());
        EXPECT_NEAR(extremes.x, *smallest, 1e-9 * *smallest) << links << " links";
        EXPECT_NEAR(extremes.y, *largest, 1e-9 * *largest) << links << " links";
    }
}

// --- The float chain against the reference model -------------------------------

// computeMomenta is a product, not a solve: p = M(q) qdot formed by two
// recursions of 6x6 float products, about a dozen roundings per link and
// twenty links deep. Its normwise error is of order 1e-6 of |p|; the
// tolerance leaves a margin of ten.
constexpr double MOMENTUM_TOLERANCE = 1e-5;

// The matrix model's state for a pose's angles and joint rates.
Matrix momentaOfPose(const RandomState& s) {
    Matrix q(LINK_COUNT, 1);
    Matrix qdot(LINK_COUNT, 1);
    for (int i = 0; i < LINK_COUNT; ++i) {
        q(i + 1, 1) = s.angles[i];
        qdot(i + 1, 1) = s.rates[i];
    }
    return computeMomenta(q, qdot);
}

TEST(DynamicsAgainstOracle, MomentaEqualMassMatrixTimesJointRates) {
    std::mt19937 generator(1u);
    double worst = 0.0;
    for (int n = 0; n < 200; ++n) {
        const RandomState s = randomPose(generator, 3.0);
        const Matrix state = momentaOfPose(s);
        ASSERT_EQ(state.rows(), STATE_SIZE);
        ASSERT_EQ(state.cols(), 1);
        Vec p{};
        for (int i = 0; i < LINK_COUNT; ++i) {
            p[i] = state(i + 1, 1);
            EXPECT_EQ(state(LINK_COUNT + i + 1, 1), s.angles[i]) << "state " << n << ", angle " << i + 1;
        }
        const Vec expected = oracle::multiply(oracle::massMatrix(toDouble(s.angles)), toDouble(s.rates));
        const double error = oracle::distance(p, expected) / oracle::norm(expected);
        worst = std::max(worst, error);
        EXPECT_LT(error, MOMENTUM_TOLERANCE) << "state " << n;
    }
    report("momentumRelativeError", worst);
}

// Tolerances of the state derivative, in units of cond(M) u, both errors
// measured normwise relative to the reference value. Over these 400 states the
// float recursion reaches 0.09 cond(M) u for dq/dt (up to 2e-4 in absolute
// terms) and 0.01 cond(M) u for dp/dt (up to 2e-5): the momentum rates are
// dominated by the loads and by velocity products that are well conditioned.
// Each bound is about ten times the worst observed constant; at the worst
// conditioning they are 7e-3 and 7e-4. That is still tight enough to notice a
// damping sum that starts one joint late, a spring lever of two links, or
// gravity, stiffness or damping off by a fraction of a percent.
constexpr double JOINT_RATE_TOLERANCE_PER_CONDITION = 1.0;
constexpr double MOMENTUM_RATE_TOLERANCE_PER_CONDITION = 0.1;

struct DerivativeCase {
    float x[STATE_SIZE];
    float dampingRates[LINK_COUNT];
    float target[2];
    bool springOn;
};

// Angles in [-pi, pi]; momenta either those of joint rates in [-3, 3] rad/s
// (p = M(q) qdot, up to a few thousand at the base) or uniform in [-200, 200]
// (which can mean fast whipping of the tip); damping rates in [-3, 3]; targets
// anywhere in the window's range.
DerivativeCase randomDerivativeCase(std::mt19937& generator, int n) {
    DerivativeCase c{};
    const RandomState s = randomPose(generator, 3.0);
    const Vec q = toDouble(s.angles);
    if (n % 2 == 0) {
        const Vec p = oracle::multiply(oracle::massMatrix(q), toDouble(s.rates));
        for (int i = 0; i < LINK_COUNT; ++i) {
            c.x[i] = static_cast<float>(p[i]);
        }
    } else {
        for (int i = 0; i < LINK_COUNT; ++i) {
            c.x[i] = uniformFloat(generator, -200.0, 200.0);
        }
    }
    for (int i = 0; i < LINK_COUNT; ++i) {
        c.x[LINK_COUNT + i] = s.angles[i];
        c.dampingRates[i] = uniformFloat(generator, -3.0, 3.0);
    }
    c.target[0] = uniformFloat(generator, -49.0, 46.0);
    c.target[1] = uniformFloat(generator, -50.0, 50.0);
    c.springOn = (n / 2) % 2 == 0;
    return c;
}

// The joint-rate half of the derivative array carries the damping rates in;
// the momentum-rate half is output only, so it is filled with a huge value
// that would show in the result if it were read.
void evaluate(const DerivativeCase& c, bool springOn, float xdot[STATE_SIZE]) {
    for (int i = 0; i < STATE_SIZE; ++i) {
        xdot[i] = i < LINK_COUNT ? 1e30f : c.dampingRates[i - LINK_COUNT];
    }
    computeStateDerivative(c.x, xdot, c.target, springOn ? 1 : 0);
}

TEST(DynamicsAgainstOracle, StateDerivativeFollowsHamiltonsEquations) {
    std::mt19937 generator(2u);
    double worstJointRate = 0.0;
    double worstMomentumRate = 0.0;
    double worstJointRatePerCondition = 0.0;
    double worstMomentumRatePerCondition = 0.0;
    double largestCondition = 0.0;
    for (int n = 0; n < 400; ++n) {
        const DerivativeCase c = randomDerivativeCase(generator, n);
        float xdot[STATE_SIZE];
        evaluate(c, c.springOn, xdot);

        const Vec p = toDouble(c.x);
        const Vec q = toDouble(c.x + LINK_COUNT);
        const oracle::Derivative expected = oracle::stateDerivative(
            p, q, toDouble(c.dampingRates), {c.target[0], c.target[1]}, c.springOn);
        const double condition = oracle::massMatrixCondition(q);
        largestCondition = std::max(largestCondition, condition);
        const double scale = condition * UNIT_ROUNDOFF;

        const double jointRateError =
            oracle::distance(toDouble(xdot + LINK_COUNT), expected.jointRate) / oracle::norm(expected.jointRate);
        const double momentumRateError =
            oracle::distance(toDouble(xdot), expected.momentumRate) / oracle::norm(expected.momentumRate);
        worstJointRate = std::max(worstJointRate, jointRateError);
        worstMomentumRate = std::max(worstMomentumRate, momentumRateError);
        worstJointRatePerCondition = std::max(worstJointRatePerCondition, jointRateError / scale);
        worstMomentumRatePerCondition = std::max(worstMomentumRatePerCondition, momentumRateError / scale);
        EXPECT_LT(jointRateError, JOINT_RATE_TOLERANCE_PER_CONDITION * scale)
            << "state " << n << ", cond(M) = " << condition;
        EXPECT_LT(momentumRateError, MOMENTUM_RATE_TOLERANCE_PER_CONDITION * scale)
            << "state " << n << ", cond(M) = " << condition << ", spring " << (c.springOn ? "on" : "off");
    }
    report("jointRateRelativeError", worstJointRate);
    report("momentumRateRelativeError", worstMomentumRate);
    report("jointRateErrorPerConditionUnit", worstJointRatePerCondition);
    report("momentumRateErrorPerConditionUnit", worstMomentumRatePerCondition);
    report("largestMassMatrixCondition", largestCondition);
}

// The two float formulations are inverse to each other: the joint rates of
// the state that computeMomenta builds give back the joint velocities. The
// momenta carry an error of 1e-7 to 1e-6 of |p|, in no particular direction,
// and the solve M^-1 turns an error delta p into M^-1 delta p: relative to
// qdot at most cond(M) |delta p| / |p|, in practice (generic directions, and
// most of |p| along the stiff directions) about 1e-8 cond(M) for these 200
// poses. The bound, 1e-7 cond(M), keeps a margin of ten; the derivative's own
// error, 0.1 cond(M) u = 6e-9 cond(M), fits in it as well.
constexpr double INVERSE_TOLERANCE_PER_CONDITION = 1e-7;
TEST(DynamicsAgainstOracle, JointRatesInvertMomenta) {
    std::mt19937 generator(3u);
    double worst = 0.0;
    double worstPerCondition = 0.0;
    for (int n = 0; n < 200; ++n) {
        const RandomState s = randomPose(generator, 3.0);
        const Matrix column = momentaOfPose(s);
        float x[STATE_SIZE];
        for (int i = 0; i < STATE_SIZE; ++i) {
            x[i] = column(i + 1, 1);
        }
        float xdot[STATE_SIZE] = {};
        const float target[2] = {0.0f, 0.0f};
        computeStateDerivative(x, xdot, target, 0);

        const double condition = oracle::massMatrixCondition(toDouble(s.angles));
        const Vec velocities = toDouble(s.rates);
        const double error = oracle::distance(toDouble(xdot + LINK_COUNT), velocities) / oracle::norm(velocities);
        worst = std::max(worst, error);
        worstPerCondition = std::max(worstPerCondition, error / condition);
        EXPECT_LT(error, INVERSE_TOLERANCE_PER_CONDITION * condition) << "state " << n << ", cond(M) = " << condition;
    }
    report("inverseRelativeError", worst);
    report("inverseErrorPerCondition", worstPerCondition);
}

// The tip spring's generalized force, isolated as dp/dt with the spring on
// minus dp/dt with it off (same state, same damping rates), is minus the
// gradient of the spring energy (200/4) |t - 2 r_tip|^2 taken by central
// differences. This pins the doubled scale of the virtual chain, the stiffness
// and the one-link lever at the tip. The velocity products of dp/dt are the
// same in both calls; what remains is the rounding of the loads carried from
// the tip to each joint, about 20 roundings of terms no larger than |F| times
// the chain's length, and of the final subtraction of the velocity products,
// u |dp_i/dt| per component. The bound allows 1e-5 of |S| plus 1e-6 (about
// 17 u) of the two momentum rates' norms; the spring-free part of dp/dt can
// be far larger than S in fast states.
TEST(DynamicsAgainstOracle, SpringForceIsTheGradientOfTheSpringEnergy) {
    std::mt19937 generator(4u);
    double worst = 0.0;
    double worstShare = 0.0;
    for (int n = 0; n < 200; ++n) {
        const DerivativeCase c = randomDerivativeCase(generator, n);
        float withSpring[STATE_SIZE];
        float withoutSpring[STATE_SIZE];
        evaluate(c, true, withSpring);
        evaluate(c, false, withoutSpring);
        Vec measured{};
        for (int i = 0; i < LINK_COUNT; ++i) {
            measured[i] = static_cast<double>(withSpring[i]) - static_cast<double>(withoutSpring[i]);
        }
        const oracle::Point target{c.target[0], c.target[1]};
        Vec expected = oracle::centralGradient(toDouble(c.x + LINK_COUNT), [&target](const Vec& angles) {
            return oracle::springEnergy(angles, target);
        });
        for (double& value : expected) {
            value = -value;
        }
        const double error = oracle::distance(measured, expected);
        const double allowed =
            1e-5 * oracle::norm(expected) + 1e-6 * (oracle::norm(toDouble(withSpring)) + oracle::norm(toDouble(withoutSpring)));
        worst = std::max(worst, error / oracle::norm(expected));
        worstShare = std::max(worstShare, error / allowed);
        EXPECT_LT(error, allowed) << "state " << n;
    }
    report("springRelativeError", worst);
    report("springErrorShareOfBound", worstShare);
}

// --- Chains of other lengths --------------------------------------------------

// The same recursion set up for N links, against the reference model of N
// links: momenta from the matrix model, and the whole state derivative (damping
// rates, and the spring for every other state) at random states. For the
// longer chains dH/dq is the reference's explicit gradient, which the
// differenced one confirms above. Tolerances as for 20 links, in units of
// cond(M) u, with cond(M) taken as at least 1000: short chains are well
// conditioned (cond(M) is 1 for one link), and there the rounding of the
// loads, a few u of each component, is what remains. Long chains are so poorly
// conditioned (cond(M) near 3e7 at 200 links) that cond(M) u approaches 1,
// while the errors grow far more slowly (1.4e-2 for dq/dt, 2e-4 for dp/dt at
// 200 links): there the bounds are capped at 5e-2 and 1e-3, which a wrong load
// or lever would still break.
class OtherLengths : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        chain.links = GetParam();
        setupUnrolledModel();
        setupMatrixModel(GetParam());
    }
    void TearDown() override {
        chain = ChainDescription{};
        setupUnrolledModel();
        setupMatrixModel();
    }
};

TEST_P(OtherLengths, MomentaAndStateDerivativeFollowTheReference) {
    const int n = GetParam();
    const int states = n <= 7 ? 60 : n <= 50 ? 12 : 3;
    std::mt19937 generator(static_cast<unsigned>(n));
    double worstMomentum = 0.0;
    double worstRatePerCondition = 0.0;
    double worstMomentumRatePerCondition = 0.0;
    double largestCondition = 0.0;
    for (int s = 0; s < states; ++s) {
        Matrix q(n, 1);
        Matrix qdot(n, 1);
        Vec angles(n);
        Vec velocities(n);
        Vec dampingRates(n);
        std::vector<float> xdot(2 * static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) {
            q(i + 1, 1) = uniformFloat(generator, -PI, PI);
            qdot(i + 1, 1) = uniformFloat(generator, -3.0, 3.0);
            angles[i] = q(i + 1, 1);
            velocities[i] = qdot(i + 1, 1);
            xdot[n + i] = uniformFloat(generator, -3.0, 3.0);
            dampingRates[i] = xdot[n + i];
        }
        const Matrix column = computeMomenta(q, qdot);
        ASSERT_EQ(column.rows(), 2 * n);
        std::vector<float> x(2 * static_cast<std::size_t>(n));
        Vec p(n);
        for (int i = 0; i < 2 * n; ++i) {
            x[i] = column(i + 1, 1);
        }
        for (int i = 0; i < n; ++i) {
            p[i] = x[i];
            EXPECT_EQ(x[n + i], q(i + 1, 1));
        }
        const Vec expectedMomenta = oracle::multiply(oracle::massMatrix(angles), velocities);
        const double momentumError = oracle::distance(p, expectedMomenta) / oracle::norm(expectedMomenta);
        worstMomentum = std::max(worstMomentum, momentumError);
        EXPECT_LT(momentumError, MOMENTUM_TOLERANCE) << "N = " << n << ", state " << s;

        const bool springOn = s % 2 == 0;
        const float target[2] = {uniformFloat(generator, -49.0, 46.0), uniformFloat(generator, -50.0, 50.0)};
        computeStateDerivative(x.data(), xdot.data(), target, springOn ? 1 : 0);
        const oracle::Derivative expected =
            oracle::stateDerivative(p, angles, dampingRates, {target[0], target[1]}, springOn, n > 20);
        const double condition = oracle::massMatrixCondition(angles);
        largestCondition = std::max(largestCondition, condition);
        const double scale = std::max(condition, 1000.0) * UNIT_ROUNDOFF;
        Vec rates(n);
        Vec momentumRates(n);
        for (int i = 0; i < n; ++i) {
            momentumRates[i] = xdot[i];
            rates[i] = xdot[n + i];
        }
        const double rateError = oracle::distance(rates, expected.jointRate) / oracle::norm(expected.jointRate);
        const double momentumRateError =
            oracle::distance(momentumRates, expected.momentumRate) / oracle::norm(expected.momentumRate);
        worstRatePerCondition = std::max(worstRatePerCondition, rateError / scale);
        worstMomentumRatePerCondition = std::max(worstMomentumRatePerCondition, momentumRateError / scale);
        EXPECT_LT(rateError, std::min(JOINT_RATE_TOLERANCE_PER_CONDITION * scale, 5e-2))
            << "N = " << n << ", state " << s;
        EXPECT_LT(momentumRateError, std::min(MOMENTUM_RATE_TOLERANCE_PER_CONDITION * scale, 1e-3))
            << "N = " << n << ", state " << s;
    }
    report("momentumRelativeError", worstMomentum);
    report("jointRateErrorPerConditionUnit", worstRatePerCondition);
    report("momentumRateErrorPerConditionUnit", worstMomentumRatePerCondition);
    report("largestMassMatrixCondition", largestCondition);
}

INSTANTIATE_TEST_SUITE_P(Links, OtherLengths, ::testing::Values(1, 2, 3, 7, 50, 200));

// The double recursion on long chains, gravity only (no damping rates, no
// spring), against the banded reference in long double: normwise relative
// error of dq/dt and of dp/dt on every state. Measured median: 1.2e-9 at
// 10000 links; the bound is what the double chain promises. (Up to 1000 links
// the dense reference above checks it.)
struct LongChain {
    int links;
    double tolerance;
};

class LongDoubleChains : public ::testing::TestWithParam<LongChain> {};

double relativeError(const std::vector<double>& values, const std::vector<long double>& reference, int offset, int n) {
    long double difference = 0.0L;
    long double size = 0.0L;
    for (int i = offset; i < offset + n; ++i) {
        difference += (values[i] - reference[i]) * (values[i] - reference[i]);
        size += reference[i] * reference[i];
    }
    return static_cast<double>(std::sqrt(difference / size));
}

TEST_P(LongDoubleChains, DerivativeFollowsTheLongDoubleReference) {
    const auto [n, tolerance] = GetParam();
    std::mt19937 generator(static_cast<unsigned>(n));
    ChainRecursion<double> recursion;
    recursion.setup(n);
    for (int s = 0; s < 3; ++s) {
        std::vector<long double> q(static_cast<std::size_t>(n));
        std::vector<long double> qdot(q.size());
        for (int i = 0; i < n; ++i) {
            q[i] = uniformFloat(generator, -PI, PI);
            qdot[i] = uniformFloat(generator, -3.0, 3.0);
        }
        std::vector<double> x(q.size() * 2);
        const std::vector<long double> p = jointMomenta(q, qdot);
        std::copy(p.begin(), p.end(), x.begin());
        std::copy(q.begin(), q.end(), x.begin() + n);
        const std::vector<long double> expected = bandedStateDerivative(std::vector<long double>(x.begin(), x.end()));
        std::vector<double> xdot(x.size(), 0.0);
        recursion.derivative(x.data(), xdot.data(), ChainParameters<double>{}.loads(), SpringInput<double>{});
        EXPECT_LT(relativeError(xdot, expected, n, n), tolerance) << "dq/dt, N = " << n << ", state " << s;
        EXPECT_LT(relativeError(xdot, expected, 0, n), tolerance) << "dp/dt, N = " << n << ", state " << s;
    }
}

INSTANTIATE_TEST_SUITE_P(Links, LongDoubleChains,
                         ::testing::Values(LongChain{10000, 1e-6}),
                         [](const auto& info) { return std::to_string(info.param.links); });

// One link is a compound pendulum: J qdot = p with J = m L^2 / 3 about the
// joint, and dp/dt = -m g (L/2) cos q - b r. Two links are the double pendulum
// of uniform rods: with c = cos q2,
//   M = [[5/3 + c, 1/3 + c/2], [1/3 + c/2, 1/3]] (m = L = 1),
//   dH/dq1 = g (3/2 cos q1 + 1/2 cos(q1 + q2)),
//   dH/dq2 = 1/2 sin q2 (qd1^2 + qd1 qd2) + g/2 cos(q1 + q2),
// and the damping moments -b (r1 + r2), -b r2.
using ShortChains = OtherLengths;
TEST_P(ShortChains, FollowTheirClosedForms) {
    const int n = GetParam();
    const double g = 9.81;
    const double b = 30.0;
    std::mt19937 generator(7u);
    for (int s = 0; s < 50; ++s) {
        float x[4];
        float xdot[4];
        for (int i = 0; i < n; ++i) {
            x[i] = uniformFloat(generator, -20.0, 20.0);
            x[n + i] = uniformFloat(generator, -PI, PI);
            xdot[n + i] = uniformFloat(generator, -3.0, 3.0);
        }
        const double r1 = xdot[n];
        const double r2 = n == 2 ? xdot[n + 1] : 0.0;
        const float target[2] = {0.0f, 0.0f};
        computeStateDerivative(x, xdot, target, 0);
        double expectedRates[2];
        double expectedMomentumRates[2];
        const double q1 = x[n];
        if (n == 1) {
            expectedRates[0] = 3.0 * x[0];
            expectedMomentumRates[0] = -g * 0.5 * std::cos(q1) - b * r1;
        } else {
            const double q2 = x[3];
            const double c = std::cos(q2);
            const double m11 = 5.0 / 3.0 + c;
            const double m12 = 1.0 / 3.0 + 0.5 * c;
            const double m22 = 1.0 / 3.0;
            const double det = m11 * m22 - m12 * m12;
            const double qd1 = (m22 * x[0] - m12 * x[1]) / det;
            const double qd2 = (m11 * x[1] - m12 * x[0]) / det;
            expectedRates[0] = qd1;
            expectedRates[1] = qd2;
            expectedMomentumRates[0] = -g * (1.5 * std::cos(q1) + 0.5 * std::cos(q1 + q2)) - b * (r1 + r2);
            expectedMomentumRates[1] =
                -(0.5 * std::sin(q2) * (qd1 * qd1 + qd1 * qd2) + 0.5 * g * std::cos(q1 + q2)) - b * r2;
        }
        for (int i = 0; i < n; ++i) {
            EXPECT_NEAR(xdot[n + i], expectedRates[i], 1e-5 * (1.0 + std::fabs(expectedRates[i])))
                << "N = " << n << ", state " << s << ", joint " << i + 1;
            EXPECT_NEAR(xdot[i], expectedMomentumRates[i], 2e-5 * (1.0 + std::fabs(expectedMomentumRates[i])))
                << "N = " << n << ", state " << s << ", joint " << i + 1;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Links, ShortChains, ::testing::Values(1, 2));

// --- The double chain -----------------------------------------------------------

// The double chain's state derivative against the reference model evaluated in
// long double (a 64-bit significand): dq/dt and dp/dt at random states of 20
// to 1000 links, the spring on in every other state (and in the one state of
// 1000 links), dH/dq the explicit gradient. The accuracy model is the float
// chain's with u = 2^-53. Over these states the double recursion reaches
// 0.07 cond(M) u for dq/dt and 6e-3 cond(M) u for dp/dt at 20 links, and less
// per unit of cond(M) for longer chains (2e-3 and 2e-5 at 500 links, 2e-3
// and 1e-5 at 1000 with cond(M) = 6e9), so the float chain's tolerances per
// unit of cond(M) apply unchanged. At 20 links they come to 1e-12 to 2e-11
// for dq/dt: the reciprocal pivot of the backward sweep rounded to float, the
// joint inertia 1/3 taken as a float, or the spring's stretch rounded to
// float all fail at 20 and 100 links. The reference's own error, measured
// against a 113-bit evaluation of the same model, stays below
// 0.02 cond(M) 2^-64 (3e-12 in a state of 1000 links where the double chain
// was off by 2e-10).
constexpr double DOUBLE_UNIT_ROUNDOFF = 0x1p-53;
using Extended = long double;
static_assert(std::numeric_limits<Extended>::digits >= 64, "the reference needs a longer significand than double");
static_assert(ChainParameters<double>{}.gravity == oracle::G && ChainParameters<double>{}.damping == oracle::DAMPING &&
              ChainParameters<double>{}.stiffness == oracle::STIFFNESS);

template <class To, class From>
oracle::VecOf<To> converted(const From* values, int n) {
    oracle::VecOf<To> v(n);
    std::copy(values, values + n, v.begin());
    return v;
}

template <class R>
double relativeError(const oracle::VecOf<R>& value, const oracle::VecOf<R>& reference) {
    return static_cast<double>(oracle::distance(value, reference) / oracle::norm(reference));
}

class DoubleChain : public ::testing::TestWithParam<int> {};

TEST_P(DoubleChain, StateDerivativeFollowsTheReferenceInLongDouble) {
    const int n = GetParam();
    const int states = n <= 20 ? 400 : n <= 100 ? 10 : n <= 500 ? 2 : 1;
    std::mt19937 generator(static_cast<unsigned>(n) + 1000u);
    Chain<double> chain(ChainParameters<double>{n});
    double* x = chain.state.data();
    double* xdot = chain.k1.data();
    double worstRate = 0.0;
    double worstMomentumRate = 0.0;
    double worstRatePerCondition = 0.0;
    double worstMomentumRatePerCondition = 0.0;
    double largestCondition = 0.0;
    for (int s = 0; s < states; ++s) {
        oracle::VecOf<Extended> velocities(n);
        for (int i = 0; i < n; ++i) {
            x[n + i] = uniform(generator, -PI, PI);
            velocities[i] = uniform(generator, -3.0, 3.0);
            x[i] = uniform(generator, -200.0, 200.0);
            xdot[i] = 1e300;  // output only: would show if read
            xdot[n + i] = uniform(generator, -3.0, 3.0);
        }
        const oracle::VecOf<Extended> q = converted<Extended>(x + n, n);
        if (s % 2 == 0) {
            const oracle::VecOf<Extended> p = oracle::multiply(oracle::massMatrix(q), velocities);
            std::copy(p.begin(), p.end(), x);
        }
        const bool springOn = s % 2 == 0;
        chain.spring = {{uniform(generator, -49.0, 46.0), uniform(generator, -50.0, 50.0)}, springOn ? 1 : 0};
        const oracle::VecOf<Extended> dampingRates = converted<Extended>(xdot + n, n);
        chain.recursion.derivative(x, xdot, chain.parameters.loads(), chain.spring);

        const oracle::DerivativeOf<Extended> expected =
            oracle::stateDerivative(converted<Extended>(x, n), q, dampingRates,
                                    {chain.spring.target[0], chain.spring.target[1]}, springOn, true);
        const double condition = oracle::massMatrixCondition(converted<double>(x + n, n));
        largestCondition = std::max(largestCondition, condition);
        const double scale = condition * DOUBLE_UNIT_ROUNDOFF;
        const double rateError = relativeError(converted<Extended>(xdot + n, n), expected.jointRate);
        const double momentumRateError = relativeError(converted<Extended>(xdot, n), expected.momentumRate);
        worstRate = std::max(worstRate, rateError);
        worstMomentumRate = std::max(worstMomentumRate, momentumRateError);
        worstRatePerCondition = std::max(worstRatePerCondition, rateError / scale);
        worstMomentumRatePerCondition = std::max(worstMomentumRatePerCondition, momentumRateError / scale);
        EXPECT_LT(rateError, JOINT_RATE_TOLERANCE_PER_CONDITION * scale)
            << "N = " << n << ", state " << s << ", cond(M) = " << condition;
        EXPECT_LT(momentumRateError, MOMENTUM_RATE_TOLERANCE_PER_CONDITION * scale)
            << "N = " << n << ", state " << s << ", cond(M) = " << condition << ", spring " << (springOn ? "on" : "off");
    }
    report("jointRateRelativeError", worstRate);
    report("momentumRateRelativeError", worstMomentumRate);
    report("jointRateErrorPerConditionUnit", worstRatePerCondition);
    report("momentumRateErrorPerConditionUnit", worstMomentumRatePerCondition);
    report("largestMassMatrixCondition", largestCondition);
}

INSTANTIATE_TEST_SUITE_P(Links, DoubleChain, ::testing::Values(20, 100, 500, 1000));

// The double chain stepped 500 times (0.5 s) from a bent pose, falling under
// its weight and pulled by the held spring, against Runge-Kutta steps of
// h = 0.001 taken on the reference model in long double, each of its four
// slope arrays keeping its joint rates for the next step's damping as the
// chain's do. Both take the same steps, so the truncation error cancels and
// what remains is the double chain's rounding. A step size off by a relative
// d moves the state by about d T |dx/dt| at time T; the float 0.001f widened
// to double is d = 4.7e-11 from 0.001, and the bound is a tenth of what that
// would move the chain. Measured: 1e-6 of that shift; with the widened float
// step, 1.0 of it for the angles and 1.1 for the momenta.
TEST(DoubleChainSteps, StepAsRungeKuttaWithTheStepOfAThousandthInLongDouble) {
    const int n = N;
    const int steps = 500;
    const double widenedFloatStep = std::fabs(static_cast<double>(0.001f) / 0.001 - 1.0);
    ASSERT_GT(widenedFloatStep, 4.6e-11);
    std::mt19937 generator(20u);
    Chain<double> chain;
    for (int i = 0; i < n; ++i) {
        chain.state[n + i] = i == 0 ? 0.0 : uniform(generator, -0.5, 0.5);
    }
    chain.spring = {{30.0, -10.0}, 1};
    const oracle::PointOf<Extended> target{chain.spring.target[0], chain.spring.target[1]};
    const Extended h = Extended(1) / Extended(1000);
    oracle::VecOf<Extended> p = converted<Extended>(chain.state.data(), n);
    oracle::VecOf<Extended> q = converted<Extended>(chain.state.data() + n, n);
    std::vector<oracle::DerivativeOf<Extended>> slopes(4, {oracle::VecOf<Extended>(n), oracle::VecOf<Extended>(n)});
    const Extended stageFactors[4] = {0, h / 2, h / 2, h};
    for (int step = 0; step < steps; ++step) {
        chain.step();
        for (int s = 0; s < 4; ++s) {
            oracle::VecOf<Extended> stageP = p;
            oracle::VecOf<Extended> stageQ = q;
            for (int i = 0; s > 0 && i < n; ++i) {
                stageP[i] += stageFactors[s] * slopes[s - 1].momentumRate[i];
                stageQ[i] += stageFactors[s] * slopes[s - 1].jointRate[i];
            }
            slopes[s] = oracle::stateDerivative(stageP, stageQ, slopes[s].jointRate, target, true, true);
        }
        for (int i = 0; i < n; ++i) {
            p[i] += h / 6 * (slopes[0].momentumRate[i] + 2 * slopes[1].momentumRate[i] +
                             2 * slopes[2].momentumRate[i] + slopes[3].momentumRate[i]);
            q[i] += h / 6 * (slopes[0].jointRate[i] + 2 * slopes[1].jointRate[i] + 2 * slopes[2].jointRate[i] +
                             slopes[3].jointRate[i]);
        }
    }
    const oracle::DerivativeOf<Extended> end = oracle::stateDerivative(p, q, slopes[0].jointRate, target, true, true);
    const double time = steps * 0.001;
    const double angleError = static_cast<double>(oracle::distance(converted<Extended>(chain.state.data() + n, n), q));
    const double momentumError = static_cast<double>(oracle::distance(converted<Extended>(chain.state.data(), n), p));
    const double angleShift = widenedFloatStep * time * static_cast<double>(oracle::norm(end.jointRate));
    const double momentumShift = widenedFloatStep * time * static_cast<double>(oracle::norm(end.momentumRate));
    report("angleErrorPerStepShift", angleError / angleShift);
    report("momentumErrorPerStepShift", momentumError / momentumShift);
    EXPECT_LT(angleError, 0.1 * angleShift);
    EXPECT_LT(momentumError, 0.1 * momentumShift);
}

// Undamped and released 0.05 rad from hanging, the compound pendulum swings
// with the period 2 pi sqrt(J / (m g L/2)) = 1.6383 s, lengthened by
// (1 + a^2 / 16) at amplitude a. Timed from the RK4 run over ten swings,
// between upward crossings of the hanging angle, interpolated within a step.
TEST(ClosedForms, CompoundPendulumSwingsWithItsSmallSwingPeriod) {
    ChainDescription pendulum;
    pendulum.links = 1;
    pendulum.damping = 0.0f;
    const double hanging = -PI / 2;
    const double amplitude = 0.05;
    pendulum.initialAngle = static_cast<float>(hanging + amplitude);
    startChain(pendulum);
    std::ostringstream log;
    std::vector<double> crossings;
    double previous = currentState[1] - hanging;
    for (int step = 1; step <= 20000 && crossings.size() < 11; ++step) {
        advanceSimulation(log);
        const double now = currentState[1] - hanging;
        if (previous < 0.0 && now >= 0.0) {
            crossings.push_back((step - 1 + previous / (previous - now)) * STEP_SIZE);
        }
        previous = now;
    }
    startChain(ChainDescription{});
    ASSERT_EQ(crossings.size(), 11u);
    const double period = (crossings.back() - crossings.front()) / 10.0;
    const double expected = 2.0 * PI * std::sqrt((1.0 / 3.0) / (9.81 * 0.5)) * (1.0 + amplitude * amplitude / 16.0);
    EXPECT_NEAR(period, expected, 2e-4 * expected);
    EXPECT_TRUE(log.str().empty());
}

}  // namespace
