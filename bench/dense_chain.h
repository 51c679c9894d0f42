// A dense formulation of the planar 20-link chain, kept as a yardstick for the
// linear-time recursion: it assembles the 20x20 mass matrix M(q), solves
// M dq/dt = p by Cholesky and forms dp/dt = -dH/dq + damping + spring from the
// closed-form derivative of the kinetic energy, all in single precision.
//
// It follows the same calling contract as computeStateDerivative: elements
// 20..39 of xdot are read at entry as the damping rates, then all 40 elements
// are written; the spring acts only when mouseDown equals 1.
#pragma once

#include "dynamics/chain_dynamics.h"

void computeDenseStateDerivative(const float x[STATE_SIZE], float xdot[STATE_SIZE], const float mouseTarget[2],
                                 int mouseDown);
