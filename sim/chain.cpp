#include "sim/chain.h"

template <class Real>
Chain<Real>::Chain(const ChainParameters<Real>& chainParameters) : parameters(chainParameters) {
    build();
}

template <class Real>
void Chain<Real>::build() {
    const int size = 2 * parameters.links;
    recursion.setup(parameters.links);
    resting = StateArray<Real>(size);
    if (parameters.links > 0) {
        resting[parameters.links] = parameters.initialAngle;
    }
    state = resting;
    stage = resting;
    k1 = StateArray<Real>(size);
    k2 = k1;
    k3 = k1;
    k4 = k1;
}

// stage = x + k * factor / divisor, element by element (k times h first).
template <class Real>
void Chain<Real>::formStage(const StateArray<Real>& slope, Real factor, Real divisor) {
    Real* next = stage.data();
    const Real* x = state.data();
    const Real* k = slope.data();
    const int n = stage.size();
    for (int i = 0; i < n; ++i) {
        next[i] = x[i] + k[i] * factor / divisor;
    }
}

template <class Real>
void Chain<Real>::rungeKuttaStep() {
    // All four evaluations see the same loads, target and button state.
    const ChainLoads<Real> loads = parameters.loads();
    const SpringInput<Real> input = spring;
    using Scalar = typename LaneTraits<Real>::Scalar;
    const Real h = STEP<Scalar>;
    recursion.derivative(state.data(), k1.data(), loads, input);
    formStage(k1, h, Real(2));
    recursion.derivative(stage.data(), k2.data(), loads, input);
    formStage(k2, h, Real(2));
    recursion.derivative(stage.data(), k3.data(), loads, input);
    formStage(k3, h, Real(1));
    recursion.derivative(stage.data(), k4.data(), loads, input);

    // x += (k1 + 2 k2 + 2 k3 + k4) h/6
    const Real sixthStep = SIXTH_OF_STEP<Scalar>;
    Real* x = state.data();
    const Real* s1 = k1.data();
    const Real* s2 = k2.data();
    const Real* s3 = k3.data();
    const Real* s4 = k4.data();
    const int n = state.size();
    for (int i = 0; i < n; ++i) {
        x[i] = x[i] + (s1[i] + Real(2) * s2[i] + Real(2) * s3[i] + s4[i]) * sixthStep;
    }
}

template <class Real>
bool Chain<Real>::stateIsFinite() const {
    for (const Real value : state) {
        // Finite exactly when value - value is 0: inf - inf and NaN give NaN.
        if (!(value - value == Real(0))) {
            return false;
        }
    }
    return true;
}

template <class Real>
void Chain<Real>::putBackAtRest() {
    state = resting;
    k1.fill(Real(0));
    k2.fill(Real(0));
    k3.fill(Real(0));
    k4.fill(Real(0));
}

template <class Real>
bool Chain<Real>::step() {
    rungeKuttaStep();
    const bool finite = stateIsFinite();
    if (!finite) {
        putBackAtRest();
        ++resetCount;
    }
    // Counted in unsigned arithmetic so that the count wraps instead of
    // overflowing.
    stepCount = static_cast<std::int32_t>(static_cast<std::uint32_t>(stepCount) + 1u);
    return finite;
}

template class Chain<float>;
template class Chain<double>;

// Lanes of chains (the ensembles) use the step and the set-up; their
// members' finiteness is judged lane by lane.
template Chain<FloatLanes>::Chain(const ChainParameters<FloatLanes>&);
template void Chain<FloatLanes>::build();
template void Chain<FloatLanes>::rungeKuttaStep();
template void Chain<FloatLanes>::putBackAtRest();
template Chain<DoubleLanes>::Chain(const ChainParameters<DoubleLanes>&);
template void Chain<DoubleLanes>::build();
template void Chain<DoubleLanes>::rungeKuttaStep();
template void Chain<DoubleLanes>::putBackAtRest();
template Chain<FloatLanesAvx2>::Chain(const ChainParameters<FloatLanesAvx2>&);
template void Chain<FloatLanesAvx2>::build();
template void Chain<FloatLanesAvx2>::rungeKuttaStep();
template void Chain<FloatLanesAvx2>::putBackAtRest();
template Chain<DoubleLanesAvx2>::Chain(const ChainParameters<DoubleLanesAvx2>&);
template void Chain<DoubleLanesAvx2>::build();
template void Chain<DoubleLanesAvx2>::rungeKuttaStep();
template void Chain<DoubleLanesAvx2>::putBackAtRest();
