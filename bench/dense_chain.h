// A dense formulation of the planar chain of N links, kept as a yardstick for
// the linear-time recursion: it assembles the N x N mass matrix M(q), solves
// M dq/dt = p by Cholesky and forms dp/dt = -dH/dq + damping + spring from the
// closed-form derivative of the kinetic energy, all in single precision, with
// the chain's gravity, damping and stiffness.
//
// It follows the same calling contract as computeStateDerivative: elements
// N..2N-1 of xdot are read at entry as the damping rates, then all 2N elements
// are written; the spring acts only when mouseDown equals 1.
#pragma once

#include "dynamics/chain_dynamics.h"

// Sizes the working storage for the links set up (linkCount).
void setupDenseChain();

void computeDenseStateDerivative(const float* x, float* xdot, const float mouseTarget[2], int mouseDown);
