#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>

#include "sim/application.h"
#include "sim/session.h"
#include "chain_oracle.h"

namespace {

class Application : public ::testing::Test {
protected:
    void SetUp() override { freshRun(ChainDescription{}, Precision::Float, WINDOW_WIDTH, WINDOW_HEIGHT, log); }

    std::ostringstream log;
    const ViewTransform view = reshapeView(WINDOW_WIDTH, WINDOW_HEIGHT);

    bool step() { return advanceSimulation(log); }

    // Horizontal position of the tip relative to the base.
    static double tipX() {
        double angle = 0.0;
        double x = 0.0;
        for (int k = 0; k < LINK_COUNT; ++k) {
            angle += currentState[LINK_COUNT + k];
            x += std::cos(angle);
        }
        return x;
    }

    // Gravitational energy of the centres of mass (base at height 0).
    static double potentialEnergy(const StateVector& state) {
        double angle = 0.0;
        double joint = 0.0;
        double sum = 0.0;
        for (int k = 0; k < LINK_COUNT; ++k) {
            angle += state[LINK_COUNT + k];
            sum += GRAVITY * (joint + 0.5 * std::sin(angle));
            joint += std::sin(angle);
        }
        return sum;
    }

    // H = p . qdot / 2 + V, with qdot the joint rates of a fresh evaluation.
    static double energy() {
        StateVector rates{};
        const float target[2] = {0.0f, 0.0f};
        computeStateDerivative(currentState.data(), rates.data(), target, 0);
        double kinetic = 0.0;
        for (int k = 0; k < LINK_COUNT; ++k) {
            kinetic += 0.5 * currentState[k] * rates[LINK_COUNT + k];
        }
        return kinetic + potentialEnergy(currentState);
    }

    static double restEnergy() { return potentialEnergy(restingState); }

    static float totalMomentum() {
        float sum = 0.0f;
        for (int k = 0; k < LINK_COUNT; ++k) {
            sum += std::abs(currentState[k]);
        }
        return sum;
    }
};

TEST_F(Application, StartsHangingStraightDownAtRest) {
    EXPECT_EQ(currentState[LINK_COUNT], -1.570796f);
    EXPECT_NE(currentState[LINK_COUNT], static_cast<float>(-M_PI / 2));
    for (int k = 0; k < LINK_COUNT; ++k) {
        EXPECT_EQ(currentState[k], 0.0f);
        EXPECT_EQ(jointAngles(k + 1, 1), currentState[LINK_COUNT + k]);
        EXPECT_EQ(k1[LINK_COUNT + k], 0.0f);
        if (k > 0) {
            EXPECT_EQ(currentState[LINK_COUNT + k], 0.0f);
        }
    }
    EXPECT_EQ(mouseTarget(1, 1), 0.0f);
}

TEST_F(Application, RestStaysAtRest) {
    for (int i = 0; i < 500; ++i) {
        step();
    }
    // The initial angle is three ulps off -pi/2, so gravity has a lever of
    // 3e-7 rad: the chain drifts by no more than that scale in half a second.
    for (int k = 0; k < LINK_COUNT; ++k) {
        EXPECT_NEAR(currentState[LINK_COUNT + k], k == 0 ? -1.570796f : 0.0f, 1e-5f) << k;
        EXPECT_EQ(jointAngles(k + 1, 1), currentState[LINK_COUNT + k]);
    }
    EXPECT_LT(totalMomentum(), 1e-2f);
    EXPECT_EQ(stepCount, 500);
}

TEST_F(Application, DisplacedChainSwingsAndLosesEnergy) {
    // Lift the straight chain 0.5 rad to the side and let it go.
    currentState[LINK_COUNT] = -1.070796f;
    const double startEnergy = energy();
    double previous = startEnergy;
    bool crossedToTheOtherSide = false;
    for (int second = 1; second <= 6; ++second) {
        for (int i = 0; i < 1000; ++i) {
            step();
            crossedToTheOtherSide = crossedToTheOtherSide || tipX() < -0.5;
        }
        // Damping only takes energy out; over a whole second it clearly does.
        const double now = energy();
        EXPECT_LT(now, previous) << second;
        previous = now;
    }
    EXPECT_TRUE(crossedToTheOtherSide);
    // The damping acts on the joint rates; a chain swinging nearly rigidly
    // about the base bends little, so it loses energy slowly (about 12% in six
    // seconds), but it never gains any.
    EXPECT_LT(previous - restEnergy(), 0.95 * (startEnergy - restEnergy()));
    EXPECT_GT(previous - restEnergy(), 0.0);
    EXPECT_TRUE(log.str().empty());
}

TEST_F(Application, RedisplayRule) {
    stepsPerFrame = 1;
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(step());
    }
    stepCount = 95;
    stepsPerFrame = 20;
    for (int i = 96; i < 100; ++i) {
        EXPECT_FALSE(step()) << i;
    }
    EXPECT_TRUE(step());
    EXPECT_EQ(stepCount, 100);
}

TEST_F(Application, StepCountWrapsWithoutOverflow) {
    stepCount = 2147483647 - 1;
    stepsPerFrame = 1;
    EXPECT_TRUE(step());
    EXPECT_EQ(stepCount, 2147483647);
    step();
    EXPECT_EQ(stepCount, -2147483647 - 1);
    step();
    EXPECT_EQ(stepCount, -2147483647);
}

TEST_F(Application, FirstStepReadsZeroSlopesAndTargetIsInertWhileButtonIsUp) {
    currentState[LINK_COUNT + 3] = 0.4f;
    const StateVector start = currentState;
    step();
    const StateVector firstStep = currentState;

    // Same start with a wild target: the button is up, nothing changes.
    initialiseSimulation();
    currentState = start;
    mouseTarget(1, 1) = 45.0f;
    mouseTarget(2, 1) = -49.0f;
    mouseDown = 0;
    step();
    for (int i = 0; i < STATE_SIZE; ++i) {
        EXPECT_EQ(currentState[i], firstStep[i]) << i;
    }

    // Stale slopes left in the arrays change the first step (damping reads
    // them), which is why the start zeroes them.
    initialiseSimulation();
    currentState = start;
    k1.fill(3.0f);
    step();
    bool differs = false;
    for (int i = 0; i < STATE_SIZE; ++i) {
        differs = differs || currentState[i] != firstStep[i];
    }
    EXPECT_TRUE(differs);
}

TEST_F(Application, ArrowKeys) {
    std::ostringstream out;
    for (int i = 0; i < 30; ++i) {
        applySpecialKey(KEY_LEFT, out);
    }
    EXPECT_EQ(stepsPerFrame, 1);
    applySpecialKey(KEY_LEFT, out);
    EXPECT_EQ(stepsPerFrame, 1);
    EXPECT_EQ(out.str(), "");

    stepsPerFrame = INITIAL_STEPS_PER_FRAME;
    for (int i = 0; i < 3; ++i) {
        applySpecialKey(KEY_RIGHT, out);
    }
    EXPECT_EQ(out.str(), "31\n32\n33\n");
    applySpecialKey(101, out);  // up arrow: nothing
    EXPECT_EQ(stepsPerFrame, 33);

    stepsPerFrame = 2147483647;
    applySpecialKey(KEY_RIGHT, out);
    EXPECT_EQ(stepsPerFrame, 2147483647);
}

TEST_F(Application, CursorMapping) {
    // Mesa-style single-precision frustum: a few ulps off the exact values.
    const struct {
        int x, y;
        float tx, ty;
    } corners[] = {{320, 320, -1.5f, 0.0f}, {0, 0, -49.0f, 50.0f}, {640, 640, 46.0f, -50.0f}};
    for (const auto& c : corners) {
        applyMouseButton(LEFT_BUTTON, BUTTON_DOWN, c.x, c.y, view);
        EXPECT_EQ(mouseDown, 1);
        EXPECT_NEAR(mouseTarget(1, 1), c.tx, 1e-5f * 50) << c.x;
        EXPECT_NEAR(mouseTarget(2, 1), c.ty, 1e-5f * 50) << c.y;
    }
    applyMouseButton(LEFT_BUTTON, BUTTON_DOWN, 320, 320, view);
    EXPECT_EQ(mouseTarget(1, 1), -1.50000286f);

    // The general formula (95 x / w - 49, 50 - 100 y / h), also for other sizes.
    const ViewTransform wide = reshapeView(800, 400);
    applyMouseMotion(200, 300, wide);
    EXPECT_NEAR(mouseTarget(1, 1), 95.0f * 200 / 800 - 49, 1e-4f);
    EXPECT_NEAR(mouseTarget(2, 1), 50.0f - 100.0f * 300 / 400, 1e-4f);
}

TEST_F(Application, MouseButtons) {
    applyMouseButton(RIGHT_BUTTON, BUTTON_DOWN, 100, 100, view);
    EXPECT_EQ(mouseDown, -1);
    EXPECT_EQ(mouseTarget(1, 1), 0.0f);
    // Dragging with any button moves the target, the spring stays off.
    applyMouseMotion(0, 0, view);
    EXPECT_NEAR(mouseTarget(1, 1), -49.0f, 1e-4f);
    EXPECT_EQ(mouseDown, -1);
    applyMouseButton(LEFT_BUTTON, BUTTON_DOWN, 640, 640, view);
    EXPECT_EQ(mouseDown, 1);
    EXPECT_NEAR(mouseTarget(1, 1), 46.0f, 1e-4f);
    applyMouseButton(RIGHT_BUTTON, BUTTON_UP, 0, 0, view);
    EXPECT_EQ(mouseDown, 1);
    applyMouseButton(LEFT_BUTTON, BUTTON_UP, 0, 0, view);
    EXPECT_EQ(mouseDown, 0);
    EXPECT_NEAR(mouseTarget(1, 1), 46.0f, 1e-4f);  // release leaves the target
}

TEST_F(Application, SpringPullsTheTipTowardTheCursorSide) {
    applyMouseButton(LEFT_BUTTON, BUTTON_DOWN, 600, 320, view);  // far right of the chain
    for (int i = 0; i < 3000; ++i) {
        step();
    }
    EXPECT_GT(tipX(), 5.0);
    applyMouseButton(LEFT_BUTTON, BUTTON_DOWN, 40, 320, view);  // far left
    for (int i = 0; i < 3000; ++i) {
        step();
    }
    EXPECT_LT(tipX(), -5.0);
}

// ---- The Runge-Kutta step against the formula ----

class RungeKuttaStep : public Application {
protected:
    static constexpr float TARGET[2] = {30.0f, -12.0f};
    std::array<StateVector*, 4> slopes = {&k1, &k2, &k3, &k4};

    // A moving, bent chain pulled by the spring, with slope arrays as an
    // earlier step might have left them: other joint rates in each, so that
    // every stage is damped differently and the four slopes differ.
    void SetUp() override {
        Application::SetUp();
        for (int k = 0; k < LINK_COUNT; ++k) {
            currentState[k] = std::sin(1.7f * static_cast<float>(k) + 0.4f);
            currentState[LINK_COUNT + k] = 3.0f * std::sin(1.9f * static_cast<float>(k));
            for (int s = 0; s < 4; ++s) {
                const float rate = std::sin(static_cast<float>(k + 3 * s));
                (*slopes[s])[LINK_COUNT + k] = 0.5f * static_cast<float>(s + 1) * rate;
            }
        }
        mouseTarget(1, 1) = TARGET[0];
        mouseTarget(2, 1) = TARGET[1];
        mouseDown = 1;
    }
};

// In float, from the same state and lagged arrays: k1 at x, k2 at x + h/2 k1,
// k3 at x + h/2 k2, k4 at x + h k3, each evaluation into its own array.
TEST_F(RungeKuttaStep, StagesSitAtHalfHalfAndWholeStepEachDampedByItsOwnLaggedRates) {
    const StateVector x = currentState;
    std::array<StateVector, 4> expected{k1, k2, k3, k4};
    const float offset[4] = {0.0f, STEP_SIZE / 2.0f, STEP_SIZE / 2.0f, STEP_SIZE};
    for (int s = 0; s < 4; ++s) {
        StateVector stage{};
        for (int i = 0; i < STATE_SIZE; ++i) {
            stage[i] = x[i] + (s > 0 ? expected[s - 1][i] : 0.0f) * offset[s];
        }
        computeStateDerivative(stage.data(), expected[s].data(), TARGET, 1);
    }
    rungeKuttaStep();
    for (int s = 0; s < 4; ++s) {
        for (int i = 0; i < STATE_SIZE; ++i) {
            EXPECT_EQ((*slopes[s])[i], expected[s][i]) << "k" << s + 1 << "[" << i << "]";
        }
    }
}

// x + (k1 + 2 k2 + 2 k3 + k4) h/6, summed left to right in float, with h/6
// the float quotient, over the slopes the step left in its arrays.
TEST_F(RungeKuttaStep, AddsASixthOfTheWeightedSlopesInFloat) {
    const StateVector x = currentState;
    rungeKuttaStep();
    volatile float h = STEP_SIZE;  // h/6 formed at run time, in float
    const float sixth = h / 6.0f;
    for (int i = 0; i < STATE_SIZE; ++i) {
        const float sum = ((k1[i] + 2.0f * k2[i]) + 2.0f * k3[i]) + k4[i];
        EXPECT_EQ(currentState[i], x[i] + sum * sixth) << i;
    }
}

namespace oracle = chain_oracle;

// Classical Runge-Kutta in double on the reference model, with the same
// lagged damping: stage s reads the joint rates its own slope held after the
// previous step.
void referenceStep(oracle::Vec& p, oracle::Vec& q, std::array<oracle::Vec, 4>& lagged, oracle::Point target) {
    const double h = STEP_SIZE;
    const double offset[4] = {0.0, h / 2, h / 2, h};
    const double weight[4] = {1.0, 2.0, 2.0, 1.0};
    oracle::Derivative slope;
    oracle::Vec sumP{}, sumQ{};
    for (int s = 0; s < 4; ++s) {
        oracle::Vec ps = p, qs = q;
        for (int i = 0; i < oracle::N; ++i) {
            ps[i] += offset[s] * slope.momentumRate[i];
            qs[i] += offset[s] * slope.jointRate[i];
        }
        slope = oracle::stateDerivative(ps, qs, lagged[s], target, true);
        lagged[s] = slope.jointRate;
        for (int i = 0; i < oracle::N; ++i) {
            sumP[i] += weight[s] * slope.momentumRate[i];
            sumQ[i] += weight[s] * slope.jointRate[i];
        }
    }
    for (int i = 0; i < oracle::N; ++i) {
        p[i] += h / 6 * sumP[i];
        q[i] += h / 6 * sumQ[i];
    }
}

// Twenty floats of an array, from `offset` on, in double.
oracle::Vec inDouble(const StateVector& x, int offset) {
    oracle::Vec v{};
    std::copy(x.begin() + offset, x.begin() + offset + LINK_COUNT, v.begin());
    return v;
}

// A few float steps follow the double reference. Normwise, the float
// derivative's dq/dt is off by up to about 0.1 cond(M) 2^-24 relative and its
// dp/dt by a tenth of that; so are the increments of a few steps. The bounds
// leave a margin of ten.
TEST_F(RungeKuttaStep, FollowsADoublePrecisionReferenceForAFewSteps) {
    const oracle::Vec p0 = inDouble(currentState, 0);
    const oracle::Vec q0 = inDouble(currentState, LINK_COUNT);
    oracle::Vec p = p0, q = q0;
    std::array<oracle::Vec, 4> lagged{};
    for (int s = 0; s < 4; ++s) {
        lagged[s] = inDouble(*slopes[s], LINK_COUNT);
    }
    const double tolerance = oracle::massMatrixCondition(q) * 0x1p-24;  // for dq, a tenth for dp
    for (int step = 1; step <= 3; ++step) {
        rungeKuttaStep();
        referenceStep(p, q, lagged, {TARGET[0], TARGET[1]});
        EXPECT_LT(oracle::distance(inDouble(currentState, 0), p), 0.1 * tolerance * oracle::distance(p, p0))
            << "momenta, step " << step;
        EXPECT_LT(oracle::distance(inDouble(currentState, LINK_COUNT), q), tolerance * oracle::distance(q, q0))
            << "angles, step " << step;
    }
}

TEST_F(Application, NonFiniteStateFallsBackToRestWithAllFourSlopesZeroed) {
    // A step from an infinite momentum leaves the finite numbers.
    currentState[5] = INFINITY;
    step();
    EXPECT_EQ(resetCount, 1);
    for (int i = 0; i < STATE_SIZE; ++i) {
        EXPECT_EQ(currentState[i], restingState[i]) << i;
        for (const StateVector* slope : {&k1, &k2, &k3, &k4}) {
            EXPECT_EQ((*slope)[i], 0.0f) << "k" << slope - &k1 + 1 << "[" << i << "]";
        }
    }
    EXPECT_EQ(jointAngles(1, 1), INITIAL_BASE_ANGLE);
    EXPECT_EQ(stepCount, 1);
    // A slope left non-finite would damp the next step with it.
    step();
    EXPECT_EQ(resetCount, 1);
    EXPECT_NE(log.str().find("put back at rest"), std::string::npos);
    EXPECT_EQ(log.str().find('\n'), log.str().size() - 1);  // one line
}

}  // namespace
