// The matrix-based model of the planar chain of N links: the physical constants
// of one link, its 6x6 spatial inertia and link transforms, joint transforms
// from angles, and the conversion of joint angles and velocities into the
// Hamiltonian state (momenta followed by angles).
//
// Spatial vectors are 6x1, linear part first, angular part second, in the
// link's own frame and referred to the link's joint: (vx, vy, vz, wx, wy, wz).
// Link frame i has its origin at joint i, x along the link toward joint i+1
// and z along the joint axis.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "matrix/matrix.h"

// Physical constants of the chain, shared with the unrolled dynamics. Every
// link is the same; LINK_COUNT is the default number of them.
inline constexpr std::int32_t LINK_COUNT = 20;
inline constexpr float LINK_MASS = 1.0f;
inline constexpr float LINK_LENGTH = 1.0f;
inline constexpr float LINK_WIDTH = 0.2f;
// Moments of inertia of a slender box about its long axis (x) and about the
// two axes through the joint normal to it (y, z). Rounded as the products are
// written: 1/150 comes out one unit above the nearest float.
inline constexpr float LINK_INERTIA_X = LINK_WIDTH * LINK_WIDTH * LINK_MASS * (1.0f / 6.0f);
inline constexpr float LINK_INERTIA_Y = LINK_LENGTH * LINK_LENGTH * LINK_MASS * (1.0f / 3.0f);
inline constexpr float LINK_INERTIA_Z = LINK_LENGTH * LINK_LENGTH * LINK_MASS * (1.0f / 3.0f);

// Constant matrices filled by setupMatrixModel (0 x 0 before it runs).
extern Matrix linkInertia;    // 6x6 spatial inertia of one link about its joint
extern Matrix momentumShift;  // 6x6, carries a momentum from a link's far end to its joint
extern Matrix velocityShift;  // 6x6, carries a velocity from a link's joint to its far end
extern Matrix jointMatrix;    // 6x6 working matrix, overwritten by computeMomenta
extern Matrix jointAxis;      // 6x1 motion of a revolute joint: rotation about z

// Per-link spatial vectors (6x1), created by setupMatrixModel.
// linkVelocity[i]: velocity of link i at its joint (entry 0 is the fixed base).
// linkMomentum[i-1]: composite momentum of links i..N about joint i.
extern std::vector<std::unique_ptr<Matrix>> linkVelocity;
extern std::vector<std::unique_ptr<Matrix>> linkMomentum;

// Fills the constant matrices and creates the per-link vectors for `links`
// links.
void setupMatrixModel(std::int32_t links = LINK_COUNT);

// 6x6 block-diagonal rotation about z by the angle: maps link i coordinates
// into link i-1 coordinates when given q_i.
Matrix jointTransform(float angle);

// From Nx1 joint angles q and joint velocities qdot (N the links set up), the
// 2Nx1 state: rows 1..N the generalized momenta p = M(q) qdot, rows N+1..2N
// the angles.
Matrix computeMomenta(Matrix q, Matrix qdot);
