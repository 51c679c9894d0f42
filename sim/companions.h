// Chains that run beside the run's own, to make chaos visible, and a phase
// portrait of one of its joints. The window and the page show them alike.
//
// The shadow chain (key s) and the ensemble fan (key f) start from the run's
// present state, each joint angle q_j moved by EPS x u(1, k, j) as
// chain20-batch --perturb moves member k's (the shadow is member 1, the fan's
// members 1 to K), and then take the run's input at every step. A reset of
// the run, or a companion leaving the finite numbers, starts it again from
// the run's state.
//
// The shadow runs free from its start: its separation, the distance between
// the two chains' joint angles (rad), grows as the chain's sensitivity to its
// start makes it, until the two chains move apart. The running finite-time
// largest exponent comes from books of its own, as in the ensembles: a hidden
// copy of the shadow, from the same start, adds ln(d / EPS) to a sum every
// 0.1 s and is drawn back to EPS along its separation, as the ensembles'
// Lyapunov shadows are; the exponent is the sum over the time counted, an
// interval with a restart not counted. The fan's spread is the standard
// deviation of its members' tip positions (m): sqrt(mean |tip_k - mean tip|^2).
//
// The phase portrait (key p) samples the angle and the rate of one joint of
// the run's chain (the tip's by default) every 10 steps over the last 10 s;
// its second mode keeps the Poincare section instead: the angle and the rate
// of that joint whenever joint 1 crosses its starting angle upward.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

inline constexpr double DEFAULT_COMPANION_PERTURBATION = 1e-6;
inline constexpr int DEFAULT_FAN_MEMBERS = 32;
inline constexpr int MOST_FAN_MEMBERS = 256;
inline constexpr std::int64_t PHASE_SAMPLE_STEPS = 10;
inline constexpr std::size_t PHASE_SAMPLES = 1000;  // 10 s at one sample per 10 steps

enum class PhaseView { Off, Portrait, Section };

struct PhasePoint {
    float angle;
    float rate;
};

// The last PHASE_SAMPLES points, oldest first.
class PhaseHistory {
public:
    void record(PhasePoint point);
    void clear() { count = 0; }
    std::size_t size() const { return count; }
    PhasePoint operator[](std::size_t i) const { return points[(first + i) % PHASE_SAMPLES]; }

private:
    std::array<PhasePoint, PHASE_SAMPLES> points{};
    std::size_t first = 0;
    std::size_t count = 0;
};

struct CompanionSettings {
    double perturbation = DEFAULT_COMPANION_PERTURBATION;  // EPS, rad
    int fanMembers = DEFAULT_FAN_MEMBERS;                  // K, 1 to MOST_FAN_MEMBERS
    int phaseJoint = 0;                                    // 1-based; 0: the tip's
};
extern CompanionSettings companionSettings;

// The keys' toggles: s and f start or remove their chains; p goes from off
// to the portrait to the section and back to off.
void toggleShadow();
void toggleFan();
void cyclePhaseView();
bool shadowShown();
bool fanShown();
PhaseView phaseView();

// After each step of the run's chain: the companions take its input and
// step, and the phase portrait samples it. After a reset of the run: the
// companions start again from its state.
void stepCompanions();
void restartCompanions();
// Whether any of them is shown (else the run need not call them).
bool companionsActive();

// The readouts: the shadow's separation (rad) and its running exponent
// (1/s, NaN before the first interval), the fan's spread (m, 0 without it).
double shadowSeparation();
double shadowExponent();
double fanSpread();

// The chains to draw: the shadow first if shown, then the fan's members,
// each by its joint angles (relative, as jointAngles holds the run's).
int companionCount();
bool companionIsShadow(int companion);
float companionAngle(int companion, int joint);

const PhaseHistory& phasePoints();
