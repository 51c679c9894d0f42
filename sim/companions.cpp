#include "sim/companions.h"

#include <cmath>
#include <limits>
#include <type_traits>

#include "sim/application.h"
#include "sim/diagnostics.h"
#include "sim/ensemble.h"

CompanionSettings companionSettings;

namespace {

// The companions in one precision: the shadow (none or one), the hidden copy
// of it that the exponent's books renormalise (one with the shadow), and the
// fan's members; those of the run's precision are the ones shown.
template <class Real>
struct CompanionChains {
    std::vector<Chain<Real>> shadow;
    std::vector<Chain<Real>> tallied;
    std::vector<Chain<Real>> fan;
};
CompanionChains<float> floatCompanions;
CompanionChains<double> doubleCompanions;
bool shadowOn = false;
bool fanOn = false;
PhaseView phase = PhaseView::Off;
PhaseHistory phaseHistory;
double previousJointOne = 0.0;
std::int64_t stepsSeen = 0;

// The shadow's books.
LyapunovTally tally;
std::int64_t stepsSinceRenormalisation = 0;

// The run's chain in the precision Real, and the companions kept in it.
template <class Real>
Chain<Real>& runChain() {
    if constexpr (std::is_same_v<Real, float>) {
        return defaultChain;
    } else {
        return doubleChain;
    }
}

template <class Real>
CompanionChains<Real>& companions() {
    if constexpr (std::is_same_v<Real, float>) {
        return floatCompanions;
    } else {
        return doubleCompanions;
    }
}

// The run's chain with every angle moved by EPS u(1, member, j).
template <class Real>
void startFromRun(Chain<Real>& companion, std::int64_t member) {
    const Chain<Real>& run = runChain<Real>();
    companion = run;
    const int n = run.parameters.links;
    for (int j = 1; j <= n; ++j) {
        Real& angle = companion.state[n + j - 1];
        angle = static_cast<Real>(static_cast<double>(angle) +
                                  companionSettings.perturbation * perturbationUnit(1, member, j));
    }
}

// The shadow and the exponent's copy of it, both from member 1's start.
template <class Real>
void startShadow() {
    CompanionChains<Real>& chains = companions<Real>();
    for (std::vector<Chain<Real>>* copies : {&chains.shadow, &chains.tallied}) {
        copies->resize(shadowOn ? 1 : 0);
        for (Chain<Real>& copy : *copies) {
            startFromRun(copy, 1);
        }
    }
    tally = {};
    stepsSinceRenormalisation = 0;
}

template <class Real>
void startFan() {
    std::vector<Chain<Real>>& fan = companions<Real>().fan;
    fan.resize(fanOn ? static_cast<std::size_t>(companionSettings.fanMembers) : 0);
    for (std::size_t k = 0; k < fan.size(); ++k) {
        startFromRun(fan[k], static_cast<std::int64_t>(k) + 1);
    }
}

template <class Real>
double angleDistance(const Chain<Real>& a, const Chain<Real>& b) {
    const int n = a.parameters.links;
    double squared = 0.0;
    for (int j = n; j < 2 * n; ++j) {
        const double gap = static_cast<double>(a.state[j]) - static_cast<double>(b.state[j]);
        squared += gap * gap;
    }
    return std::sqrt(squared);
}

// Benettin's step for the exponent's copy: the growth counted, the
// separation (state and slopes) drawn back to EPS along itself.
template <class Real>
void renormalise(Chain<Real>& copy) {
    const Chain<Real>& run = runChain<Real>();
    const double factor = tally.renormalisation(angleDistance(copy, run), companionSettings.perturbation);
    if (factor == 0.0) {
        startFromRun(copy, 1);
        return;
    }
    StateArray<Real>* const to[] = {&copy.state, &copy.k1, &copy.k2, &copy.k3, &copy.k4};
    const StateArray<Real>* const from[] = {&run.state, &run.k1, &run.k2, &run.k3, &run.k4};
    for (int a = 0; a < 5; ++a) {
        for (int i = 0; i < to[a]->size(); ++i) {
            const double x = static_cast<double>((*from[a])[i]);
            (*to[a])[i] = static_cast<Real>(x + (static_cast<double>((*to[a])[i]) - x) * factor);
        }
    }
}

// A companion takes the run's input and steps; one that left the finite
// numbers starts again from the run. Returns false then.
template <class Real>
bool stepBeside(Chain<Real>& companion, std::int64_t member) {
    const Chain<Real>& run = runChain<Real>();
    companion.parameters = run.parameters;
    companion.spring = run.spring;
    if (companion.step()) {
        return true;
    }
    startFromRun(companion, member);
    return false;
}

// The shadow runs free, so that its distance from the run shows how the two
// starts part; only the exponent's copy is drawn back.
template <class Real>
void stepAll() {
    CompanionChains<Real>& chains = companions<Real>();
    for (Chain<Real>& shadow : chains.shadow) {
        stepBeside(shadow, 1);
    }
    for (Chain<Real>& copy : chains.tallied) {
        tally.clean = stepBeside(copy, 1) && tally.clean;
        if (++stepsSinceRenormalisation == RENORMALISATION_STEPS) {
            renormalise(copy);
            stepsSinceRenormalisation = 0;
        }
    }
    for (std::size_t k = 0; k < chains.fan.size(); ++k) {
        stepBeside(chains.fan[k], static_cast<std::int64_t>(k) + 1);
    }
}

// The chosen joint's angle and its rate over the last step, (k1 + 2 k2 + 2 k3
// + k4) / 6, of the run's chain.
template <class Real>
PhasePoint phasePointOf(int joint) {
    const Chain<Real>& run = runChain<Real>();
    const int n = run.parameters.links;
    const int i = n + joint - 1;
    const double rate = (static_cast<double>(run.k1[i]) + 2.0 * static_cast<double>(run.k2[i]) +
                         2.0 * static_cast<double>(run.k3[i]) + static_cast<double>(run.k4[i])) /
                        6.0;
    return {static_cast<float>(run.state[i]), static_cast<float>(rate)};
}

template <class Real>
void samplePhase() {
    const Chain<Real>& run = runChain<Real>();
    const int n = run.parameters.links;
    const int joint = companionSettings.phaseJoint >= 1 && companionSettings.phaseJoint <= n
                          ? companionSettings.phaseJoint
                          : n;
    const double jointOne = static_cast<double>(run.state[n]) - static_cast<double>(run.resting[n]);
    if (phase == PhaseView::Portrait && stepsSeen % PHASE_SAMPLE_STEPS == 0) {
        phaseHistory.record(phasePointOf<Real>(joint));
    } else if (phase == PhaseView::Section && previousJointOne < 0.0 && jointOne >= 0.0) {
        phaseHistory.record(phasePointOf<Real>(joint));
    }
    previousJointOne = jointOne;
}

template <class Real>
void restartAll() {
    if (shadowOn) {
        startShadow<Real>();
    }
    if (fanOn) {
        startFan<Real>();
    }
    phaseHistory.clear();
}

template <class Real>
double spreadOf() {
    const std::vector<Chain<Real>>& members = companions<Real>().fan;
    if (members.empty()) {
        return 0.0;
    }
    std::vector<TipPosition> tips;
    double meanX = 0.0;
    double meanY = 0.0;
    for (const Chain<Real>& member : members) {
        tips.push_back(tipPosition(member.state));
        meanX += tips.back().x;
        meanY += tips.back().y;
    }
    meanX /= static_cast<double>(tips.size());
    meanY /= static_cast<double>(tips.size());
    double squared = 0.0;
    for (const TipPosition& tip : tips) {
        squared += (tip.x - meanX) * (tip.x - meanX) + (tip.y - meanY) * (tip.y - meanY);
    }
    return std::sqrt(squared / static_cast<double>(tips.size()));
}

template <class Real>
float angleOf(int companion, int joint) {
    const CompanionChains<Real>& chains = companions<Real>();
    const bool shadow = shadowOn && companion == 0;
    const Chain<Real>& chain = shadow ? chains.shadow.front()
                                      : chains.fan[static_cast<std::size_t>(companion - (shadowOn ? 1 : 0))];
    return static_cast<float>(chain.state[chain.parameters.links + joint - 1]);
}

bool inDouble() { return runPrecision == Precision::Double; }

}  // namespace

void PhaseHistory::record(PhasePoint point) {
    if (count < PHASE_SAMPLES) {
        points[(first + count) % PHASE_SAMPLES] = point;
        ++count;
    } else {
        points[first] = point;
        first = (first + 1) % PHASE_SAMPLES;
    }
}

void toggleShadow() {
    shadowOn = !shadowOn;
    inDouble() ? startShadow<double>() : startShadow<float>();
}

void toggleFan() {
    fanOn = !fanOn;
    inDouble() ? startFan<double>() : startFan<float>();
}

void cyclePhaseView() {
    phase = phase == PhaseView::Off ? PhaseView::Portrait : phase == PhaseView::Portrait ? PhaseView::Section
                                                                                         : PhaseView::Off;
    phaseHistory.clear();
}

bool companionsActive() { return shadowOn || fanOn || phase != PhaseView::Off; }

bool shadowShown() { return shadowOn; }
bool fanShown() { return fanOn; }
PhaseView phaseView() { return phase; }

void stepCompanions() {
    ++stepsSeen;
    if (inDouble()) {
        stepAll<double>();
        samplePhase<double>();
    } else {
        stepAll<float>();
        samplePhase<float>();
    }
}

void restartCompanions() { inDouble() ? restartAll<double>() : restartAll<float>(); }

double shadowSeparation() {
    if (!shadowOn) {
        return 0.0;
    }
    return inDouble() ? angleDistance(doubleCompanions.shadow.front(), doubleChain)
                      : angleDistance(floatCompanions.shadow.front(), defaultChain);
}

double shadowExponent() { return tally.exponent(); }

double fanSpread() { return inDouble() ? spreadOf<double>() : spreadOf<float>(); }

int companionCount() {
    const std::size_t count = inDouble() ? doubleCompanions.shadow.size() + doubleCompanions.fan.size()
                                         : floatCompanions.shadow.size() + floatCompanions.fan.size();
    return static_cast<int>(count);
}

bool companionIsShadow(int companion) { return shadowOn && companion == 0; }

float companionAngle(int companion, int joint) {
    return inDouble() ? angleOf<double>(companion, joint) : angleOf<float>(companion, joint);
}

const PhaseHistory& phasePoints() { return phaseHistory; }
