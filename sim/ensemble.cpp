#include "sim/ensemble.h"

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
    return sweep.from + (sweep.to - sweep.from) * static_cast<double>(member) / static_cast<double>(members - 1);
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
MemberGroup<Real>::MemberGroup(const EnsembleSpec& ensemble, std::int64_t first, std::int64_t last)
    : spec(ensemble) {
    for (int lane = 0; lane < width; ++lane) {
        memberOf[static_cast<std::size_t>(lane)] = std::min(first + lane, last);
    }
}

template <class Real>
typename MemberGroup<Real>::Scalar MemberGroup<Real>::parameterOf(int lane, SweptParameter parameter,
                                                                  const ChainDescription& description) const {
    for (const Sweep& sweep : spec.sweeps) {
        if (sweep.parameter == parameter) {
            return static_cast<Scalar>(sweptValue(sweep, member(lane), spec.members));
        }
    }
    return describedValue<Scalar>(description, parameter);
}

// Each member's chain: its parameters, then at rest at its own start.
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
                                 spec.perturbation * perturbationUnit(spec.seed, k, j);
            Traits::setLane(angle, lane, static_cast<Scalar>(moved));
        }
    }
    chain.state = chain.resting;
    chain.stage = chain.resting;
}

template <class Real>
void MemberGroup<Real>::take(const InputChange& change) {
    using Traits = LaneTraits<Real>;
    if (change.rebuild) {
        build(change.description);
    } else if (change.reset) {
        chain.putBackAtRest();
    }
    ChainParameters<Real>& p = chain.parameters;
    for (int lane = 0; lane < width; ++lane) {
        Traits::setLane(p.gravity, lane, parameterOf(lane, SweptParameter::Gravity, change.description));
        Traits::setLane(p.damping, lane, parameterOf(lane, SweptParameter::Damping, change.description));
        Traits::setLane(p.stiffness, lane, parameterOf(lane, SweptParameter::Stiffness, change.description));
        Traits::setLane(p.initialAngle, lane, parameterOf(lane, SweptParameter::InitialAngle, change.description));
    }
    chain.spring = {{Real(change.spring.target[0]), Real(change.spring.target[1])}, change.spring.down};
}

template <class Real>
void MemberGroup<Real>::putLaneBackAtRest(int lane) {
    using Traits = LaneTraits<Real>;
    for (int i = 0; i < chain.state.size(); ++i) {
        Traits::setLane(chain.state[i], lane, Traits::lane(chain.resting[i], lane));
        for (StateArray<Real>* slope : {&chain.k1, &chain.k2, &chain.k3, &chain.k4}) {
            Traits::setLane((*slope)[i], lane, Scalar(0));
        }
    }
    ++resetsOf[static_cast<std::size_t>(lane)];
}

template <class Real>
void MemberGroup<Real>::step() {
    using Traits = LaneTraits<Real>;
    chain.rungeKuttaStep();
    // A value is finite exactly when value - value is 0: inf - inf and NaN
    // give NaN. Summed over the state, a lane is finite when its sum is 0.
    Real sum = Real(0);
    for (const Real value : chain.state) {
        sum = sum + (value - value);
    }
    for (int lane = 0; lane < width; ++lane) {
        if (!(Traits::lane(sum, lane) == Scalar(0))) {
            putLaneBackAtRest(lane);
        }
    }
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
