// Energy and tip position of the chain, evaluated in double precision from a
// single-precision state. The headless runner writes them next to the state;
// the tests use them to judge runs.
//
// Geometry (base frame, x right, y up, joint 1 at the origin):
//   th_i = q_1 + ... + q_i              absolute angle of link i
//   r_1 = 0, r_(i+1) = r_i + L e_i      joints, e_i = (cos th_i, sin th_i)
//   c_i = r_i + (L/2) e_i               centre of mass of link i
// Kinetic energy 1/2 qdot^T M qdot with
//   M_kl = sum over i >= max(k, l) of [ m (c_i - r_k).(c_i - r_l) + Ic ],
// Ic = J - m (L/2)^2 the moment of inertia about the centre of mass (J = 1/3
// about the joint). With p = M qdot the Hamiltonian is
//   H = 1/2 p^T M^-1 p + sum_i m g y(c_i).
#pragma once

#include <array>

#include "dynamics/chain_dynamics.h"

struct TipPosition {
    double x;
    double y;
};

// H(p, q) of the state; M is factored by Cholesky. NaN if the state is not
// finite (M then has no factor).
double chainEnergy(const StateVector& state);

// Kinetic part 1/2 p^T M^-1 p alone.
double kineticEnergy(const StateVector& state);

// Potential part sum_i m g y(c_i) alone; the base is at height 0.
double potentialEnergy(const StateVector& state);

// The free end of link 20, measured from the base.
TipPosition tipPosition(const StateVector& state);

// The mass matrix M(q) of the angles in the state, row-major.
using MassMatrix = std::array<std::array<double, LINK_COUNT>, LINK_COUNT>;
MassMatrix massMatrix(const StateVector& state);
