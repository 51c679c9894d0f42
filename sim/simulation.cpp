#include <cstdlib>
#include <limits>

#include "sim/application.h"
#include "sim/companions.h"
#include "sim/shortest_text.h"
#include "model/chain_model.h"

Chain<float> defaultChain;
StateVector& currentState = defaultChain.state;
StateVector& k1 = defaultChain.k1;
StateVector& k2 = defaultChain.k2;
StateVector& k3 = defaultChain.k3;
StateVector& k4 = defaultChain.k4;
StateVector& stageState = defaultChain.stage;
StateVector& restingState = defaultChain.resting;

Matrix jointAngles(0, 0);
Matrix initialVelocities(0, 0);
Matrix mouseTarget(0, 0);
std::int32_t mouseDown = -1;
std::int32_t stepsPerFrame = INITIAL_STEPS_PER_FRAME;
std::int32_t& stepCount = defaultChain.stepCount;
std::int64_t& resetCount = defaultChain.resetCount;
std::string_view programName = "chain20";
Precision runPrecision = Precision::Float;
Chain<double> doubleChain;
bool keepEnergyLedger = false;
EnergyLedger runLedger;
const float linkColour[4] = {0.2f, 0.2f, 0.2f, 1.0f};

namespace {

// The loads of the description that the double chain's were widened from.
ChainLoads<float> widenedLoads{};

// The double chain takes the description's loads, widened only when they
// changed, and the window's spring input.
void takeDoubleInput() {
    const ChainLoads<float> loads = chain.loads();
    if (loads.gravity != widenedLoads.gravity || loads.damping != widenedLoads.damping ||
        loads.stiffness != widenedLoads.stiffness) {
        const ChainParameters<double> wide = decimalParameters(chain);
        doubleChain.parameters.gravity = wide.gravity;
        doubleChain.parameters.damping = wide.damping;
        doubleChain.parameters.stiffness = wide.stiffness;
        widenedLoads = loads;
    }
    doubleChain.spring = {{mouseTarget(1, 1), mouseTarget(2, 1)}, mouseDown};
}

// Starts the ledger's books at the run's chain as it stands.
void startBooks() {
    if (!keepEnergyLedger) {
        return;
    }
    if (runPrecision == Precision::Double) {
        runLedger.start(doubleChain, runGravity());
    } else {
        runLedger.start(defaultChain, runGravity());
    }
}

}  // namespace

ChainParameters<double> decimalParameters(const ChainDescription& description) {
    return {description.links, decimalOf(description.gravity), decimalOf(description.damping),
            decimalOf(description.stiffness), decimalOf(description.initialAngle)};
}

void initialiseSimulation() {
    jointAngles.resize(linkCount, 1);
    jointAngles.zero();
    jointAngles(1, 1) = chain.initialAngle;
    mouseTarget.resize(2, 1);
    mouseTarget.zero();
    initialVelocities.resize(linkCount, 1);
    initialVelocities.zero();

    defaultChain.parameters = chain;
    defaultChain.build();
    // The matrix model's momenta of the resting chain, the start the programs
    // have always taken.
    const Matrix state = computeMomenta(jointAngles, initialVelocities);
    for (int i = 0; i < restingState.size(); ++i) {
        restingState[i] = state(i + 1, 1);
    }
    currentState = restingState;
    stageState = restingState;
    if (runPrecision == Precision::Double) {
        doubleChain.parameters = decimalParameters(chain);
        widenedLoads = chain.loads();
        doubleChain.build();
        doubleChain.stepCount = 0;
    }
    startBooks();
    if (companionsActive()) {
        restartCompanions();
    }
}

double runGravity() {
    return runPrecision == Precision::Double ? doubleChain.parameters.gravity : decimalOf(chain.gravity);
}

StateView runState() {
    if (runPrecision == Precision::Double) {
        return doubleChain.state;
    }
    return currentState;
}

void startChain(const ChainDescription& description) {
    chain = description;
    setupUnrolledModel();
    setupMatrixModel(chain.links);
    initialiseSimulation();
}

namespace {

void reportReset(TextSink log, std::int64_t step) {
    log << programName << ": the state left the finite numbers at step " << step
        << "; the chain was put back at rest\n";
}

// The default chain takes the description's loads and the window's spring
// input as they stand before each step.
void takeInput() {
    defaultChain.parameters = chain;
    defaultChain.spring = {{mouseTarget(1, 1), mouseTarget(2, 1)}, mouseDown};
}

void copyAnglesForDrawing() {
    for (int j = 1; j <= linkCount; ++j) {
        jointAngles(j, 1) = runPrecision == Precision::Double ? static_cast<float>(doubleChain.state[linkCount + j - 1])
                                                              : currentState[linkCount + j - 1];
    }
}

// A step of `run`, booked in the ledger when it is kept.
template <class Real>
bool stepKeepingBooks(Chain<Real>& run) {
    if (!keepEnergyLedger) {
        return run.step();
    }
    if (static_cast<double>(run.parameters.gravity) != runLedger.chainGravity()) {
        runLedger.start(run, runGravity());
    }
    runLedger.beforeStep(run);
    const bool finite = run.step();
    runLedger.afterStep(run, finite, runLedger.gravity());
    return finite;
}

// One step of the run's chain; false when it fell back to rest. The double
// chain's counts are the default chain's.
bool stepRunChain() {
    if (runPrecision == Precision::Float) {
        return stepKeepingBooks(defaultChain);
    }
    takeDoubleInput();
    doubleChain.stepCount = stepCount;
    const bool finite = stepKeepingBooks(doubleChain);
    stepCount = doubleChain.stepCount;
    resetCount += finite ? 0 : 1;
    return finite;
}

}  // namespace

void restartSimulation() {
    defaultChain.putBackAtRest();
    doubleChain.putBackAtRest();
    stepCount = 0;
    copyAnglesForDrawing();
    startBooks();
    if (companionsActive()) {
        restartCompanions();
    }
}

void rungeKuttaStep() {
    takeInput();
    defaultChain.rungeKuttaStep();
}

bool advanceSimulation(TextSink log) {
    takeInput();
    const std::int64_t step = static_cast<std::int64_t>(stepCount) + 1;
    const bool finite = stepRunChain();
    if (!finite) {
        reportReset(log, step);
    }
    if (companionsActive()) {
        finite ? stepCompanions() : restartCompanions();
    }
    copyAnglesForDrawing();
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
