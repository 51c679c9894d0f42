#include <cmath>
#include <limits>

#include "app/application.h"
#include "model/chain_model.h"

StateVector currentState{};
StateVector k1{};
StateVector k2{};
StateVector k3{};
StateVector k4{};
StateVector stageState{};
StateVector restingState{};

Matrix jointAngles(0, 0);
Matrix initialVelocities(0, 0);
Matrix mouseTarget(0, 0);
std::int32_t mouseDown = -1;
std::int32_t stepsPerFrame = INITIAL_STEPS_PER_FRAME;
std::int32_t stepCount = 0;
std::int64_t resetCount = 0;
std::string_view programName = "chain20";
const float linkColour[4] = {0.2f, 0.2f, 0.2f, 1.0f};

void initialiseSimulation() {
    jointAngles.resize(linkCount, 1);
    jointAngles.zero();
    jointAngles(1, 1) = chain.initialAngle;
    mouseTarget.resize(2, 1);
    mouseTarget.zero();
    initialVelocities.resize(linkCount, 1);
    initialVelocities.zero();

    const Matrix state = computeMomenta(jointAngles, initialVelocities);
    restingState = StateVector(2 * linkCount);
    for (int i = 0; i < restingState.size(); ++i) {
        restingState[i] = state(i + 1, 1);
    }
    currentState = restingState;
    stageState = restingState;
    k1 = StateVector(2 * linkCount);
    k2 = k1;
    k3 = k1;
    k4 = k1;
}

void startChain(const ChainDescription& description) {
    chain = description;
    setupUnrolledModel();
    setupMatrixModel(chain.links);
    initialiseSimulation();
}

namespace {

// stage = x + k * factor / divisor, element by element (k times h first).
void formStage(const StateVector& slope, float factor, float divisor) {
    float* stage = stageState.data();
    const float* x = currentState.data();
    const float* k = slope.data();
    const int n = stageState.size();
    for (int i = 0; i < n; ++i) {
        stage[i] = x[i] + k[i] * factor / divisor;
    }
}

bool stateIsFinite() {
    for (const float value : currentState) {
        if (!std::isfinite(value)) {
            return false;
        }
    }
    return true;
}

void putBackAtRest() {
    currentState = restingState;
    k1.fill(0.0f);
    k2.fill(0.0f);
    k3.fill(0.0f);
    k4.fill(0.0f);
}

void resetToRest(TextSink log) {
    putBackAtRest();
    ++resetCount;
    log << programName << ": the state left the finite numbers at step " << static_cast<std::int64_t>(stepCount) + 1
        << "; the chain was put back at rest\n";
}

void copyAnglesForDrawing() {
    for (int j = 1; j <= linkCount; ++j) {
        jointAngles(j, 1) = currentState[linkCount + j - 1];
    }
}

}  // namespace

void restartSimulation() {
    putBackAtRest();
    stepCount = 0;
    copyAnglesForDrawing();
}

void rungeKuttaStep() {
    // All four evaluations see the same target and button state.
    const float target[2] = {mouseTarget(1, 1), mouseTarget(2, 1)};
    const int down = mouseDown;

    computeStateDerivative(currentState.data(), k1.data(), target, down);
    formStage(k1, STEP_SIZE, 2.0f);
    computeStateDerivative(stageState.data(), k2.data(), target, down);
    formStage(k2, STEP_SIZE, 2.0f);
    computeStateDerivative(stageState.data(), k3.data(), target, down);
    formStage(k3, STEP_SIZE, 1.0f);
    computeStateDerivative(stageState.data(), k4.data(), target, down);

    // x += (k1 + 2 k2 + 2 k3 + k4) h/6
    float* x = currentState.data();
    const float* s1 = k1.data();
    const float* s2 = k2.data();
    const float* s3 = k3.data();
    const float* s4 = k4.data();
    const int n = currentState.size();
    for (int i = 0; i < n; ++i) {
        x[i] = x[i] + (s1[i] + 2.0f * s2[i] + 2.0f * s3[i] + s4[i]) * SIXTH_STEP;
    }
}

bool advanceSimulation(TextSink log) {
    rungeKuttaStep();
    if (!stateIsFinite()) {
        resetToRest(log);
    }
    copyAnglesForDrawing();
    // Counted in unsigned arithmetic so that the count wraps instead of
    // overflowing; below 2^31 the rule is the plain modulo.
    stepCount = static_cast<std::int32_t>(static_cast<std::uint32_t>(stepCount) + 1u);
    return stepCount % stepsPerFrame == 0;
}

void applySpecialKey(int key, TextSink out) {
    if (key == KEY_LEFT) {
        stepsPerFrame = stepsPerFrame - 1 >= 1 ? stepsPerFrame - 1 : 1;
    } else if (key == KEY_RIGHT) {
        if (stepsPerFrame < std::numeric_limits<std::int32_t>::max()) {
            stepsPerFrame = stepsPerFrame + 1;
        }
        out << stepsPerFrame << '\n';
        out.flush();
    }
}
