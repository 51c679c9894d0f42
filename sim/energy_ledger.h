// The energy ledger of a chain: the work its joints' damping has removed and
// its tip spring has done since the books were started, and the drift that
// leaves, E(t) - E(0) - spring work + damping work: with exact arithmetic and
// an exact integrator it is zero, so what it shows is the integrator's and
// the precision's own error.
//
// Damping: the derivative applies to link i the moment -c r_i, r_i the joint
// rate its slope array held from the previous step, so the joints see
// Q_j = sum over i >= j of -c r_i and the power removed is
// c sum_i r_i w_i, w_i = qdot_1 + ... + qdot_i the link's angular velocity.
// Over a step it is integrated with the step's own four stages and RK4's
// weights: h/6 (P1 + 2 P2 + 2 P3 + P4).
// Spring: for the step's fixed target t the force is minus the gradient of
// U = (k/4) |t - 2 r_tip|^2 (two units per link), so its work over a step is
// U before less U after, while the button is held.
#pragma once

#include <vector>

#include "sim/chain.h"

// The scale the drift is stated against: the magnitude of the hanging
// chain's potential energy, m g L N^2 / 2 (1962 J for 20 links at 9.81),
// or 1 J without gravity.
double energyScale(int links, double gravity);

class EnergyLedger {
public:
    // Starts the books at the chain's present state, under gravity g.
    template <class Real>
    void start(const Chain<Real>& chain, double g);

    // Before a step of `chain`: notes the damping rates its slopes hold and
    // the spring's energy.
    template <class Real>
    void beforeStep(const Chain<Real>& chain);

    // After the step: books its damping and spring work. A step that fell
    // back to rest starts the books again.
    template <class Real>
    void afterStep(const Chain<Real>& chain, bool finite, double g);

    double dampingWork() const { return damping; }
    double springWork() const { return spring; }
    double startEnergy() const { return initial; }
    // The gravity the energy is taken under, and the chain's own gravity
    // when the books started.
    double gravity() const { return booksGravity; }
    double chainGravity() const { return startGravity; }
    // E - E(0) - spring work + damping work for the chain's energy E.
    double drift(double energy) const { return energy - initial - spring + damping; }

private:
    double initial = 0.0;
    double booksGravity = 0.0;
    double startGravity = 0.0;
    double damping = 0.0;
    double spring = 0.0;
    double springBefore = 0.0;
    std::vector<double> dampingRates;  // the four slope arrays' joint rates before the step
};
