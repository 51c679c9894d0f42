// Timings of the state derivative and of one Runge-Kutta step, for the
// linear-time recursion and, in the same run, for the dense mass-matrix
// formulation of bench/dense_chain.cpp, so that their ratio is measured under
// the same conditions: for the 20-link chain (derivative/..., step/...), and
// over chains of 1 to 10000 links with a fitted complexity (scaling/...),
// the recursion in float and in double (Chain<double>) side by side;
// likewise the 40 sine-cosine pairs of a 20-link derivative through
// sinCosMany and through glibc's sincosf.
//
// Before anything is timed the dense derivative is compared with the
// recursion on every benchmark state; the program stops if they disagree.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "sim/application.h"
#include "bench/dense_chain.h"
#include "dynamics/chain_dynamics.h"
#include "dynamics/sincos.h"
#include "model/chain_model.h"
#include "sim/chain.h"

namespace {

using DerivativeFunction = void (*)(const float*, float*, const float[2], int);

// A spring target far from the chain, as in a hard drag: 15 and 25 units in
// the target's scale of two units per link.
constexpr float DRAG_TARGET[2] = {15.0f, 25.0f};
constexpr float NO_TARGET[2] = {0.0f, 0.0f};
constexpr int SPRING_ON = 1;
constexpr int SPRING_OFF = -1;

// The step benchmarks restart from their initial state after this many steps
// (outside the timed region), so that every stretch of the measurement sees
// the same vigorous swing and not a chain that has come to rest.
constexpr std::int64_t STEPS_BEFORE_RESTART = 256;

// Chain lengths of the scaling benchmarks, and the longest chain the dense
// formulation is timed on: its step passes 5 ms between 200 and 500 links.
constexpr int SCALING_LINKS[] = {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000};
constexpr int DENSE_MOST_LINKS = 500;

StateVector restState{};
StateVector swingingState{};

// Sets up the recursion, the application and the dense formulation for a
// chain of `links` links with the default parameters, unless it is set up.
void useLinks(int links) {
    static int linksSetUp = 0;
    if (links != linksSetUp) {
        linksSetUp = links;
        ChainDescription description;
        description.links = links;
        startChain(description);
        setupDenseChain();
    }
}

// Angles uniform in [-pi, pi] and joint rates uniform in [-maxRate, maxRate]
// rad/s from a fixed seed, turned into momenta by the matrix model of the
// chain set up. Drawn from the raw generator output so that the state is the
// same with every standard library.
StateVector makeSwingingState(float maxRate) {
    std::mt19937 generator(20);
    auto uniform = [&generator](float low, float high) {
        const double unit = static_cast<double>(generator()) / 4294967296.0;
        return static_cast<float>(low + (high - low) * unit);
    };
    Matrix angles(linkCount, 1);
    Matrix rates(linkCount, 1);
    const float pi = std::numbers::pi_v<float>;
    for (int j = 1; j <= linkCount; ++j) {
        angles(j, 1) = uniform(-pi, pi);
        rates(j, 1) = uniform(-maxRate, maxRate);
    }
    const Matrix state = computeMomenta(angles, rates);
    StateVector result{};
    for (int i = 0; i < result.size(); ++i) {
        result[i] = state(i + 1, 1);
    }
    return result;
}

template <class Real>
bool allFinite(const StateArray<Real>& v) {
    return std::all_of(v.begin(), v.end(), [](Real value) { return std::isfinite(value); });
}

StateArray<double> widened(const StateVector& x) {
    StateArray<double> result(x.size());
    std::copy(x.begin(), x.end(), result.begin());
    return result;
}

// ---- Agreement of the two formulations ----

double norm(const float* v, int n) {
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        sum += static_cast<double>(v[i]) * v[i];
    }
    return std::sqrt(sum);
}

double distance(const float* a, const float* b, int n) {
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        const double d = static_cast<double>(a[i]) - b[i];
        sum += d * d;
    }
    return std::sqrt(sum);
}

// Normwise relative difference of one half of the two derivatives; `floor`
// keeps halves that are zero or nearly so (the rates at rest) from dividing
// by nothing.
double relativeDifference(const float* dense, const float* recursion, double floor) {
    return distance(dense, recursion, linkCount) / std::max(norm(recursion, linkCount), floor);
}

bool agreeOn(const char* name, const StateVector& x, const float target[2], int down) {
    constexpr double TOLERANCE = 1e-3;
    StateVector recursion{};
    StateVector dense{};
    bool agree = true;
    // The first call has no damping (zeroed arrays), the second damps with
    // the rates the first one left.
    for (int call = 1; call <= 2; ++call) {
        computeStateDerivative(x.data(), recursion.data(), target, down);
        computeDenseStateDerivative(x.data(), dense.data(), target, down);
        const double rateDifference = relativeDifference(dense.data() + linkCount, recursion.data() + linkCount, 1e-6);
        const double forceDifference = relativeDifference(dense.data(), recursion.data(), 1.0);
        const bool ok = rateDifference <= TOLERANCE && forceDifference <= TOLERANCE && allFinite(recursion);
        std::fprintf(stderr, "dense vs recursion, %s, call %d: dq/dt %.2e, dp/dt %.2e relative%s\n", name, call,
                     rateDifference, forceDifference, ok ? "" : "  <-- DISAGREE");
        agree = agree && ok;
    }
    return agree;
}

// ---- Benchmarks ----

// The 40 angles of one derivative at the swinging state: joint angles, then
// absolute angles.
std::array<float, STATE_SIZE> derivativeAngles(const StateVector& x) {
    std::array<float, STATE_SIZE> angles{};
    float angle = 0.0f;
    for (int k = 0; k < LINK_COUNT; ++k) {
        const float q = x[LINK_COUNT + k];
        angle = k == 0 ? q : angle + q;
        angles[k] = q;
        angles[LINK_COUNT + k] = angle;
    }
    return angles;
}

// The sine-cosine pairs of one derivative, in one sinCosMany call or (for
// comparison in the same run) one glibc sincosf call per angle.
void timeSinCosMany(benchmark::State& state) {
    std::array<float, STATE_SIZE> angles = derivativeAngles(swingingState);
    std::array<float, STATE_SIZE> sines{};
    std::array<float, STATE_SIZE> cosines{};
    benchmark::DoNotOptimize(angles.data());
    for (auto _ : state) {
        sinCosMany(angles.data(), sines.data(), cosines.data(), STATE_SIZE);
        benchmark::DoNotOptimize(sines.data());
        benchmark::DoNotOptimize(cosines.data());
        benchmark::ClobberMemory();
    }
}

void timeSincosf(benchmark::State& state) {
    std::array<float, STATE_SIZE> angles = derivativeAngles(swingingState);
    std::array<float, STATE_SIZE> sines{};
    std::array<float, STATE_SIZE> cosines{};
    benchmark::DoNotOptimize(angles.data());
    for (auto _ : state) {
        for (int i = 0; i < STATE_SIZE; ++i) {
            ::sincosf(angles[i], &sines[i], &cosines[i]);
        }
        benchmark::DoNotOptimize(sines.data());
        benchmark::DoNotOptimize(cosines.data());
        benchmark::ClobberMemory();
    }
}

// Times calls of derivative() writing into xdot, after one untimed call so
// that every timed call damps with the same rates.
template <class Real, class Derivative>
void timeDerivativeCalls(benchmark::State& state, StateArray<Real>& xdot, Derivative derivative) {
    derivative();
    for (auto _ : state) {
        derivative();
        benchmark::DoNotOptimize(xdot.data());
        benchmark::ClobberMemory();
    }
    if (!allFinite(xdot)) {
        state.SkipWithError("the derivative is not finite");
    }
}

void timeDerivative(benchmark::State& state, DerivativeFunction derivative, const StateVector& start,
                    const float target[2], int down) {
    useLinks(start.size() / 2);
    StateVector x = start;
    StateVector xdot{};
    float targetPair[2] = {target[0], target[1]};
    benchmark::DoNotOptimize(x.data());
    benchmark::DoNotOptimize(targetPair);
    timeDerivativeCalls(state, xdot, [&] { derivative(x.data(), xdot.data(), targetPair, down); });
}

// Times calls of step(), putting the chain back at its start (untimed) every
// `restartAfter` steps; reports an error if a state checked at a restart or
// at the end left the finite numbers.
template <class Step, class Restart, class Finite>
void timeSteps(benchmark::State& state, std::int64_t restartAfter, Step step, Restart restart, Finite finite) {
    restart();
    bool allFiniteSoFar = true;
    std::int64_t steps = 0;
    for (auto _ : state) {
        step();
        benchmark::ClobberMemory();
        if (++steps == restartAfter) {
            state.PauseTiming();
            allFiniteSoFar = allFiniteSoFar && finite();
            restart();
            steps = 0;
            state.ResumeTiming();
        }
    }
    allFiniteSoFar = allFiniteSoFar && finite();
    restart();
    if (!allFiniteSoFar) {
        state.SkipWithError("the state left the finite numbers");
    }
}

// The application's own step, on its module-level state.
void timeApplicationStep(benchmark::State& state, const StateVector& start, const float target[2], int down,
                         std::int64_t restartAfter = STEPS_BEFORE_RESTART) {
    useLinks(start.size() / 2);
    mouseTarget(1, 1) = target[0];
    mouseTarget(2, 1) = target[1];
    mouseDown = down;
    auto restart = [&start] {
        currentState = start;
        k1.fill(0.0f);
        k2.fill(0.0f);
        k3.fill(0.0f);
        k4.fill(0.0f);
    };
    timeSteps(state, restartAfter, rungeKuttaStep, restart, [] { return allFinite(currentState); });
    currentState = restingState;
    mouseDown = SPRING_OFF;
}

// The double chain's recursion and Runge-Kutta step, from the float state
// widened, with the default loads and no spring.
void timeDoubleDerivative(benchmark::State& state, const StateVector& start) {
    ChainRecursion<double> recursion;
    recursion.setup(start.size() / 2);
    const StateArray<double> x = widened(start);
    StateArray<double> xdot(x.size());
    const ChainLoads<double> loads = ChainParameters<double>{}.loads();
    const SpringInput<double> spring;
    benchmark::DoNotOptimize(x.data());
    timeDerivativeCalls(state, xdot, [&] { recursion.derivative(x.data(), xdot.data(), loads, spring); });
}

void timeDoubleStep(benchmark::State& state, const StateVector& start, std::int64_t restartAfter) {
    ChainParameters<double> parameters;
    parameters.links = start.size() / 2;
    Chain<double> chain(parameters);
    chain.resting = widened(start);
    timeSteps(
        state, restartAfter, [&chain] { chain.rungeKuttaStep(); }, [&chain] { chain.putBackAtRest(); },
        [&chain] { return allFinite(chain.state); });
}

// The same Runge-Kutta step around the dense derivative, on its own arrays.
struct DenseIntegrator {
    StateVector current{};
    StateVector slope1{};
    StateVector slope2{};
    StateVector slope3{};
    StateVector slope4{};
    StateVector stage{};

    void formStage(const StateVector& slope, float factor, float divisor) {
        for (int i = 0; i < stage.size(); ++i) {
            stage[i] = current[i] + slope[i] * factor / divisor;
        }
    }

    void step(const float target[2], int down) {
        computeDenseStateDerivative(current.data(), slope1.data(), target, down);
        formStage(slope1, STEP_SIZE, 2.0f);
        computeDenseStateDerivative(stage.data(), slope2.data(), target, down);
        formStage(slope2, STEP_SIZE, 2.0f);
        computeDenseStateDerivative(stage.data(), slope3.data(), target, down);
        formStage(slope3, STEP_SIZE, 1.0f);
        computeDenseStateDerivative(stage.data(), slope4.data(), target, down);
        for (int i = 0; i < current.size(); ++i) {
            current[i] = current[i] + (slope1[i] + 2.0f * slope2[i] + 2.0f * slope3[i] + slope4[i]) * SIXTH_STEP;
        }
    }

    void restart(const StateVector& start) {
        current = start;
        stage = StateVector(start.size());
        slope1 = stage;
        slope2 = stage;
        slope3 = stage;
        slope4 = stage;
    }
};

DenseIntegrator denseIntegrator;

void timeDenseStep(benchmark::State& state, const StateVector& start, const float target[2], int down,
                   std::int64_t restartAfter = STEPS_BEFORE_RESTART) {
    useLinks(start.size() / 2);
    float targetPair[2] = {target[0], target[1]};
    benchmark::DoNotOptimize(targetPair);
    timeSteps(
        state, restartAfter,
        [&targetPair, down] {
            denseIntegrator.step(targetPair, down);
            benchmark::DoNotOptimize(denseIntegrator.current.data());
        },
        [&start] { denseIntegrator.restart(start); }, [] { return allFinite(denseIntegrator.current); });
}

double minimum(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }
double maximum(const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); }

template <typename Body>
void add(const std::string& name, Body body) {
    benchmark::RegisterBenchmark(name.c_str(), body)
        ->Unit(benchmark::kNanosecond)
        ->ComputeStatistics("min", minimum)
        ->ComputeStatistics("max", maximum);
}

struct Case {
    const char* name;
    const StateVector* state;
    const float* target;
    int down;
};

void registerBenchmarks() {
    const Case derivativeCases[] = {
        {"rest", &restState, NO_TARGET, SPRING_OFF},
        {"swinging", &swingingState, NO_TARGET, SPRING_OFF},
        {"swinging_spring", &swingingState, DRAG_TARGET, SPRING_ON},
    };
    const Case stepCases[] = {
        {"swinging", &swingingState, NO_TARGET, SPRING_OFF},
        {"swinging_spring", &swingingState, DRAG_TARGET, SPRING_ON},
    };
    add("trigonometry/sinCosMany/swinging", timeSinCosMany);
    add("trigonometry/sincosf/swinging", timeSincosf);
    for (const Case& c : derivativeCases) {
        add(std::string("derivative/recursion/") + c.name, [c](benchmark::State& state) {
            timeDerivative(state, computeStateDerivative, *c.state, c.target, c.down);
        });
        add(std::string("derivative/dense/") + c.name, [c](benchmark::State& state) {
            timeDerivative(state, computeDenseStateDerivative, *c.state, c.target, c.down);
        });
    }
    for (const Case& c : stepCases) {
        add(std::string("step/recursion/") + c.name,
            [c](benchmark::State& state) { timeApplicationStep(state, *c.state, c.target, c.down); });
        add(std::string("step/dense/") + c.name,
            [c](benchmark::State& state) { timeDenseStep(state, *c.state, c.target, c.down); });
    }
}

// ---- Scaling with the number of links ----

// Derivatives are timed on a crumpled chain swinging gently (joint rates
// within 0.5 rad/s), steps on the same crumpled chain released from rest,
// both without the spring. Steps restart every 16 steps: long chains soon
// whip faster than a 1 ms step can follow (see the README's stability study).
constexpr std::int64_t SCALING_STEPS_BEFORE_RESTART = 16;

template <typename Timing>
void timeScaling(benchmark::State& state, float maxRate, Timing timing) {
    const auto links = static_cast<int>(state.range(0));
    useLinks(links);
    timing(state, makeSwingingState(maxRate));
    state.SetComplexityN(links);
}

void registerScaling(const std::string& name, int mostLinks, benchmark::BigO complexity,
                     void (*timing)(benchmark::State&, const StateVector&)) {
    const float maxRate = name.find("/step/") != std::string::npos ? 0.0f : 0.5f;
    benchmark::internal::Benchmark* b = benchmark::RegisterBenchmark(
        name.c_str(), [timing, maxRate](benchmark::State& state) { timeScaling(state, maxRate, timing); });
    for (const int links : SCALING_LINKS) {
        if (links <= mostLinks) {
            b->Arg(links);
        }
    }
    b->Unit(benchmark::kNanosecond)->Complexity(complexity)->ComputeStatistics("min", minimum)->ComputeStatistics(
        "max", maximum);
}

void registerScalingBenchmarks() {
    constexpr int ALL = 1 << 30;
    registerScaling("scaling/derivative/recursion", ALL, benchmark::oN, [](benchmark::State& s, const StateVector& x) {
        timeDerivative(s, computeStateDerivative, x, NO_TARGET, SPRING_OFF);
    });
    registerScaling("scaling/step/recursion", ALL, benchmark::oN, [](benchmark::State& s, const StateVector& x) {
        timeApplicationStep(s, x, NO_TARGET, SPRING_OFF, SCALING_STEPS_BEFORE_RESTART);
    });
    registerScaling("scaling/derivative/double", ALL, benchmark::oN,
                    [](benchmark::State& s, const StateVector& x) { timeDoubleDerivative(s, x); });
    registerScaling("scaling/step/double", ALL, benchmark::oN, [](benchmark::State& s, const StateVector& x) {
        timeDoubleStep(s, x, SCALING_STEPS_BEFORE_RESTART);
    });
    registerScaling("scaling/derivative/dense", DENSE_MOST_LINKS, benchmark::oNCubed,
                    [](benchmark::State& s, const StateVector& x) {
                        timeDerivative(s, computeDenseStateDerivative, x, NO_TARGET, SPRING_OFF);
                    });
    registerScaling("scaling/step/dense", DENSE_MOST_LINKS, benchmark::oNCubed,
                    [](benchmark::State& s, const StateVector& x) {
                        timeDenseStep(s, x, NO_TARGET, SPRING_OFF, SCALING_STEPS_BEFORE_RESTART);
                    });
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    useLinks(LINK_COUNT);
    restState = restingState;
    swingingState = makeSwingingState(3.0f);

    bool agree = agreeOn("rest", restState, NO_TARGET, SPRING_OFF);
    agree = agreeOn("swinging", swingingState, NO_TARGET, SPRING_OFF) && agree;
    agree = agreeOn("swinging, spring", swingingState, DRAG_TARGET, SPRING_ON) && agree;
    if (!agree) {
        std::fprintf(stderr, "the dense formulation disagrees with the recursion: nothing timed\n");
        return 1;
    }

    registerBenchmarks();
    registerScalingBenchmarks();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
