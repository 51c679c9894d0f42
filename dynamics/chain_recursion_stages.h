// The stages of ChainRecursion<Real> (chain_recursion.h), as templates: the
// baseline build instantiates them in chain_recursion.cpp, the AVX2 one in
// chain_recursion_avx2.cpp.
#pragma once

#include <cstddef>

#include "dynamics/chain_recursion.h"
#include "dynamics/sincos.h"

namespace {

// Per-link values of the working arrays: the packed inertia, the momentum
// bias, two of force, one joint force, three of velocity, and two angles with
// their sines and cosines for the trigonometry (the absolute angles and the
// joint and absolute sines and cosines are views into those).
constexpr int VALUES_PER_LINK = PACKED_INERTIA_SIZE + SPATIAL_SIZE + 2 + 1 + 3 + 3 * 2;

}  // namespace

template <class Real>
void ChainRecursion<Real>::setup(std::int32_t links) {
    linksHeld = links;
    const auto count = static_cast<std::size_t>(links);
    storage.assign(count * VALUES_PER_LINK, Real(0));
    Real* next = storage.data();
    const auto take = [&next, count](std::size_t perLink) {
        Real* start = next;
        next += count * perLink;
        return start;
    };
    articulatedInertia = reinterpret_cast<Real (*)[PACKED_INERTIA_SIZE]>(take(PACKED_INERTIA_SIZE));
    momentumBias = reinterpret_cast<Real (*)[SPATIAL_SIZE]>(take(SPATIAL_SIZE));
    subtreeForce = reinterpret_cast<Real (*)[2]>(take(2));
    jointForce = take(1);
    angularVelocity = take(1);
    linearVelocityX = take(1);
    linearVelocityY = take(1);
    trigonometryAngle = take(2);
    trigonometrySin = take(2);
    trigonometryCos = take(2);
    absoluteAngle = trigonometryAngle + count;
    jointSin = trigonometrySin;
    jointCos = trigonometryCos;
    absoluteSin = trigonometrySin + count;
    absoluteCos = trigonometryCos + count;
    if (links == 0) {
        return;
    }

    // The tip link's spatial inertia about its joint: mass on the linear
    // diagonal, first moment m L/2 coupling y with z-rotation (and -m L/2
    // coupling z with y-rotation), and the moments of inertia.
    Real* tip = articulatedInertia[links - 1];
    tip[0] = Link::mass;
    tip[6] = Link::mass;
    tip[11] = Link::mass;
    tip[10] = Link::halfMoment;
    tip[13] = -Link::halfMoment;
    tip[15] = Link::inertiaX;
    tip[18] = Link::inertiaY;
    tip[20] = Link::inertiaZ;
}

// ---- Stage 1: kinematics and tip loads ----

template <class Real>
void ChainRecursion<Real>::computeTrigonometry(const Real* x) {
    // The joint angles q_i, then the absolute angles th_i = q_1 + ... + q_i
    // carried as a running sum; their sines and cosines in one call.
    const int links = linksHeld;
    const Real* q = x + links;
    Real angle = Real(0);
    for (int k = 0; k < links; ++k) {
        angle = k == 0 ? q[k] : angle + q[k];
        trigonometryAngle[k] = q[k];
        trigonometryAngle[links + k] = angle;
    }
    sinCosMany(trigonometryAngle, trigonometrySin, trigonometryCos, 2 * links);
}

// The target seen from the spring's anchor (2, 0) in frame N: rotate it into
// frame 1, then for each further joint shift the origin two units along the
// link and rotate by q_i. The running point stays in double precision.
template <class Real>
void ChainRecursion<Real>::computeSpringStretch(const Real target[2], Real stretch[2]) const {
    const auto widen = LaneTraits<Real>::widen;
    const Real tx = target[0];
    const Real ty = target[1];
    Wide X = widen(jointCos[0] * tx + jointSin[0] * ty);
    Wide Y = widen(-jointSin[0] * tx + jointCos[0] * ty);
    for (int k = 1; k < linksHeld; ++k) {
        const Wide shiftedX = X - TARGET_LINK_SPACING;
        const Wide c = widen(jointCos[k]);
        const Wide s = widen(jointSin[k]);
        const Wide nextX = c * shiftedX + s * Y;
        const Wide nextY = -s * shiftedX + c * Y;
        X = nextX;
        Y = nextY;
    }
    stretch[0] = LaneTraits<Real>::narrow(X - TARGET_LINK_SPACING);
    stretch[1] = LaneTraits<Real>::narrow(Y);
}

// Loads on link N: its weight in its own frame, the moment of that weight at
// the centre of mass plus the damping moment, and while the button is held the
// spring force F = k * stretch at the tip, whose moment about joint N is F.y
// (the tip is one link length out along x). The stretch is formed only when
// the spring acts.
template <class Real>
void ChainRecursion<Real>::computeTipLoads(const LinkLoads& loads, const SpringInput<Real>& spring, Real tipRate) {
    const int tip = linksHeld - 1;
    subtreeForce[tip][0] = loads.weight * absoluteSin[tip];
    subtreeForce[tip][1] = loads.weight * absoluteCos[tip];
    jointForce[tip] = Link::halfLength * absoluteCos[tip] * loads.weight + (-loads.damping) * tipRate;
    if (spring.down == 1) {
        Real stretch[2];
        computeSpringStretch(spring.target, stretch);
        const Real forceX = loads.stiffness * stretch[0];
        const Real forceY = loads.stiffness * stretch[1];
        subtreeForce[tip][0] = subtreeForce[tip][0] + forceX;
        subtreeForce[tip][1] = subtreeForce[tip][1] + forceY;
        jointForce[tip] = jointForce[tip] + forceY;
    }
}

// ---- Stage 2: backward sweep, tip to base ----

// Removes what joint `link` itself takes up: with U the axis column and
// rho = 1/I55, A = I - U U^T rho and P = b + U (p - b5) rho.
template <class Real>
void ChainRecursion<Real>::projectLink(int link, Real p) {
    const Real* I = articulatedInertia[link];
    const Real* b = momentumBias[link];
    const Real U0 = I[I05];
    const Real U1 = I[I15];
    const Real U5 = I[I55];
    const Real rho = Real(1) / U5;
    Real* A = projectedInertia;
    A[I00] = I[I00] - U0 * U0 * rho;
    A[I01] = I[I01] - U0 * U1 * rho;
    A[I11] = I[I11] - U1 * U1 * rho;
    A[I05] = I[I05] - U0 * U5 * rho;
    A[I15] = I[I15] - U1 * U5 * rho;
    A[I55] = I[I55] - U5 * U5 * rho;
    const Real e = p - b[5];
    Real* P = projectedMomentum;
    P[0] = e * U0 * rho + b[0];
    P[1] = e * U1 * rho + b[1];
    P[5] = e * U5 * rho + b[5];
}

// Articulated inertia and momentum bias of `link` from its child's projected
// ones: rotate by joint i+1 (R = [[c, -s], [s, c]]), shift one link length
// back along x to joint i, and add the link's own inertia.
template <class Real>
void ChainRecursion<Real>::assembleInertia(int link) {
    constexpr Scalar L = Link::length;
    constexpr Scalar m = Link::mass;
    const Real c = jointCos[link + 1];
    const Real s = jointSin[link + 1];
    const Real* A = projectedInertia;
    // Linear block B = R A R^T and the rotated axis column (bx, by).
    const Real B00 = c * c * A[I00] - Real(2) * c * s * A[I01] + s * s * A[I11];
    const Real B01 = c * s * A[I00] + (c * c - s * s) * A[I01] - c * s * A[I11];
    const Real B11 = s * s * A[I00] + Real(2) * c * s * A[I01] + c * c * A[I11];
    const Real bx = c * A[I05] - s * A[I15];
    const Real by = s * A[I05] + c * A[I15];
    // Shift by (L, 0): the angular row gains L times the linear y row.
    Real* I = articulatedInertia[link];
    I[I00] = m + B00;
    I[I01] = B01;
    I[I11] = m + B11;
    I[I05] = L * B01 + bx;
    I[I15] = Link::halfMoment + (L * B11 + by);
    I[I55] = Link::inertiaZ + (L * (L * B11 + Real(2) * by) + A[I55]);
    // The child's momentum rotated into frame i, its moment taken about joint i.
    const Real* P = projectedMomentum;
    Real* b = momentumBias[link];
    b[0] = c * P[0] - s * P[1];
    b[1] = s * P[0] + c * P[1];
    b[5] = L * b[1] + P[5];
}

// Resultant external force on links i..N in frame i and its moment about
// joint i: the child's force rotated into frame i plus link i's weight; the
// moment of link i's weight at its centre of mass, of the child's force at
// joint i+1 (only its y component in frame i has a lever), link i's damping
// moment, and the child's moment carried over unchanged.
template <class Real>
void ChainRecursion<Real>::assembleLoads(const LinkLoads& loads, int link, Real rate) {
    constexpr Scalar L = Link::length;
    const Real c = jointCos[link + 1];
    const Real s = jointSin[link + 1];
    const Real childX = subtreeForce[link + 1][0];
    const Real childY = subtreeForce[link + 1][1];
    subtreeForce[link][0] = c * childX - s * childY + loads.weight * absoluteSin[link];
    subtreeForce[link][1] = s * childX + c * childY + loads.weight * absoluteCos[link];
    jointForce[link] = Link::halfLength * absoluteCos[link] * loads.weight + L * c * childY + L * s * childX +
                       (-loads.damping) * rate + jointForce[link + 1];
}

template <class Real>
void ChainRecursion<Real>::backwardSweep(const LinkLoads& loads, const Real* x, const Real* rates) {
    for (int link = linksHeld - 2; link >= 0; --link) {
        projectLink(link + 1, x[link + 1]);
        assembleInertia(link);
        assembleLoads(loads, link, rates[link]);
    }
}

// ---- Stage 3: forward sweep, base to tip ----

// For link i with parent velocity (vx, vy, w): the joint rate that makes the
// axis component of the articulated momentum equal p_i, the velocity of joint
// i in frame i, and dp_i/dt = Q_i - (v x h)_z with h the composite momentum.
template <class Real>
void ChainRecursion<Real>::forwardSweep(const Real* x, Real* xdot) {
    constexpr Scalar L = Link::length;
    const int links = linksHeld;
    Real vx = Real(0);
    Real vy = Real(0);
    Real w = Real(0);
    for (int link = 0; link < links; ++link) {
        const Real* I = articulatedInertia[link];
        const Real* b = momentumBias[link];
        const Real c = jointCos[link];
        const Real s = jointSin[link];
        // u: axis row of the articulated inertia times the velocity link i
        // would have with joint i locked.
        const Real t = c * I[I15] + s * I[I05];
        const Real a = c * I[I05] - s * I[I15];
        const Real u = a * vx + (t * L + I[I55]) * w + t * vy;
        const Real rate = ((x[link] - b[5]) - u) * (Real(1) / I[I55]);
        xdot[links + link] = rate;

        const Real vp = vy + L * w;
        const Real nextVx = c * vx + s * vp;
        const Real nextVy = -s * vx + c * vp;
        vx = nextVx;
        vy = nextVy;
        w = w + rate;
        linearVelocityX[link] = vx;
        linearVelocityY[link] = vy;
        angularVelocity[link] = w;

        const Real h0 = I[I00] * vx + I[I01] * vy + I[I05] * w + b[0];
        const Real h1 = I[I01] * vx + I[I11] * vy + I[I15] * w + b[1];
        xdot[link] = jointForce[link] - (vx * h1 - vy * h0);
    }
}

template <class Real>
void ChainRecursion<Real>::derivative(const Real* x, Real* xdot, const ChainLoads<Real>& chainLoads,
                                      const SpringInput<Real>& spring) {
    const LinkLoads loads{-(chainLoads.gravity * Link::mass), chainLoads.damping, chainLoads.stiffness};
    // The damping rates r_j are the joint rates that the previous call left in
    // this array; the first two stages read them all before the forward sweep
    // overwrites them.
    const Real* rates = xdot + linksHeld;
    computeTrigonometry(x);
    computeTipLoads(loads, spring, rates[linksHeld - 1]);
    backwardSweep(loads, x, rates);
    forwardSweep(x, xdot);
}
