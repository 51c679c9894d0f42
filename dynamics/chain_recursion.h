// The momentum form of the articulated-body recursion for a planar chain of
// N identical links, written once for single and double precision.
//
// ChainRecursion<Real> owns the working storage of one chain: any number of
// them live side by side, on any threads, each independent. derivative() maps
// the state (generalized momenta p, joint angles q) to its time derivative in
// three stages:
//   1. kinematics: joint and absolute sines and cosines, the tip link's loads
//      (weight, damping, tip spring);
//   2. backward sweep, tip to base: articulated inertia, momentum bias,
//      subtree force and joint force of every link;
//   3. forward sweep, base to tip: joint rates dq/dt = M(q)^-1 p, link
//      velocities and momentum rates dp/dt = -dH/dq + damping + spring.
// Every stored intermediate is rounded to Real in the order written, so the
// float instance gives the same bits on every machine, and the double one
// follows the same order. Instantiated for lanes (dynamics/lanes.h), it runs
// several chains at once, each lane with the bits of its chain alone.
// setup() is the only allocation; derivative() allocates nothing and calls no
// C library function.
#pragma once

#include <cstdint>
#include <vector>

#include "dynamics/lanes.h"
#include "model/chain_model.h"

// A symmetric 6x6 inertia packed as its upper triangle, row by row.
inline constexpr int PACKED_INERTIA_SIZE = 21;
// Packed indices of the six entries that planar motion uses: (0,0), (0,1),
// (0,5), (1,1), (1,5), (5,5). Spatial components 0, 1 are the in-plane linear
// ones, component 5 the rotation about the joint axis.
inline constexpr int I00 = 0;
inline constexpr int I01 = 1;
inline constexpr int I05 = 5;
inline constexpr int I11 = 6;
inline constexpr int I15 = 10;
inline constexpr int I55 = 20;
inline constexpr int SPATIAL_SIZE = 6;

// The tip spring measures the chain at two units per link from the base, the
// scale at which the window's cursor target is formed.
inline constexpr double TARGET_LINK_SPACING = 2.0;

// One link's constants in the chain's precision: the float ones are exactly
// the model's, the double ones the same products formed in double.
template <class Real>
struct LinkConstants {
    static constexpr Real mass = Real(1);
    static constexpr Real length = Real(1);
    static constexpr Real width = Real(0.2);
    static constexpr Real inertiaX = width * width * mass * (Real(1) / Real(6));
    static constexpr Real inertiaY = length * length * mass * (Real(1) / Real(3));
    static constexpr Real inertiaZ = length * length * mass * (Real(1) / Real(3));
    static constexpr Real halfLength = length * Real(0.5);        // lever of a link's weight
    static constexpr Real halfMoment = length * mass * Real(0.5);  // first moment about the joint
};
static_assert(LinkConstants<float>::inertiaX == LINK_INERTIA_X && LinkConstants<float>::inertiaZ == LINK_INERTIA_Z &&
              LinkConstants<float>::width == LINK_WIDTH && LinkConstants<float>::mass == LINK_MASS);

// The loads that may change between calls: gravity along -y (m/s^2), joint
// damping (N m s per rad) and the tip spring's stiffness (N/m).
template <class Real>
struct ChainLoads {
    Real gravity;
    Real damping;
    Real stiffness;
};

// The tip spring's input: its target (x, y) in the base frame at two units
// per link, and whether it acts (1 while the button is held).
template <class Real>
struct SpringInput {
    Real target[2] = {Real(0), Real(0)};
    std::int32_t down = -1;
};

template <class Real>
class ChainRecursion {
public:
    ChainRecursion() = default;
    // A copy gets working arrays of its own, for the same number of links;
    // their contents matter only within one derivative call.
    ChainRecursion(const ChainRecursion& other) { setup(other.linksHeld); }
    ChainRecursion& operator=(const ChainRecursion& other) {
        if (this != &other) {
            setup(other.linksHeld);
        }
        return *this;
    }
    ChainRecursion(ChainRecursion&&) noexcept = default;
    ChainRecursion& operator=(ChainRecursion&&) noexcept = default;

    // Sizes the working arrays for `links` links and writes the tip link's
    // constant spatial inertia.
    void setup(std::int32_t links);
    std::int32_t links() const { return linksHeld; }

    // x: the state of 2N values. xdot: the derivative array; its joint-rate
    // half (elements N..2N-1) is read at entry as the damping rates r_j, then
    // all 2N elements are written. The spring acts only when spring.down
    // equals 1. x and xdot must be different arrays.
    void derivative(const Real* x, Real* xdot, const ChainLoads<Real>& loads, const SpringInput<Real>& spring);

    // The working values, indexed by link (entry k belongs to link k + 1).
    // Kinematics:
    Real* jointCos = nullptr;
    Real* jointSin = nullptr;
    Real* absoluteAngle = nullptr;
    Real* absoluteCos = nullptr;
    Real* absoluteSin = nullptr;
    // Backward sweep: inertia that links i..N present at joint i with the
    // joints beyond free, the momentum they carry beyond that inertia times
    // v_i, the external force on them (x, y in frame i) and its moment about
    // joint i.
    Real (*articulatedInertia)[PACKED_INERTIA_SIZE] = nullptr;
    Real (*momentumBias)[SPATIAL_SIZE] = nullptr;
    Real (*subtreeForce)[2] = nullptr;
    Real* jointForce = nullptr;
    // Scratch for one link at a time: articulated inertia and momentum with
    // the joint's own axis projected out.
    Real projectedInertia[PACKED_INERTIA_SIZE] = {};
    Real projectedMomentum[SPATIAL_SIZE] = {};
    // Forward sweep: absolute angular velocity of link i and velocity of
    // joint i in frame i.
    Real* angularVelocity = nullptr;
    Real* linearVelocityX = nullptr;
    Real* linearVelocityY = nullptr;

private:
    using Scalar = typename LaneTraits<Real>::Scalar;
    using Wide = typename LaneTraits<Real>::Wide;
    using Link = LinkConstants<Scalar>;
    // One link's weight along base y, and the damping, as the sweeps use them.
    struct LinkLoads {
        Real weight;
        Real damping;
        Real stiffness;
    };

    void computeTrigonometry(const Real* x);
    void computeSpringStretch(const Real target[2], Real stretch[2]) const;
    void computeTipLoads(const LinkLoads& loads, const SpringInput<Real>& spring, Real tipRate);
    // The backward sweep's steps for one link, inlined into it so that the
    // sweep runs as one loop (as called functions they cost a tenth of the
    // derivative).
    [[gnu::always_inline]] inline void projectLink(int link, Real p);
    [[gnu::always_inline]] inline void assembleInertia(int link);
    [[gnu::always_inline]] inline void assembleLoads(const LinkLoads& loads, int link, Real rate);
    void backwardSweep(const LinkLoads& loads, const Real* x, const Real* rates);
    void forwardSweep(const Real* x, Real* xdot);

    std::int32_t linksHeld = 0;
    std::vector<Real> storage;
    // The angles whose sines and cosines a call needs, joint angles first (2N
    // each); the trigonometry writes the sines and cosines where jointSin,
    // jointCos, absoluteSin and absoluteCos read them.
    Real* trigonometryAngle = nullptr;
    Real* trigonometrySin = nullptr;
    Real* trigonometryCos = nullptr;
};

extern template class ChainRecursion<float>;
extern template class ChainRecursion<double>;
extern template class ChainRecursion<FloatLanes>;
extern template class ChainRecursion<DoubleLanes>;
extern template class ChainRecursion<FloatLanesAvx2>;
extern template class ChainRecursion<DoubleLanesAvx2>;
