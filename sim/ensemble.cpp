#include "sim/ensemble.h"

#include <cmath>
#include <limits>
#include <type_traits>

#include "sim/application.h"
#include "sim/shortest_text.h"

namespace {

constexpr std::string_view SWEPT_NAMES[] = {"gravity", "damping", "stiffness", "initial-angle"};

// SplitMix64's step: the golden-ratio increment, then its finaliser.
std::uint64_t mix(std::uint64_t z) {
    z += 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// The description's value of a parameter in the chain's precision: a float
// as it is, for double the decimal it stands for.
template <class Scalar>
Scalar describedValue(const ChainDescription& description, SweptParameter parameter) {
    const float values[] = {description.gravity, description.damping, description.stiffness,
                            description.initialAngle};
    const float value = values[static_cast<int>(parameter)];
    if constexpr (std::is_same_v<Scalar, float>) {
        return value;
    } else {
        return decimalOf(value);
    }
}

// Whether the script's chain changed in what a member is built from.
bool rebuilds(const ChainDescription& before, const ChainDescription& after) {
    return before.links != after.links || before.initialAngle != after.initialAngle;
}

}  // namespace

std::string_view sweptName(SweptParameter parameter) { return SWEPT_NAMES[static_cast<int>(parameter)]; }

bool readSweptName(std::string_view name, SweptParameter& parameter) {
    for (int i = 0; i < 4; ++i) {
        if (name == SWEPT_NAMES[i]) {
            parameter = static_cast<SweptParameter>(i);
            return true;
        }
    }
    return false;
}

double perturbationUnit(std::uint64_t seed, std::int64_t member, std::int32_t joint) {
    const std::uint64_t z = mix(mix(mix(seed) ^ static_cast<std::uint64_t>(member)) ^ static_cast<std::uint64_t>(joint));
    // 53 random bits, scaled to [0, 2) exactly, then shifted to [-1, 1).
    return static_cast<double>(z >> 11) * 0x1p-52 - 1.0;
}

double sweptValue(const Sweep& sweep, std::int64_t member, std::int64_t members) {
    if (members == 1) {
        return sweep.from;
    }
    // FROM + (TO - FROM) rounds twice and may miss TO by an ulp: the last
    // member takes TO itself.
    if (member == members - 1) {
        return sweep.to;
    }
    return sweep.from + (sweep.to - sweep.from) * static_cast<double>(member) / static_cast<double>(members - 1);
}

double LyapunovTally::renormalisation(double distance, double shadowDistance) {
    if (!clean || !(distance > 0.0) || !std::isfinite(distance)) {
        clean = true;
        return 0.0;
    }
    logGrowth += std::log(distance / shadowDistance);
    ++intervals;
    return shadowDistance / distance;
}

double LyapunovTally::exponent() const {
    if (intervals == 0) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return logGrowth / (static_cast<double>(intervals * RENORMALISATION_STEPS) * STEP<double>);
}

std::vector<InputChange> inputTimeline(Session& session, std::int64_t lastStep) {
    const auto current = [] {
        return InputChange{1, chain, {{mouseTarget(1, 1), mouseTarget(2, 1)}, mouseDown}, false, false};
    };
    std::vector<InputChange> changes{current()};
    changes.front().rebuild = true;
    const std::vector<ScriptEvent>& events = session.script;
    std::size_t& next = session.nextScriptEvent;
    while (next < events.size() && events[next].step <= lastStep) {
        const std::int64_t step = std::max<std::int64_t>(events[next].step, 1);
        const ChainDescription before = chain;
        bool reset = false;
        for (; next < events.size() && std::max<std::int64_t>(events[next].step, 1) == step; ++next) {
            applyEvent(events[next], session.target);
            reset = reset || events[next].kind == EventKind::Reset;
        }
        InputChange change = current();
        change.step = step;
        change.reset = reset;
        change.rebuild = reset && rebuilds(before, chain);
        if (changes.back().step == step) {
            change.rebuild = change.rebuild || changes.back().rebuild;
            change.reset = change.reset || changes.back().reset;
            changes.back() = change;
        } else {
            changes.push_back(change);
        }
    }
    return changes;
}

template <class Real>
MemberGroup<Real>::MemberGroup(const EnsembleSetUp& ensemble, std::int64_t first, std::int64_t last)
    : setUp(ensemble) {
    for (int lane = 0; lane < width; ++lane) {
        memberOf[static_cast<std::size_t>(lane)] = std::min(first + lane, last);
    }
}

template <class Real>
typename MemberGroup<Real>::Scalar MemberGroup<Real>::parameterOf(int lane, SweptParameter parameter,
                                                                  const ChainDescription& description) const {
    for (const Sweep& sweep : setUp.sweeps) {
        if (sweep.parameter == parameter) {
            return static_cast<Scalar>(sweptValue(sweep, member(lane), setUp.members));
        }
    }
    return describedValue<Scalar>(description, parameter);
}

// Each member's chain: its parameters, then at rest at its own start; its
// shadow at rest D0 from it.
template <class Real>
void MemberGroup<Real>::build(const ChainDescription& description) {
    using Traits = LaneTraits<Real>;
    const int links = description.links;
    chain.parameters.links = links;
    chain.build();
    for (int lane = 0; lane < width; ++lane) {
        const std::int64_t k = member(lane);
        Traits::setLane(chain.resting[links], lane, parameterOf(lane, SweptParameter::InitialAngle, description));
        for (int j = 1; k > 0 && j <= links; ++j) {
            Real& angle = chain.resting[links + j - 1];
            const double moved = static_cast<double>(Traits::lane(angle, lane)) +
                                 setUp.perturbation * perturbationUnit(setUp.seed, k, j);
            Traits::setLane(angle, lane, static_cast<Scalar>(moved));
        }
    }
    chain.state = chain.resting;
    chain.stage = chain.resting;
    if (setUp.shadowDistance > 0.0) {
        shadow.parameters.links = links;
        shadow.build();
        for (int lane = 0; lane < width; ++lane) {
            placeShadow(lane);
        }
        shadow.resting = shadow.state;
        for (LyapunovTally& tally : tallies) {
            tally.clean = true;
        }
        stepsSinceRenormalisation = 0;
    }
}

template <class Real>
void MemberGroup<Real>::take(const InputChange& change) {
    using Traits = LaneTraits<Real>;
    if (change.rebuild) {
        build(change.description);
    } else if (change.reset) {
        chain.putBackAtRest();
        shadow.putBackAtRest();
        for (LyapunovTally& tally : tallies) {
            tally.clean = false;
        }
    }
    ChainParameters<Real>& p = chain.parameters;
    for (int lane = 0; lane < width; ++lane) {
        Traits::setLane(p.gravity, lane, parameterOf(lane, SweptParameter::Gravity, change.description));
        Traits::setLane(p.damping, lane, parameterOf(lane, SweptParameter::Damping, change.description));
        Traits::setLane(p.stiffness, lane, parameterOf(lane, SweptParameter::Stiffness, change.description));
        Traits::setLane(p.initialAngle, lane, parameterOf(lane, SweptParameter::InitialAngle, change.description));
    }
    chain.spring = {{Real(change.spring.target[0]), Real(change.spring.target[1])}, change.spring.down};
    shadow.parameters = chain.parameters;
    shadow.spring = chain.spring;
}

template <class Real>
void MemberGroup<Real>::putLaneBackAtRest(Chain<Real>& lanes, int lane) {
    using Traits = LaneTraits<Real>;
    for (int i = 0; i < lanes.state.size(); ++i) {
        Traits::setLane(lanes.state[i], lane, Traits::lane(lanes.resting[i], lane));
        for (StateArray<Real>* slope : {&lanes.k1, &lanes.k2, &lanes.k3, &lanes.k4}) {
            Traits::setLane((*slope)[i], lane, Scalar(0));
        }
    }
}

// Puts each lane that left the finite numbers back at rest and marks it.
// A value is finite exactly when value - value is 0: inf - inf and NaN give
// NaN. Summed over the state, a lane is finite when its sum is 0.
template <class Real>
bool MemberGroup<Real>::putNonFiniteLanesBackAtRest(Chain<Real>& lanes, std::array<bool, width>& reset) {
    Real sum = Real(0);
    for (const Real value : lanes.state) {
        sum = sum + (value - value);
    }
    bool any = false;
    for (int lane = 0; lane < width; ++lane) {
        reset[static_cast<std::size_t>(lane)] = !(LaneTraits<Real>::lane(sum, lane) == Scalar(0));
        if (reset[static_cast<std::size_t>(lane)]) {
            putLaneBackAtRest(lanes, lane);
            any = true;
        }
    }
    return any;
}

// The shadow D0 from its member along every angle alike, with the member's
// slopes.
template <class Real>
void MemberGroup<Real>::placeShadow(int lane) {
    using Traits = LaneTraits<Real>;
    const int n = chain.state.size();
    const double offset = setUp.shadowDistance / std::sqrt(static_cast<double>(n / 2));
    for (int i = 0; i < n; ++i) {
        const double value = static_cast<double>(Traits::lane(chain.state[i], lane)) + (i < n / 2 ? 0.0 : offset);
        Traits::setLane(shadow.state[i], lane, static_cast<Scalar>(value));
        for (int s = 0; s < 4; ++s) {
            const StateArray<Real>* const from[] = {&chain.k1, &chain.k2, &chain.k3, &chain.k4};
            StateArray<Real>* const to[] = {&shadow.k1, &shadow.k2, &shadow.k3, &shadow.k4};
            Traits::setLane((*to[s])[i], lane, Traits::lane((*from[s])[i], lane));
        }
    }
}

// Benettin's step: the growth of each clean lane's separation counted, the
// shadow drawn back to D0 along it (its slopes alike); a lane whose interval
// saw a reset starts again D0 from its member.
template <class Real>
void MemberGroup<Real>::renormaliseShadows() {
    using Traits = LaneTraits<Real>;
    StateArray<Real>* const memberArrays[] = {&chain.state, &chain.k1, &chain.k2, &chain.k3, &chain.k4};
    StateArray<Real>* const shadowArrays[] = {&shadow.state, &shadow.k1, &shadow.k2, &shadow.k3, &shadow.k4};
    for (int lane = 0; lane < width; ++lane) {
        double squared = 0.0;
        for (int i = chain.state.size() / 2; i < chain.state.size(); ++i) {
            const double gap = static_cast<double>(Traits::lane(shadow.state[i], lane)) -
                               static_cast<double>(Traits::lane(chain.state[i], lane));
            squared += gap * gap;
        }
        const double factor =
            tallies[static_cast<std::size_t>(lane)].renormalisation(std::sqrt(squared), setUp.shadowDistance);
        if (factor == 0.0) {
            placeShadow(lane);
            continue;
        }
        for (int a = 0; a < 5; ++a) {
            for (int i = 0; i < chain.state.size(); ++i) {
                const double x = static_cast<double>(Traits::lane((*memberArrays[a])[i], lane));
                const double y = static_cast<double>(Traits::lane((*shadowArrays[a])[i], lane));
                Traits::setLane((*shadowArrays[a])[i], lane, static_cast<Scalar>(x + (y - x) * factor));
            }
        }
    }
}

template <class Real>
void MemberGroup<Real>::step() {
    chain.rungeKuttaStep();
    std::array<bool, width> memberReset{};
    putNonFiniteLanesBackAtRest(chain, memberReset);
    for (int lane = 0; lane < width; ++lane) {
        resetsOf[static_cast<std::size_t>(lane)] += memberReset[static_cast<std::size_t>(lane)] ? 1 : 0;
    }
    if (setUp.shadowDistance <= 0.0) {
        return;
    }
    shadow.rungeKuttaStep();
    std::array<bool, width> shadowReset{};
    putNonFiniteLanesBackAtRest(shadow, shadowReset);
    for (int lane = 0; lane < width; ++lane) {
        const auto l = static_cast<std::size_t>(lane);
        if (memberReset[l] || shadowReset[l]) {
            placeShadow(lane);
            tallies[l].clean = false;
        }
    }
    if (++stepsSinceRenormalisation == RENORMALISATION_STEPS) {
        renormaliseShadows();
        stepsSinceRenormalisation = 0;
    }
}

template <class Real>
double MemberGroup<Real>::lyapunovExponent(int lane) const {
    return tallies[static_cast<std::size_t>(lane)].exponent();
}

template <class Real>
StateArray<typename MemberGroup<Real>::Scalar> MemberGroup<Real>::state(int lane) const {
    StateArray<Scalar> values(chain.state.size());
    for (int i = 0; i < values.size(); ++i) {
        values[i] = LaneTraits<Real>::lane(chain.state[i], lane);
    }
    return values;
}

template <class Real>
double MemberGroup<Real>::gravity(int lane) const {
    const Scalar g = LaneTraits<Real>::lane(chain.parameters.gravity, lane);
    if constexpr (std::is_same_v<Scalar, float>) {
        return decimalOf(g);
    } else {
        return g;
    }
}

template <class Real>
typename MemberGroup<Real>::Scalar MemberGroup<Real>::parameter(int lane, SweptParameter which) const {
    const ChainParameters<Real>& p = chain.parameters;
    const Real values[] = {p.gravity, p.damping, p.stiffness, p.initialAngle};
    return LaneTraits<Real>::lane(values[static_cast<int>(which)], lane);
}

template class MemberGroup<float>;
template class MemberGroup<double>;
template class MemberGroup<FloatLanes>;
template class MemberGroup<DoubleLanes>;
template class MemberGroup<FloatLanesAvx2>;
template class MemberGroup<DoubleLanesAvx2>;
