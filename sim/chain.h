// One simulation of a chain as a value: its description, the recursion's
// working storage, the state, the four Runge-Kutta slope arrays, the spring
// input and the step count, in float or double. Any number of chains live in
// one process, on any threads: a chain shares nothing with another.
#pragma once

#include <cstdint>

#include "dynamics/chain_dynamics.h"

// Simulated seconds per step, and h/6 as the quotient in the chain's
// precision.
template <class Real>
inline constexpr Real STEP = Real(0.001);
template <class Real>
inline constexpr Real SIXTH_OF_STEP = STEP<Real> / Real(6);
inline constexpr float STEP_SIZE = STEP<float>;
inline constexpr float SIXTH_STEP = SIXTH_OF_STEP<float>;
static_assert(STEP_SIZE == 0.001f && SIXTH_STEP == 0.001f / 6.0f);

template <class Real>
class Chain {
public:
    // A chain of `links` links at rest: every momentum 0, joint 1 at
    // parameters.initialAngle and the others at 0. The only allocation.
    explicit Chain(const ChainParameters<Real>& chainParameters = {});

    // gravity, damping and stiffness are read at every derivative, so they
    // may change between steps; links and initialAngle act through build().
    ChainParameters<Real> parameters;
    ChainRecursion<Real> recursion;
    StateArray<Real> state;
    // k1..k4 keep, step after step, the slopes of the four evaluations: each
    // evaluation reads its own array's joint rates from the previous step as
    // damping rates, so the arrays are never shared or swapped.
    StateArray<Real> k1, k2, k3, k4;
    StateArray<Real> stage;
    // The start, and the state a step that left the finite numbers falls
    // back to.
    StateArray<Real> resting;
    SpringInput<Real> spring;
    std::int32_t stepCount = 0;  // wraps around after 2^31 - 1 steps
    std::int64_t resetCount = 0;  // steps that ended non-finite and were put back at rest

    // Sizes everything for parameters.links and puts the chain at rest.
    void build();

    // One classical Runge-Kutta step of STEP_SIZE on the state.
    void rungeKuttaStep();

    // The whole step: Runge-Kutta, then the fall-back to rest if the state
    // left the finite numbers, then the count. Returns false when it fell
    // back.
    bool step();

    // Back at the start: the resting state, the four slope arrays zeroed;
    // the step count is kept.
    void putBackAtRest();

private:
    void formStage(const StateArray<Real>& slope, Real factor, Real divisor);
    bool stateIsFinite() const;
};

extern template class Chain<float>;
extern template class Chain<double>;
