#include "sim/readouts.h"

#include "sim/application.h"
#include "sim/diagnostics.h"

void updateRate(RateMeter& meter, std::int64_t count, double now) {
    if (!meter.started) {
        meter = {true, now, count, 0.0};
        return;
    }
    const double elapsed = now - meter.windowStart;
    if (elapsed >= RATE_WINDOW) {
        meter.perSecond = static_cast<double>(count - meter.countAtStart) / elapsed;
        meter.windowStart = now;
        meter.countAtStart = count;
    }
}

void EnergyHistory::clear() {
    first = 0;
    count = 0;
    nextSampleStep = 0;
}

void EnergyHistory::record(std::int64_t step, double total) {
    if (count < ENERGY_SAMPLES) {
        samples[(first + count) % ENERGY_SAMPLES] = static_cast<float>(total);
        ++count;
    } else {
        samples[first] = static_cast<float>(total);
        first = (first + 1) % ENERGY_SAMPLES;
    }
    // The next sample time after this step, on the grid of sample times.
    nextSampleStep = (step / ENERGY_SAMPLE_STEPS + 1) * ENERGY_SAMPLE_STEPS;
}

float EnergyHistory::operator[](std::size_t i) const { return samples[(first + i) % ENERGY_SAMPLES]; }

void updateReadouts(Readouts& readouts, const RunControls& controls, double now) {
    ++readouts.framesDrawn;
    readouts.stepsLastFrame = controls.stepsRun - readouts.stepsAtLastFrame;
    readouts.stepsAtLastFrame = controls.stepsRun;
    updateRate(readouts.stepRate, controls.stepsRun, now);
    updateRate(readouts.frameRate, readouts.framesDrawn, now);
    if (controls.resets != readouts.resetsSeen) {
        readouts.resetsSeen = controls.resets;
        readouts.totalEnergy.clear();
        readouts.drift.clear();
    }
    const bool sampleDue = readouts.totalEnergy.due(controls.stepsSinceReset);
    if (!controls.panelShown && !sampleDue) {
        return;
    }
    readouts.kinetic = kineticEnergy(runState());
    readouts.potential = potentialEnergy(runState());
    readouts.dampingWork = runLedger.dampingWork();
    readouts.springWork = runLedger.springWork();
    readouts.energyScale = energyScale(runState().links(), runLedger.gravity());
    readouts.energyDrift = runLedger.drift(readouts.kinetic + readouts.potential) / readouts.energyScale * 1e6;
    if (sampleDue) {
        readouts.totalEnergy.record(controls.stepsSinceReset, readouts.kinetic + readouts.potential);
        readouts.drift.record(controls.stepsSinceReset, readouts.energyDrift);
    }
}

// A step is exactly one thousandth of a second of simulated time.
double simulatedSeconds(std::int64_t steps) { return static_cast<double>(steps) / 1000.0; }

double realTimeFactor(double stepsPerSecond) { return stepsPerSecond / 1000.0; }
