// A reference for the state derivative of long chains, in work linear in N,
// from the momentum balance of the links in the base frame rather than from
// the articulated-body recursion.
//
// With w_i the absolute angular velocity of link i, v_i the velocity of joint
// i, P_i the linear momentum of links i..N, e_i = (cos th_i, sin th_i) and
// e_i' = (-sin th_i, cos th_i), the joint rates follow from one banded linear
// system of 5N equations in (w_i, v_i, P_i):
//   v_1 = 0,  v_(i+1) = v_i + L w_i e_i'                      (joints move with the links)
//   P_i = P_(i+1) + m (v_i + (L/2) w_i e_i'),  P_(N+1) = 0     (momentum of the links outboard)
//   p_i - p_(i+1) = J w_i + (m L/2) e_i x v_i + L e_i x P_(i+1),  p_(N+1) = 0
// the last because p_i is the angular momentum of links i..N about joint i
// (J the moment of inertia of a link about its joint). Then dq_i/dt =
// w_i - w_(i-1), and the rate of that angular momentum about the moving joint
// is the moment of the weights minus v_i x P_i:
//   dp_i/dt = -m g sum_(k >= i) (c_k - r_i).x - (v_i x P_i)_z.
// The system is solved by Gaussian elimination with partial pivoting inside
// its band. Gravity only: no damping rates, no spring.
#pragma once

#include <vector>

// x: p_1..p_N, then q_1..q_N; returns dp/dt, then dq/dt.
template <class Real>
std::vector<Real> bandedStateDerivative(const std::vector<Real>& x);

// The momenta p = M(q) qdot from the same relations read the other way:
// joint velocities from the base out, then momenta from the tip in.
template <class Real>
std::vector<Real> jointMomenta(const std::vector<Real>& q, const std::vector<Real>& qdot);

extern template std::vector<double> bandedStateDerivative(const std::vector<double>& x);
extern template std::vector<long double> bandedStateDerivative(const std::vector<long double>& x);
extern template std::vector<long double> jointMomenta(const std::vector<long double>& q,
                                                      const std::vector<long double>& qdot);
