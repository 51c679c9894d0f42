// Ensembles: many members of one run, each a chain of its own under the same
// options and event script, stepped in groups of SIMD lanes (dynamics/lanes.h)
// with each member's bits those of its chain run alone.
//
// Member 0 is the chain the options describe. Member k >= 1 starts with each
// joint angle q_j moved by EPS x u(seed, k, j), formed in double and rounded
// once to the chain's precision:
//   q_j = round(q_j + EPS * u),  u uniform in [-1, 1),
//   u   = (z >> 11) * 2^-52 - 1 with z = mix(mix(mix(seed) ^ k) ^ j),
// mix the SplitMix64 finaliser (add 0x9e3779b97f4a7c15, then the two
// xor-shift-multiply rounds). A member's start thus depends on neither the
// number of members nor the slice of them a process runs.
// A swept parameter varies linearly over the M members, formed in double and
// rounded once:  value_k = FROM + (TO - FROM) * k / (M - 1)  (FROM when M = 1),
// and TO itself for the last member.
//
// With --lyapunov D0 each member has a shadow chain that starts D0 away along
// the unit vector that moves every joint angle by D0 / sqrt(N) (momenta
// alike). Every 0.1 s of simulated time (Benettin's method) the distance d
// between the two chains' joint angles (Euclidean over the N angles, in
// double) adds ln(d / D0) to the member's sum, and the shadow is drawn back
// along the separation: shadow = member + (shadow - member) D0 / d, momenta
// and slopes alike. The distance leaves the momenta out: their scale, M(q)
// times the rates, would add a one-time growth of the order of cond(M) to
// every finite-time sum. The finite-time largest exponent is the sum over the
// time counted. In float, rounding acts as noise on the separation; the
// exponents are meant in double.
// An interval in which the member or its shadow was put back at rest does
// not count: the shadow starts again D0 from the member.
//
// The script acts on every member alike: the conductor plays it on the
// default chain's input state (spring target, button, loads, resets and the
// chain's length), and the members take each change at its step.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "sim/chain.h"
#include "sim/session.h"

enum class SweptParameter { Gravity, Damping, Stiffness, InitialAngle };

struct Sweep {
    SweptParameter parameter;
    double from;
    double to;
};

inline constexpr std::int64_t MOST_MEMBERS = 1000000;

struct EnsembleSetUp {
    std::int64_t members = 1;
    double perturbation = 0.0;  // EPS, radians
    std::uint64_t seed = 1;
    std::vector<Sweep> sweeps;  // each parameter at most once
    double shadowDistance = 0.0;  // D0 of the Lyapunov shadows; 0: none
};

// Steps between the shadows' renormalisations: 0.1 s.
inline constexpr std::int64_t RENORMALISATION_STEPS = 100;

// Benettin's books of one shadow: the sum of ln(d / D0) over the intervals
// counted, and whether the interval now running is clean of resets.
struct LyapunovTally {
    double logGrowth = 0.0;
    std::int64_t intervals = 0;
    bool clean = true;

    // The end of an interval with the shadow `distance` away. A clean one
    // with a finite, positive distance is counted, and the factor D0 / d
    // that draws the separation back to D0 returned; otherwise 0: the shadow
    // starts again D0 away, and the next interval counts.
    double renormalisation(double distance, double shadowDistance);
    // The finite-time largest exponent (1/s) over the intervals counted;
    // NaN before the first.
    double exponent() const;
};

// The name of a swept parameter as its option names it ("damping"), and back.
std::string_view sweptName(SweptParameter parameter);
bool readSweptName(std::string_view name, SweptParameter& parameter);

// u(seed, member, joint) in [-1, 1), joint counted from 1.
double perturbationUnit(std::uint64_t seed, std::int64_t member, std::int32_t joint);

// The sweep's value at `member` of `members`, in double.
double sweptValue(const Sweep& sweep, std::int64_t member, std::int64_t members);

// What the members take from the script before `step`: the conductor's chain
// (its links and starting angle, and its loads), the spring input, whether
// they go back to their starts (a reset) and whether they are built anew for
// another chain (a reset to other links or starting angle, and the start).
struct InputChange {
    std::int64_t step;
    ChainDescription description;
    SpringInput<float> spring;
    bool reset;
    bool rebuild;
};

// Plays what remains of the session's script up to `lastStep` on the default
// chain's input state and lists the changes, the first one (the start)
// before step 1. The session has applied its set-up events already.
std::vector<InputChange> inputTimeline(Session& session, std::int64_t lastStep);

// `Real` members side by side, one per lane: float, double, or the lane
// groups of dynamics/lanes.h. A group of members first .. first + width - 1; lanes past the
// last member repeat it and are not read.
template <class Real>
class MemberGroup {
public:
    using Scalar = typename LaneTraits<Real>::Scalar;
    static constexpr int width = LaneTraits<Real>::width;

    MemberGroup(const EnsembleSetUp& setUp, std::int64_t first, std::int64_t last);

    // Takes a change of the script's input before the next step.
    void take(const InputChange& change);
    // One Runge-Kutta step of every member; a member that left the finite
    // numbers goes back to its start alone.
    void step();

    std::int64_t member(int lane) const { return memberOf[static_cast<std::size_t>(lane)]; }
    StateArray<Scalar> state(int lane) const;
    // The gravity its energy is taken under: the decimal a float stands for.
    double gravity(int lane) const;
    // The member's value of a parameter as its chain holds it.
    Scalar parameter(int lane, SweptParameter parameter) const;
    std::int64_t resets(int lane) const { return resetsOf[static_cast<std::size_t>(lane)]; }
    // The finite-time largest Lyapunov exponent (1/s) over the intervals
    // counted so far; NaN before the first.
    double lyapunovExponent(int lane) const;

private:
    const EnsembleSetUp& setUp;
    std::array<std::int64_t, width> memberOf{};
    std::array<std::int64_t, width> resetsOf{};
    Chain<Real> chain;
    // The shadows (with --lyapunov): their chains and their books.
    Chain<Real> shadow;
    std::array<LyapunovTally, width> tallies{};
    std::int64_t stepsSinceRenormalisation = 0;

    void build(const ChainDescription& description);
    Scalar parameterOf(int lane, SweptParameter parameter, const ChainDescription& description) const;
    void putLaneBackAtRest(Chain<Real>& lanes, int lane);
    bool putNonFiniteLanesBackAtRest(Chain<Real>& lanes, std::array<bool, width>& reset);
    void placeShadow(int lane);
    void renormaliseShadows();
};

extern template class MemberGroup<float>;
extern template class MemberGroup<double>;
extern template class MemberGroup<FloatLanes>;
extern template class MemberGroup<DoubleLanes>;
extern template class MemberGroup<FloatLanesAvx2>;
extern template class MemberGroup<DoubleLanesAvx2>;
