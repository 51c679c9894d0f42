// Energy and tip position of the chain, evaluated in double precision from a
// state of N links in either precision (N = half the state's size). The headless
// runner writes them next to the state; the tests use them to judge runs.
//
// Geometry (base frame, x right, y up, joint 1 at the origin):
//   th_i = q_1 + ... + q_i              absolute angle of link i
//   r_1 = 0, r_(i+1) = r_i + L e_i      joints, e_i = (cos th_i, sin th_i)
//   c_i = r_i + (L/2) e_i               centre of mass of link i
// Kinetic energy 1/2 qdot^T M qdot with
//   M_kl = sum over i >= max(k, l) of [ m (c_i - r_k).(c_i - r_l) + Ic ],
// Ic = J - m (L/2)^2 the moment of inertia about the centre of mass (J = 1/3
// about the joint). With p = M qdot the Hamiltonian is
//   H = 1/2 p^T M^-1 p + sum_i m g y(c_i),
// g the chain's gravity.
#pragma once

#include <vector>

#include "sim/state_view.h"

struct TipPosition {
    double x;
    double y;
};

// Up to this many links the kinetic energy solves M qdot = p by a dense
// Cholesky factorisation (N^3 / 6 work per row, a fraction of a millisecond
// here); longer chains use the articulated-body solve in linear time.
inline constexpr int DENSE_ENERGY_LINKS = 100;

// H(p, q) of the state, under gravity g, or by default the decimal that the
// chain's float gravity stands for (9.81 for 9.81f), so that the energy does
// not carry the float's representation error. NaN if the state is not finite
// (M then has no factor).
double chainEnergy(StateView state);
double chainEnergy(StateView state, double g);

// The kinetic energy, 1/2 p^T M^-1 p, alone.
double kineticEnergy(StateView state);

// Potential part sum_i m g y(c_i) alone; the base is at height 0.
double potentialEnergy(StateView state);
double potentialEnergy(StateView state, double g);

// The free end of link N, measured from the base.
TipPosition tipPosition(StateView state);

// The mass matrix M(q) of the angles in the state, row by row.
using MassMatrix = std::vector<std::vector<double>>;
MassMatrix massMatrix(StateView state);

// The joint rates M(q)^-1 p of the state by the articulated-body solve in
// double precision, linear in N.
std::vector<double> jointRatesOf(StateView state);
