// The Hamiltonian dynamics of the default chain: N identical links (20 by
// default) in single precision, over module-level working arrays.
//
// computeStateDerivative maps the state (generalized momenta p, joint angles q)
// to its time derivative with the momentum form of the articulated-body
// recursion, in work linear in the number of links:
//   1. kinematics: joint and absolute sines and cosines, the tip link's loads
//      (weight, damping, tip spring);
//   2. backward sweep, tip to base: articulated inertia, momentum bias,
//      subtree force and joint force of every link;
//   3. forward sweep, base to tip: joint rates dq/dt = M(q)^-1 p, link
//      velocities and momentum rates dp/dt = -dH/dq + damping + spring.
//
// It is the float instance of ChainRecursion, whose working values are
// exposed below, indexed by link (entry k belongs to link k + 1), so that
// tests can inspect them. setupUnrolledModel sizes them for chain.links; a
// call then allocates nothing and calls no C library function: sines and
// cosines come from sinCosMany, correctly rounded and the same on every
// machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dynamics/chain_recursion.h"
#include "model/chain_model.h"

// Sizes of the default 20-link chain.
inline constexpr int STATE_SIZE = 2 * LINK_COUNT;
inline constexpr float GRAVITY = 9.81f;
inline constexpr float JOINT_DAMPING = 30.0f;
inline constexpr float SPRING_STIFFNESS = 200.0f;
inline constexpr float INITIAL_BASE_ANGLE = -1.570796f;  // joint 1 points the chain down
inline constexpr std::int32_t MOST_LINKS = 100000;

// The experiment: how many links, gravity (m/s^2 along -y), joint damping
// (N m s per rad), tip-spring stiffness (N/m) and the angle of joint 1 at
// rest (the other joints start at 0), in the chain's precision.
template <class Real>
struct ChainParameters {
    std::int32_t links = LINK_COUNT;
    Real gravity = Real(9.81);
    Real damping = Real(30);
    Real stiffness = Real(200);
    Real initialAngle = Real(-1.570796);

    ChainLoads<Real> loads() const { return {gravity, damping, stiffness}; }
};
using ChainDescription = ChainParameters<float>;
static_assert(ChainDescription{}.gravity == GRAVITY && ChainDescription{}.initialAngle == INITIAL_BASE_ANGLE);

// The chain being simulated. gravity, damping and stiffness are read at every
// derivative, so they may be changed while the chain moves; links takes effect
// at setupUnrolledModel (and the matrix model's and the application's
// set-ups), initialAngle when the simulation is initialised or reset.
extern ChainDescription chain;
// The number of links the working storage is sized for, 2 x it the state size.
extern std::int32_t linkCount;

// A state or derivative array of 2N values: p_1..p_N, then q_1..q_N. Made
// with the size of the default chain set up last, zero-filled.
template <class Real>
class StateArray {
public:
    StateArray() : values(static_cast<std::size_t>(2 * linkCount), Real(0)) {}
    explicit StateArray(int size) : values(static_cast<std::size_t>(size), Real(0)) {}

    Real& operator[](int i) { return values[static_cast<std::size_t>(i)]; }
    const Real& operator[](int i) const { return values[static_cast<std::size_t>(i)]; }
    Real* data() { return values.data(); }
    const Real* data() const { return values.data(); }
    int size() const { return static_cast<int>(values.size()); }
    void fill(Real value) { values.assign(values.size(), value); }
    auto begin() { return values.begin(); }
    auto end() { return values.end(); }
    auto begin() const { return values.begin(); }
    auto end() const { return values.end(); }
    bool operator==(const StateArray& other) const = default;

private:
    std::vector<Real> values;
};
using StateVector = StateArray<float>;

// The default chain's working values (see ChainRecursion), views into the
// storage that setupUnrolledModel sizes.
// Kinematics, N entries each.
extern float* jointCos;
extern float* jointSin;
extern float* absoluteAngle;
extern float* absoluteCos;
extern float* absoluteSin;
// Backward sweep: inertia that links i..N present at joint i with the joints
// beyond free, the momentum they carry beyond that inertia times v_i, the
// external force on them (x, y in frame i) and its moment about joint i.
extern float (*articulatedInertia)[PACKED_INERTIA_SIZE];
extern float (*momentumBias)[SPATIAL_SIZE];
extern float (*subtreeForce)[2];
extern float* jointForce;
// Scratch for one link at a time: articulated inertia and momentum with the
// joint's own axis projected out.
extern float (&projectedInertia)[PACKED_INERTIA_SIZE];
extern float (&projectedMomentum)[SPATIAL_SIZE];
// Forward sweep: absolute angular velocity of link i, velocity of joint i in
// frame i.
extern float* angularVelocity;
extern float* linearVelocityX;
extern float* linearVelocityY;

// Sizes the working arrays for chain.links (the only allocation) and writes
// the tip link's constant spatial inertia. Call before any
// computeStateDerivative, and again whenever chain.links changes.
void setupUnrolledModel();

// x: the state of 2N floats. xdot: the derivative array; its joint-rate half
// (elements N..2N-1) is read at entry as the damping rates r_j, then all 2N
// elements are written. mouseTarget: (x, y) of the tip spring's target in the
// base frame, at two units per link. The spring acts only when mouseDown
// equals 1. x and xdot must be different arrays.
void computeStateDerivative(const float* x, float* xdot, const float mouseTarget[2], int mouseDown);
