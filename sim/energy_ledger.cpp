#include "sim/energy_ledger.h"

#include "sim/diagnostics.h"
#include "sim/state_view.h"

namespace {

// U = (k/4) |t - 2 r_tip|^2 while the button is held, else 0.
template <class Real>
double springEnergy(const Chain<Real>& chain) {
    if (chain.spring.down != 1) {
        return 0.0;
    }
    const TipPosition tip = tipPosition(chain.state);
    const double dx = static_cast<double>(chain.spring.target[0]) - TARGET_LINK_SPACING * tip.x;
    const double dy = static_cast<double>(chain.spring.target[1]) - TARGET_LINK_SPACING * tip.y;
    return static_cast<double>(chain.parameters.stiffness) / 4.0 * (dx * dx + dy * dy);
}

}  // namespace

double energyScale(int links, double gravity) {
    const double magnitude = (gravity < 0.0 ? -gravity : gravity) * links * links / 2.0;
    return magnitude > 0.0 ? magnitude : 1.0;
}

template <class Real>
void EnergyLedger::start(const Chain<Real>& chain, double g) {
    initial = chainEnergy(chain.state, g);
    booksGravity = g;
    startGravity = static_cast<double>(chain.parameters.gravity);
    damping = 0.0;
    spring = 0.0;
    dampingRates.assign(4 * static_cast<std::size_t>(chain.parameters.links), 0.0);
}

template <class Real>
void EnergyLedger::beforeStep(const Chain<Real>& chain) {
    const int n = chain.parameters.links;
    const StateArray<Real>* const slopes[] = {&chain.k1, &chain.k2, &chain.k3, &chain.k4};
    for (int s = 0; s < 4; ++s) {
        for (int i = 0; i < n; ++i) {
            dampingRates[static_cast<std::size_t>(s * n + i)] = static_cast<double>((*slopes[s])[n + i]);
        }
    }
    springBefore = springEnergy(chain);
}

template <class Real>
void EnergyLedger::afterStep(const Chain<Real>& chain, bool finite, double g) {
    if (!finite) {
        start(chain, g);
        return;
    }
    const int n = chain.parameters.links;
    const StateArray<Real>* const slopes[] = {&chain.k1, &chain.k2, &chain.k3, &chain.k4};
    constexpr double WEIGHTS[] = {1.0, 2.0, 2.0, 1.0};
    double weightedPower = 0.0;
    for (int s = 0; s < 4; ++s) {
        double angularVelocity = 0.0;
        double power = 0.0;
        for (int i = 0; i < n; ++i) {
            angularVelocity += static_cast<double>((*slopes[s])[n + i]);
            power += dampingRates[static_cast<std::size_t>(s * n + i)] * angularVelocity;
        }
        weightedPower += WEIGHTS[s] * power;
    }
    damping += static_cast<double>(chain.parameters.damping) * STEP<double> / 6.0 * weightedPower;
    spring += springBefore - springEnergy(chain);
}

template void EnergyLedger::start(const Chain<float>&, double);
template void EnergyLedger::start(const Chain<double>&, double);
template void EnergyLedger::beforeStep(const Chain<float>&);
template void EnergyLedger::beforeStep(const Chain<double>&);
template void EnergyLedger::afterStep(const Chain<float>&, bool, double);
template void EnergyLedger::afterStep(const Chain<double>&, bool, double);
