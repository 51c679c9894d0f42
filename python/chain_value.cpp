#include "python/chain_value.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <system_error>
#include <stdexcept>
#include <vector>

#include "cli/script_file.h"
#include "model/chain_model.h"
#include "sim/diagnostics.h"
#include "sim/parameters.h"
#include "sim/shortest_text.h"
#include "sim/state_hash.h"

namespace {

// The spring's input for a press or drag at (x, y), mapped as the window maps
// the cursor, at this chain's length.
SpringInput<float> springAt(int x, int y, const ViewTransform& view, std::int32_t links, std::int32_t down) {
    const std::array<float, 2> target = cursorTarget(x, y, view, links);
    return {{target[0], target[1]}, down};
}

// The chain's parameters in its precision: the floats as they are, for
// double the decimals they stand for.
template <class Real>
ChainParameters<Real> parametersOf(const ChainDescription& description) {
    if constexpr (std::is_same_v<Real, float>) {
        return description;
    } else {
        return decimalParameters(description);
    }
}

void setFromText(ChainDescription& description, const std::string& name, const std::string& text) {
    std::string error;
    if (!setChainParameter(name, text, description, error)) {
        throw py::value_error(error);
    }
}

template <class Real>
class RunOf final : public Run {
public:
    // Shared with the arrays handed out: p and q read before a rebuild stay
    // valid, as the old chain's state.
    std::shared_ptr<Chain<Real>> chain = std::make_shared<Chain<Real>>();
    void rebuild() override { chain = std::make_shared<Chain<Real>>(parametersOf<Real>(description)); }
    void restart() override { chain->putBackAtRest(); }
    void takeLoads() override {
        const ChainParameters<Real> p = parametersOf<Real>(description);
        chain->parameters.gravity = p.gravity;
        chain->parameters.damping = p.damping;
        chain->parameters.stiffness = p.stiffness;
        chain->spring = {{Real(spring.target[0]), Real(spring.target[1])}, spring.down};
    }
    void step(std::int64_t n) override {
        takeLoads();
        for (std::int64_t i = 0; i < n; ++i) {
            resets += chain->step() ? 0 : 1;
        }
        steps += n;
    }
    py::array array(bool momenta) override {
        const auto links = static_cast<py::ssize_t>(chain->parameters.links);
        Real* first = chain->state.data() + (momenta ? 0 : links);
        const py::capsule owner(new std::shared_ptr<Chain<Real>>(chain),
                                [](void* held) { delete static_cast<std::shared_ptr<Chain<Real>>*>(held); });
        return py::array_t<Real>({links}, {static_cast<py::ssize_t>(sizeof(Real))}, first, owner);
    }
    // Assigning to p or q: as many finite values as links, in any dtype that
    // converts to the chain's.
    void assign(bool momenta, const py::object& values) override {
        const auto given = py::array_t<Real, py::array::c_style | py::array::forcecast>::ensure(values);
        const int links = chain->parameters.links;
        const char* const name = momenta ? "p" : "q";
        if (!given || given.ndim() != 1 || given.shape(0) != links) {
            throw py::value_error(std::string(name) + ": needs " + std::to_string(links) + " values");
        }
        for (int i = 0; i < links; ++i) {
            if (!std::isfinite(given.at(i))) {
                throw py::value_error(std::string(name) + "[" + std::to_string(i) + "] is not finite");
            }
        }
        std::copy_n(given.data(), links, chain->state.data() + (momenta ? 0 : links));
    }
    StateView view_() const override { return chain->state; }
    std::unique_ptr<Run> copy() const override {
        auto twin = std::make_unique<RunOf<Real>>(*this);
        twin->chain = std::make_shared<Chain<Real>>(*chain);
        twin->busy = false;
        return twin;
    }
};

}  // namespace

std::string textOf(py::handle value) {
    return py::str(value).cast<std::string>();
}

std::pair<std::string, std::string> scriptText(py::handle given) {
    const std::string script = py::isinstance<py::bytes>(given)
                                   ? given.cast<std::string>()
                                   : py::module_::import("os").attr("fspath")(given).cast<std::string>();
    std::error_code unreadable;
    if (script.find('\n') != std::string::npos || !std::filesystem::exists(script, unreadable)) {
        return {script, "script"};
    }
    std::string text;
    std::string error;
    if (FileIdentity identity; !readEventScript(script, text, identity, error)) {
        throw py::value_error(error);
    }
    return {text, script};
}

void Run::checkFinite() const {
    const StateView state = view_();
    for (int i = 0; i < state.size(); ++i) {
        const double value = state.precision() == Precision::Float ? state.floats()[i] : state.doubles()[i];
        if (!std::isfinite(value)) {
            const int links = state.size() / 2;
            throw py::value_error((i < links ? "p[" : "q[") + std::to_string(i % links) + "] is not finite");
        }
    }
}

void Run::reset() {
    if (nextStart.links != description.links || nextStart.initialAngle != description.initialAngle) {
        description.links = nextStart.links;
        description.initialAngle = nextStart.initialAngle;
        rebuild();
    } else {
        restart();
    }
}

void Run::press(int x, int y) { spring = springAt(x, y, view, description.links, 1); }
void Run::drag(int x, int y) { spring = springAt(x, y, view, description.links, spring.down); }
void Run::setText(const std::string& name, py::handle value) { set(name, textOf(value)); }

void Run::set(const std::string& name, const std::string& text) {
    ChainDescription d = description;
    d.links = nextStart.links;
    d.initialAngle = nextStart.initialAngle;
    setFromText(d, name, text);
    description.gravity = d.gravity;
    description.damping = d.damping;
    description.stiffness = d.stiffness;
    nextStart = d;
    if (steps == 0) {
        reset();
    }
}

void Run::apply(const ScriptEvent& event) {
    switch (event.kind) {
        case EventKind::Press: press(event.x, event.y); break;
        case EventKind::Drag: drag(event.x, event.y); break;
        case EventKind::Release: release(); break;
        case EventKind::Reset: reset(); break;
        case EventKind::Resize: resize(event.x, event.y); break;
        case EventKind::Set: set(std::string(parameterName(event.parameter)), setValueText(event.value)); break;
        case EventKind::LeftKey: left(); break;
        case EventKind::RightKey: right(); break;
    }
}

std::unique_ptr<Run> makeRun(int links, double gravity, double damping, double stiffness, double angle,
                             const std::string& precision) {
    Precision which{};
    if (!readPrecision(precision, which)) {
        throw py::value_error("precision: '" + precision + "' is not float or double");
    }
    std::unique_ptr<Run> run;
    if (which == Precision::Double) {
        run = std::make_unique<RunOf<double>>();
    } else {
        run = std::make_unique<RunOf<float>>();
    }
    ChainDescription& d = run->description;
    setFromText(d, "links", std::to_string(links));
    setFromText(d, "gravity", textOf(py::float_(gravity)));
    setFromText(d, "damping", textOf(py::float_(damping)));
    setFromText(d, "stiffness", textOf(py::float_(stiffness)));
    setFromText(d, "initial-angle", textOf(py::float_(angle)));
    run->nextStart = d;
    run->rebuild();
    return run;
}

py::object play(Run& run, py::handle script, std::optional<std::int64_t> lastStep) {
    const auto [text, name] = scriptText(script);
    if (lastStep && *lastStep < 0) {
        throw py::value_error("steps: '" + std::to_string(*lastStep) + "' is not a whole number >= 0");
    }
    const std::optional<RecordingEnd> recorded = recordingEnd(text);
    if (!lastStep && recorded) {
        lastStep = recorded->step;
    }
    std::vector<ScriptEvent> events;
    std::string error;
    if (!parseEventScript(text, name, lastStep.value_or(INT32_MAX), events, error)) {
        throw py::value_error(error);
    }
    run.checkFinite();
    const Busy busy(run);
    {
        py::gil_scoped_release release;
        for (const ScriptEvent& event : events) {
            run.step(std::max<std::int64_t>(event.step - 1 - run.steps, 0));
            run.apply(event);
        }
        if (lastStep) {
            run.step(std::max<std::int64_t>(*lastStep - run.steps, 0));
        }
    }
    if (!recorded) {
        return py::none();
    }
    const ReplayCheck check = checkReplay(*recorded, scriptHash(events), run.steps, stateHash(run.view_()));
    if (check.verdict == ReplayVerdict::NotCompared) {
        return py::none();
    }
    return py::bool_(check.verdict == ReplayVerdict::Matches);
}

py::dict trajectory(Run& run, std::int64_t n, std::int64_t every) {
    if (n < 0 || every < 1) {
        throw py::value_error("trajectory: n must be >= 0 and every >= 1");
    }
    run.checkFinite();
    const std::int64_t rows = n / every + (n % every != 0 ? 1 : 0);
    const auto links = static_cast<py::ssize_t>(run.description.links);
    // All the rows' room at once: a table too large for memory is refused
    // (MemoryError) before the first step.
    std::vector<std::int64_t> steps;
    steps.reserve(static_cast<std::size_t>(rows));
    std::vector<double> values;  // per row: p, q, energy, tip x, tip y
    values.reserve(static_cast<std::size_t>(rows) * static_cast<std::size_t>(2 * links + 3));
    {
        const Busy busy(run);
        py::gil_scoped_release release;
        for (std::int64_t done = 0; done < n;) {
            const std::int64_t chunk = std::min(every, n - done);
            run.step(chunk);
            done += chunk;
            const StateView state = run.view_();
            steps.push_back(run.steps);
            for (int i = 0; i < state.size(); ++i) {
                values.push_back(state.precision() == Precision::Float ? state.floats()[i] : state.doubles()[i]);
            }
            values.push_back(chainEnergy(state, decimalOf(run.description.gravity)));
            const TipPosition tip = tipPosition(state);
            values.push_back(tip.x);
            values.push_back(tip.y);
        }
    }
    const py::ssize_t width = 2 * links + 3;
    py::array_t<double> table({static_cast<py::ssize_t>(rows), width}, values.data());
    py::dict result;
    const py::slice all{py::none(), py::none(), py::none()};
    const auto columns = [&](py::ssize_t from, py::ssize_t to) {
        return table[py::make_tuple(all, py::slice(from, to, 1))];
    };
    const py::dtype real = run.view_().precision() == Precision::Float ? py::dtype::of<float>() : py::dtype::of<double>();
    py::array_t<std::int64_t> stepColumn(static_cast<py::ssize_t>(rows), steps.data());
    result["step"] = stepColumn;
    result["time"] = py::array_t<double>(stepColumn.attr("__mul__")(0.001));
    result["p"] = columns(0, links).attr("astype")(real);
    result["q"] = columns(links, 2 * links).attr("astype")(real);
    result["energy"] = columns(2 * links, 2 * links + 1).attr("reshape")(rows);
    result["tip"] = columns(2 * links + 1, 2 * links + 3).attr("copy")();
    return result;
}

