#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "dynamics/chain_dynamics.h"
#include "dynamics/chain_recursion.h"
#include "sim/chain.h"
#include "sim/diagnostics.h"
#include "sim/energy_ledger.h"
#include "sim/shortest_text.h"

namespace {

constexpr int Q = LINK_COUNT;  // offset of the angles and joint rates

class UnrolledDynamics : public ::testing::Test {
protected:
    static void SetUpTestSuite() { setupUnrolledModel(); }

    StateVector state{};
    StateVector rates{};
    float target[2] = {0.0f, 0.0f};

    void evaluate(int mouseDown = 0) { computeStateDerivative(state.data(), rates.data(), target, mouseDown); }

    void randomise(std::mt19937& random, float momentumScale) {
        std::uniform_real_distribution<float> angle(-3.14159f, 3.14159f);
        std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
        for (int k = 0; k < LINK_COUNT; ++k) {
            state[k] = momentumScale * unit(random);
            state[Q + k] = angle(random);
        }
    }
};

// Straight chain along +x at rest: the sweeps' closed forms.
TEST_F(UnrolledDynamics, StraightChainAtRest) {
    evaluate();
    for (int k = 0; k < LINK_COUNT; ++k) {
        const int outboard = LINK_COUNT - k;  // links i..20 for link i = k + 1
        EXPECT_EQ(articulatedInertia[k][I00], static_cast<float>(outboard)) << k;
        EXPECT_EQ(articulatedInertia[k][I01], 0.0f) << k;
        EXPECT_EQ(articulatedInertia[k][I05], 0.0f) << k;
        EXPECT_EQ(subtreeForce[k][0], 0.0f) << k;
        EXPECT_FLOAT_EQ(subtreeForce[k][1], -9.81f * static_cast<float>(outboard)) << k;
        EXPECT_FLOAT_EQ(jointForce[k], -9.81f * static_cast<float>(outboard * outboard) / 2.0f) << k;
        EXPECT_EQ(rates[Q + k], 0.0f) << k;
        EXPECT_EQ(rates[k], jointForce[k]) << k;
        EXPECT_EQ(absoluteCos[k], 1.0f);
        EXPECT_EQ(absoluteSin[k], 0.0f);
    }
    EXPECT_EQ(jointForce[0], -1962.0f);
    EXPECT_EQ(jointForce[LINK_COUNT - 1], -4.905f);
    // Link 19 with the tip projected onto it: the tip's translational
    // inertia with its rotation about joint 20 free is 1 - 0.25*3 = 0.25.
    EXPECT_FLOAT_EQ(articulatedInertia[18][I11], 1.25f);
    EXPECT_FLOAT_EQ(articulatedInertia[18][I15], 0.75f);
    EXPECT_FLOAT_EQ(articulatedInertia[18][I55], 7.0f / 12.0f);
}

TEST_F(UnrolledDynamics, MomentumBiasOfTheTipMomentum) {
    state[LINK_COUNT - 1] = 1.0f;
    evaluate();
    EXPECT_EQ(momentumBias[18][0], 0.0f);
    EXPECT_EQ(momentumBias[18][1], 1.5f);
    EXPECT_EQ(momentumBias[18][5], 2.5f);
    EXPECT_EQ(momentumBias[LINK_COUNT - 1][5], 0.0f);
}

TEST_F(UnrolledDynamics, ZeroMomentaGiveZeroRatesAtAnyAngles) {
    std::mt19937 random(7);
    for (int trial = 0; trial < 20; ++trial) {
        randomise(random, 0.0f);
        for (float& r : rates) {
            r = 5.0f;
        }
        evaluate(1);
        for (int k = 0; k < LINK_COUNT; ++k) {
            EXPECT_EQ(rates[Q + k], 0.0f);
            EXPECT_EQ(angularVelocity[k], 0.0f);
            EXPECT_EQ(momentumBias[k][0], 0.0f);
            EXPECT_EQ(momentumBias[k][5], 0.0f);
            EXPECT_EQ(rates[k], jointForce[k]);
        }
    }
}

// The joint-rate half of the derivative array enters only as damping: the
// same state into arrays with other rates gives the same dq/dt, and dp_i/dt
// lower by 30 times the partial sums r_i + ... + r_20 of the differences.
TEST_F(UnrolledDynamics, DampingReadsTheRatesLeftInTheArray) {
    std::mt19937 random(11);
    std::uniform_real_distribution<float> rate(-2.0f, 2.0f);
    for (int trial = 0; trial < 20; ++trial) {
        randomise(random, 50.0f);
        target[0] = 10.0f;
        target[1] = -20.0f;
        StateVector undamped{};
        computeStateDerivative(state.data(), undamped.data(), target, 1);
        StateVector damped{};
        StateVector inputs{};
        for (int k = 0; k < LINK_COUNT; ++k) {
            inputs[Q + k] = damped[Q + k] = rate(random);
        }
        computeStateDerivative(state.data(), damped.data(), target, 1);
        double outboardRates = 0.0;
        for (int k = LINK_COUNT - 1; k >= 0; --k) {
            outboardRates += inputs[Q + k];
            EXPECT_EQ(damped[Q + k], undamped[Q + k]) << k;
            const double expected = undamped[k] - JOINT_DAMPING * outboardRates;
            EXPECT_NEAR(damped[k], expected, 1e-5 * (std::abs(undamped[k]) + 30.0 * std::abs(outboardRates) + 1.0))
                << k;
        }
    }
}

TEST_F(UnrolledDynamics, DampingDoesNotTouchTheCondensedInertia) {
    std::mt19937 random(3);
    randomise(random, 20.0f);
    evaluate();
    float inertia[LINK_COUNT][PACKED_INERTIA_SIZE];
    float bias[LINK_COUNT][SPATIAL_SIZE];
    std::copy(&articulatedInertia[0][0], &articulatedInertia[0][0] + sizeof inertia / sizeof(float), &inertia[0][0]);
    std::copy(&momentumBias[0][0], &momentumBias[0][0] + sizeof bias / sizeof(float), &bias[0][0]);
    for (int k = 0; k < LINK_COUNT; ++k) {
        rates[Q + k] = 1.0f;
    }
    target[0] = 30.0f;
    evaluate(1);
    for (int k = 0; k < LINK_COUNT; ++k) {
        for (const int entry : {I00, I01, I05, I11, I15, I55}) {
            EXPECT_EQ(articulatedInertia[k][entry], inertia[k][entry]);
        }
        for (const int component : {0, 1, 5}) {
            EXPECT_EQ(momentumBias[k][component], bias[k][component]);
        }
        EXPECT_GE(articulatedInertia[k][I55], LINK_INERTIA_Z);
    }
}

TEST_F(UnrolledDynamics, SpringActsOnlyWhileTheButtonIsHeld) {
    std::mt19937 random(5);
    randomise(random, 30.0f);
    target[0] = -40.0f;
    target[1] = 25.0f;
    StateVector off{};
    computeStateDerivative(state.data(), off.data(), target, 0);
    for (const int notHeld : {-1, 2}) {
        StateVector other{};
        const float elsewhere[2] = {7.0f, -3.0f};
        computeStateDerivative(state.data(), other.data(), elsewhere, notHeld);
        for (int i = 0; i < STATE_SIZE; ++i) {
            EXPECT_EQ(other[i], off[i]) << notHeld << " " << i;
        }
    }
    StateVector on{};
    computeStateDerivative(state.data(), on.data(), target, 1);
    bool changed = false;
    for (int k = 0; k < LINK_COUNT; ++k) {
        EXPECT_EQ(on[Q + k], off[Q + k]);  // rates come from momenta alone
        changed = changed || on[k] != off[k];
    }
    EXPECT_TRUE(changed);
}

TEST_F(UnrolledDynamics, SpringAnchorOfTheStraightChainIsFortyUnitsOut) {
    // At rest along +x the anchor is at (40, 0): a target there pulls with zero
    // force, so the derivative equals the one without the spring, bit for bit.
    target[0] = 40.0f;
    target[1] = 0.0f;
    StateVector without{};
    computeStateDerivative(state.data(), without.data(), target, 0);
    evaluate(1);
    for (int i = 0; i < STATE_SIZE; ++i) {
        EXPECT_EQ(rates[i], without[i]) << i;
    }
    // A target 1 unit above the anchor: a force of 200 up at the tip, whose
    // moment about joint i is 200 times the distance 21 - i.
    target[1] = 1.0f;
    evaluate(1);
    for (int k = 0; k < LINK_COUNT; ++k) {
        EXPECT_FLOAT_EQ(rates[k] - without[k], 200.0f * static_cast<float>(LINK_COUNT - k)) << k;
    }
}

TEST_F(UnrolledDynamics, UprightChainPutsTheTipWeightAlongTheLink) {
    state[Q] = 1.5707964f;
    evaluate();
    EXPECT_FLOAT_EQ(absoluteSin[LINK_COUNT - 1], 1.0f);
    EXPECT_FLOAT_EQ(subtreeForce[LINK_COUNT - 1][0], -9.81f);
    EXPECT_NEAR(jointForce[LINK_COUNT - 1], 0.0f, 1e-6f);
}

TEST_F(UnrolledDynamics, WholeTurnsChangeOnlyTheAbsoluteAngles) {
    std::mt19937 random(13);
    randomise(random, 40.0f);
    target[0] = 5.0f;
    target[1] = -30.0f;
    StateVector reference{};
    computeStateDerivative(state.data(), reference.data(), target, 1);
    std::array<float, LINK_COUNT> before{};
    std::copy_n(absoluteAngle, LINK_COUNT, before.begin());
    StateVector turned = state;
    const float threeTurns = 6.2831855f * 3.0f;
    turned[Q + 4] += threeTurns;
    StateVector result{};
    computeStateDerivative(turned.data(), result.data(), target, 1);
    // Links 1 to 4 lie inboard of the turned joint; links 5 to 20 carry the
    // three turns in their absolute angles, up to the rounding of the sums.
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(absoluteAngle[k], before[k]) << k;
    }
    for (int k = 4; k < LINK_COUNT; ++k) {
        EXPECT_NEAR(absoluteAngle[k] - before[k], threeTurns, 1e-5f * (std::abs(before[k]) + 20.0f)) << k;
    }
    double scale = 0.0;
    for (int i = 0; i < STATE_SIZE; ++i) {
        scale = std::max(scale, static_cast<double>(std::abs(reference[i])));
    }
    for (int i = 0; i < STATE_SIZE; ++i) {
        EXPECT_NEAR(result[i], reference[i], 2e-3 * scale) << i;
    }
}

TEST_F(UnrolledDynamics, RigidRotationAboutTheBase) {
    // Joint 1 alone turning at rate w in the straight chain: every link turns
    // at w and joint i moves at w (i - 1). The momenta are rounded to floats
    // and the straight chain's mass matrix has a condition number near 1e5,
    // so the recovered rates carry errors of a few 1e-3 (about 0.1 cond eps
    // times the largest rate); the tolerance is 1e-2.
    const float w = 2.0f;
    const float tolerance = 1e-2f;
    for (int k = 0; k < LINK_COUNT; ++k) {
        // Angular momentum about joint i of links i..20 turning rigidly about
        // joint 1: each link j contributes I_z w + m (c_j - joint_i) x v_j.
        double p = 0.0;
        for (int j = k; j < LINK_COUNT; ++j) {
            const double centre = j + 0.5;
            p += w * (1.0 / 12.0 + centre * (centre - k));
        }
        state[k] = static_cast<float>(p);
    }
    evaluate();
    for (int k = 0; k < LINK_COUNT; ++k) {
        EXPECT_NEAR(rates[Q + k], k == 0 ? w : 0.0f, tolerance) << k;
        EXPECT_NEAR(angularVelocity[k], w, tolerance) << k;
        EXPECT_NEAR(std::hypot(linearVelocityX[k], linearVelocityY[k]), w * k, tolerance * (k + 1)) << k;
    }
    EXPECT_EQ(rates[0], jointForce[0]);
}

}  // namespace

namespace {

// Lanes of a ChainRecursion carry independent chains: each lane's derivative
// is, bit for bit, what its chain gets alone, with its own loads, its own
// damping rates left in the array and the shared spring input, for chains
// swinging fast enough to reach every branch.
template <class Group>
void expectLanesEqualSingleChains(int links) {
    using Scalar = typename LaneTraits<Group>::Scalar;
    constexpr int W = Group::width;
    std::mt19937 random(static_cast<unsigned>(links));
    std::uniform_real_distribution<Scalar> unit(-1, 1);
    ChainRecursion<Group> group;
    group.setup(links);
    std::vector<Group> x(2 * links), xdot(2 * links);
    ChainLoads<Group> loads{Scalar(0), Scalar(0), Scalar(0)};
    std::vector<std::vector<Scalar>> singleX(W), singleXdot(W);
    std::vector<ChainLoads<Scalar>> singleLoads(W);
    for (int lane = 0; lane < W; ++lane) {
        singleX[lane].resize(2 * links);
        singleXdot[lane].resize(2 * links);
        for (int i = 0; i < 2 * links; ++i) {
            singleX[lane][i] = (i < links ? 50 : 3) * unit(random);
            singleXdot[lane][i] = 2 * unit(random);
            x[i].set(lane, singleX[lane][i]);
            xdot[i].set(lane, singleXdot[lane][i]);
        }
        singleLoads[lane] = {Scalar(9.81) + unit(random), Scalar(30) * (unit(random) + 1), Scalar(200) + unit(random)};
        loads.gravity.set(lane, singleLoads[lane].gravity);
        loads.damping.set(lane, singleLoads[lane].damping);
        loads.stiffness.set(lane, singleLoads[lane].stiffness);
    }
    const SpringInput<Scalar> spring{{Scalar(0.7) * links, Scalar(-0.2) * links}, 1};
    group.derivative(x.data(), xdot.data(), loads, {{spring.target[0], spring.target[1]}, spring.down});
    ChainRecursion<Scalar> single;
    single.setup(links);
    for (int lane = 0; lane < W; ++lane) {
        single.derivative(singleX[lane].data(), singleXdot[lane].data(), singleLoads[lane], spring);
        for (int i = 0; i < 2 * links; ++i) {
            ASSERT_EQ(xdot[i][lane], singleXdot[lane][i]) << links << " links, lane " << lane << ", element " << i;
        }
    }
}

TEST(ChainLanes, EachLaneIsItsChainAloneBitForBit) {
    for (const int links : {1, 20, 200}) {
        expectLanesEqualSingleChains<FloatLanes>(links);
        expectLanesEqualSingleChains<DoubleLanes>(links);
        if (machineHasAvx2()) {
            expectLanesEqualSingleChains<FloatLanesAvx2>(links);
            expectLanesEqualSingleChains<DoubleLanesAvx2>(links);
        }
    }
}

}  // namespace

namespace {

// --- Chains as values on threads ---------------------------------------------

constexpr int FLOAT_LINKS = 20;
constexpr int DOUBLE_LINKS = 500;
// The float chain runs longer, so that the two runs overlap for all of the
// double one's.
constexpr int FLOAT_STEPS = 60000;
constexpr int DOUBLE_STEPS = 1500;

// A chain of `links` hanging at rest, stepped `steps` times: for the first two
// thirds the spring is held on a target that leaves the resting tip's anchor
// (0, -2N) and circles below it once a second, 0.2 N across; then it is let go.
template <class Real>
Chain<Real> steppedChain(int links, int steps) {
    Chain<Real> chain(ChainParameters<Real>{links});
    const double radius = 0.1 * links;
    for (int step = 0; step < steps; ++step) {
        const double angle = 2.0 * 3.141592653589793 * step * 0.001;
        chain.spring = {{Real(radius * std::sin(angle)), Real(-2.0 * links - radius * (1.0 - std::cos(angle)))},
                        step < 2 * steps / 3 ? 1 : 0};
        chain.step();
    }
    return chain;
}

// The largest change of a joint angle from the resting chain.
template <class Real>
double largestTurnFromRest(const Chain<Real>& chain) {
    double largest = 0.0;
    for (int i = chain.parameters.links; i < chain.state.size(); ++i) {
        largest = std::max(largest, std::abs(static_cast<double>(chain.state[i]) - chain.resting[i]));
    }
    return largest;
}

template <class Real>
bool sameBits(const StateArray<Real>& a, const StateArray<Real>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), sizeof(Real) * a.size()) == 0;
}

// Everything a chain carries from step to step: the state, the four slopes
// (their joint rates damp the next step) and the counts.
template <class Real>
void expectSameRun(const Chain<Real>& alone, const Chain<Real>& shared, const char* name) {
    EXPECT_TRUE(sameBits(alone.state, shared.state)) << name;
    const StateArray<Real> Chain<Real>::*const slopes[] = {&Chain<Real>::k1, &Chain<Real>::k2, &Chain<Real>::k3,
                                                            &Chain<Real>::k4};
    for (int k = 0; k < 4; ++k) {
        EXPECT_TRUE(sameBits(alone.*slopes[k], shared.*slopes[k])) << name << ", k" << k + 1;
    }
    EXPECT_EQ(alone.stepCount, shared.stepCount) << name;
    EXPECT_EQ(alone.resetCount, shared.resetCount) << name;
}

// A float chain of 20 links and a double chain of 500, stepped at once on two
// threads, end with the bits each gets alone on the test's own thread: the
// chains share no working storage, no loads and no rounding state.
// The energy ledger's books of a chain released level, 5000 steps: the drift
// left after the damping and spring work, in parts per million of the energy
// scale, and relative to the work booked.
struct LedgerOutcome {
    double drift, damping, spring, scale;
};

template <class Real>
LedgerOutcome keepBooks(Real damping, bool springHeld) {
    ChainParameters<Real> parameters;
    parameters.damping = damping;
    parameters.initialAngle = Real(0);
    Chain<Real> chain(parameters);
    const double g = std::is_same_v<Real, float> ? decimalOf(static_cast<float>(parameters.gravity))
                                                 : static_cast<double>(parameters.gravity);
    EnergyLedger ledger;
    ledger.start(chain, g);
    for (int step = 0; step < 5000; ++step) {
        if (springHeld) {
            // A target circling below the base, two units per link.
            const double angle = 0.002 * step;
            chain.spring = {{Real(20 * std::cos(angle)), Real(-16 + 5 * std::sin(angle))}, 1};
        }
        ledger.beforeStep(chain);
        ledger.afterStep(chain, chain.step(), g);
    }
    EXPECT_EQ(chain.resetCount, 0);
    return {ledger.drift(chainEnergy(chain.state, g)), ledger.dampingWork(), ledger.springWork(),
            energyScale(LINK_COUNT, g)};
}

TEST(EnergyLedger, DriftIsTheIntegratorsAndTheWorkAddsUp) {
    // Free and undamped: the drift is RK4's and the precision's alone
    // (measured: 0.003 ppm in double, 12 ppm in float).
    const LedgerOutcome freeDouble = keepBooks<double>(0.0, false);
    const LedgerOutcome freeFloat = keepBooks<float>(0.0f, false);
    EXPECT_EQ(freeDouble.damping, 0.0);
    EXPECT_LT(std::abs(freeDouble.drift) / freeDouble.scale * 1e6, 0.1);
    EXPECT_LT(std::abs(freeFloat.drift) / freeFloat.scale * 1e6, 100.0);
    // Damped: what the damping removed is what the chain lost (measured to
    // 4e-9 of it).
    const LedgerOutcome damped = keepBooks<double>(3.0, false);
    EXPECT_GT(damped.damping, 10.0);
    EXPECT_LT(std::abs(damped.drift), 1e-6 * damped.damping);
    // Damped and pulled round by the spring: both works large, the books
    // balance to 1e-4 of them (measured 2e-6), in both precisions.
    for (const LedgerOutcome& pulled : {keepBooks<double>(30.0, true), keepBooks<float>(30.0f, true)}) {
        EXPECT_GT(pulled.damping, 1000.0);
        EXPECT_GT(pulled.spring, 1000.0);
        EXPECT_LT(std::abs(pulled.drift), 1e-4 * (pulled.damping + pulled.spring));
    }
}

TEST(ChainValues, TwoChainsOnTwoThreadsStepAsEachAlone) {
    const Chain<float> floatAlone = steppedChain<float>(FLOAT_LINKS, FLOAT_STEPS);
    const Chain<double> doubleAlone = steppedChain<double>(DOUBLE_LINKS, DOUBLE_STEPS);
    // Both runs turned some joint by more than 0.1 rad and stayed finite.
    EXPECT_GT(largestTurnFromRest(floatAlone), 0.1);
    EXPECT_GT(largestTurnFromRest(doubleAlone), 0.1);
    EXPECT_EQ(floatAlone.resetCount, 0);
    EXPECT_EQ(doubleAlone.resetCount, 0);

    Chain<float> floatShared(ChainParameters<float>{0});
    Chain<double> doubleShared(ChainParameters<double>{0});
    std::thread floatThread([&floatShared] { floatShared = steppedChain<float>(FLOAT_LINKS, FLOAT_STEPS); });
    std::thread doubleThread([&doubleShared] { doubleShared = steppedChain<double>(DOUBLE_LINKS, DOUBLE_STEPS); });
    floatThread.join();
    doubleThread.join();
    expectSameRun(floatAlone, floatShared, "float chain");
    expectSameRun(doubleAlone, doubleShared, "double chain");
}

}  // namespace
