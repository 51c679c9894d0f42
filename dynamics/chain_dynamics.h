// The unrolled Hamiltonian dynamics of the planar 20-link chain.
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
// All working values live in the fixed-size arrays below, indexed by link
// (entry k belongs to link k + 1), so that tests can inspect them. A call
// allocates nothing and calls no C library function: sines and cosines come
// from sinCosMany, correctly rounded and the same on every machine.
#pragma once

#include <array>

#include "dynamics/sincos.h"
#include "model/chain_model.h"

inline constexpr int STATE_SIZE = 2 * LINK_COUNT;
inline constexpr float GRAVITY = 9.81f;
inline constexpr float JOINT_DAMPING = 30.0f;
inline constexpr float SPRING_STIFFNESS = 200.0f;
// The tip spring measures the chain at two units per link from the base, the
// scale at which the window's cursor target is formed.
inline constexpr double TARGET_LINK_SPACING = 2.0;

// p_1..p_20 in elements 0..19, q_1..q_20 in elements 20..39. A derivative array
// has the same layout: dp_i/dt, then dq_i/dt.
using StateVector = std::array<float, STATE_SIZE>;

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

// Kinematics.
extern float jointCos[LINK_COUNT];
extern float jointSin[LINK_COUNT];
extern float absoluteAngle[LINK_COUNT];
extern float absoluteCos[LINK_COUNT];
extern float absoluteSin[LINK_COUNT];
// Backward sweep: inertia that links i..20 present at joint i with the joints
// beyond free, the momentum they carry beyond that inertia times v_i, the
// external force on them (x, y in frame i) and its moment about joint i.
extern float articulatedInertia[LINK_COUNT][PACKED_INERTIA_SIZE];
extern float momentumBias[LINK_COUNT][SPATIAL_SIZE];
extern float subtreeForce[LINK_COUNT][2];
extern float jointForce[LINK_COUNT];
// Scratch for one link at a time: articulated inertia and momentum with the
// joint's own axis projected out.
extern float projectedInertia[PACKED_INERTIA_SIZE];
extern float projectedMomentum[SPATIAL_SIZE];
// Forward sweep: absolute angular velocity of link i, velocity of joint i in
// frame i, and (scratch) the in-plane linear momentum of links i..20.
extern float angularVelocity[LINK_COUNT];
extern float linearVelocityX[LINK_COUNT];
extern float linearVelocityY[LINK_COUNT];
extern float compositeMomentum[2];

// Writes the tip link's constant spatial inertia. Call once before any
// computeStateDerivative.
void setupUnrolledModel();

// x: the state. xdot: the derivative array; its joint-rate half (elements
// 20..39) is read at entry as the damping rates r_j, then all 40 elements are
// written. mouseTarget: (x, y) of the tip spring's target in the base frame,
// at two units per link. The spring acts only when mouseDown equals 1.
// x and xdot must be different arrays.
void computeStateDerivative(const float x[STATE_SIZE], float xdot[STATE_SIZE], const float mouseTarget[2],
                            int mouseDown);
