// The panel's readouts, gathered once per drawn picture: rates measured over
// wall time, the chain's energy in double precision, and the total energy
// over the last 10 s of simulated time for the plot.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "sim/run_controls.h"

// A count's rate of change over wall time, renewed every RATE_WINDOW seconds.
inline constexpr double RATE_WINDOW = 0.5;

struct RateMeter {
    bool started = false;
    double windowStart = 0.0;
    std::int64_t countAtStart = 0;
    double perSecond = 0.0;
};

void updateRate(RateMeter& meter, std::int64_t count, double now);

// The total energy sampled every ENERGY_SAMPLE_STEPS steps of simulated time
// (at the first picture on or after each sample time), oldest first, over
// the last ENERGY_HISTORY_SECONDS.
inline constexpr std::int64_t ENERGY_SAMPLE_STEPS = 50;
inline constexpr double ENERGY_HISTORY_SECONDS = 10.0;
inline constexpr std::size_t ENERGY_SAMPLES = 200;  // 10 s / 0.05 s

class EnergyHistory {
public:
    // Whether a sample is due at simulated step `step`.
    bool due(std::int64_t step) const { return step >= nextSampleStep; }
    // Records `total` as the sample at simulated step `step`.
    void record(std::int64_t step, double total);
    // Forgets every sample: the run was reset.
    void clear();
    std::size_t size() const { return count; }
    // The i-th sample, oldest first.
    float operator[](std::size_t i) const;

private:
    std::array<float, ENERGY_SAMPLES> samples{};
    std::size_t first = 0;
    std::size_t count = 0;
    std::int64_t nextSampleStep = 0;
};

struct Readouts {
    RateMeter stepRate;
    RateMeter frameRate;
    std::int64_t framesDrawn = 0;
    std::int64_t stepsAtLastFrame = 0;
    std::int64_t stepsLastFrame = 0;  // steps run between the last two pictures
    std::int64_t resetsSeen = 0;
    double kinetic = 0.0;
    double potential = 0.0;
    EnergyHistory totalEnergy;
    // The energy ledger's books (sim/energy_ledger.h) while it is kept: the
    // damping and spring work in J, and the drift in parts per million of
    // the scale, sampled beside the total.
    double dampingWork = 0.0;
    double springWork = 0.0;
    double energyScale = 1.0;
    double energyDrift = 0.0;
    EnergyHistory drift;
};

// Called once per picture, at wall time `now`, after the steps it shows. The
// energy is evaluated when the panel shows it or a sample is due.
void updateReadouts(Readouts& readouts, const RunControls& controls, double now);

// Simulated seconds and the real-time factor of a step rate.
double simulatedSeconds(std::int64_t steps);
double realTimeFactor(double stepsPerSecond);
