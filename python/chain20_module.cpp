// The Python module chain20: a chain as a value that owns its Chain<Real>,
// its spring input, its description and its window view, and takes the
// event language's input by the program's rules, so that any number of them
// live side by side and each gives chain20-batch's bits.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "batch/ensemble.h"
#include "model/chain_model.h"
#include "sim/application.h"
#include "sim/diagnostics.h"
#include "sim/event_script.h"
#include "sim/parameters.h"
#include "sim/shortest_text.h"
#include "sim/state_hash.h"

namespace py = pybind11;

namespace {

// The far-plane point under the cursor in links from the chain's base, as
// the window program's cursor mapping forms it, at this chain's length.
SpringInput<float> cursorTarget(int x, int y, const ViewTransform& view, std::int32_t links, std::int32_t down) {
    const auto object = unprojectWindowPoint(static_cast<double>(x), static_cast<double>(y), 1.0, view);
    const double scale = static_cast<float>(LINK_COUNT) / static_cast<float>(links);
    return {{static_cast<float>((object[0] + 1.0) / scale), static_cast<float>(-object[1] / scale)}, down};
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

const char* parameterName(ChainParameter parameter) {
    constexpr const char* NAMES[] = {"links", "gravity", "damping", "stiffness", "initial-angle"};
    return NAMES[static_cast<int>(parameter)];
}

std::string shortestText(float value) {
    char text[40];
    return std::string(text, writeShortest(text, value));
}

class Run {
public:
    virtual ~Run() = default;
    ChainDescription description;
    ChainDescription nextStart;
    ViewTransform view = reshapeView(WINDOW_WIDTH, WINDOW_HEIGHT);
    SpringInput<float> spring;
    std::int64_t steps = 0;

    virtual void step(std::int64_t n) = 0;
    virtual void rebuild() = 0;
    virtual void restart() = 0;
    virtual void takeLoads() = 0;
    virtual py::array array(bool momenta, py::object owner) = 0;
    virtual StateView view_() const = 0;

    void reset() {
        if (nextStart.links != description.links || nextStart.initialAngle != description.initialAngle) {
            description.links = nextStart.links;
            description.initialAngle = nextStart.initialAngle;
            rebuild();
        } else {
            restart();
        }
        steps = 0;
    }

    void press(int x, int y) { spring = cursorTarget(x, y, view, description.links, 1); }
    void drag(int x, int y) { spring = cursorTarget(x, y, view, description.links, spring.down); }

    // gravity, damping and stiffness at once; links and initial-angle for
    // the next reset, or at once before the first step.
    void set(const std::string& name, const std::string& text) {
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

    // One event of the script language; the arrow keys pace the window
    // program's frames and leave the chain alone.
    void apply(const ScriptEvent& event) {
        switch (event.kind) {
            case EventKind::Press: press(event.x, event.y); break;
            case EventKind::Drag: drag(event.x, event.y); break;
            case EventKind::Release: spring.down = 0; break;
            case EventKind::Reset: reset(); break;
            case EventKind::Resize: view = reshapeView(event.x, event.y); break;
            case EventKind::Set: set(std::string(parameterName(event.parameter)), shortestText(event.value)); break;
            case EventKind::LeftKey:
            case EventKind::RightKey: break;
        }
    }
};

template <class Real>
class RunOf final : public Run {
public:
    Chain<Real> chain;
    void rebuild() override {
        chain.parameters = parametersOf<Real>(description);
        chain.build();
    }
    void restart() override { chain.putBackAtRest(); }
    void takeLoads() override {
        const ChainParameters<Real> p = parametersOf<Real>(description);
        chain.parameters.gravity = p.gravity;
        chain.parameters.damping = p.damping;
        chain.parameters.stiffness = p.stiffness;
        chain.spring = {{Real(spring.target[0]), Real(spring.target[1])}, spring.down};
    }
    void step(std::int64_t n) override {
        takeLoads();
        for (std::int64_t i = 0; i < n; ++i) {
            chain.step();
        }
        steps += n;
    }
    py::array array(bool momenta, py::object owner) override {
        const auto links = static_cast<py::ssize_t>(chain.parameters.links);
        Real* first = chain.state.data() + (momenta ? 0 : links);
        py::array_t<Real> view({links}, {static_cast<py::ssize_t>(sizeof(Real))}, first, owner);
        view.attr("setflags")(py::arg("write") = false);
        return view;
    }
    StateView view_() const override { return chain.state; }
};

std::string textOf(py::handle value) {
    return py::str(value).cast<std::string>();
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

void play(Run& run, const std::string& script, std::optional<std::int64_t> lastStep) {
    std::string text = script;
    std::string name = "script";
    if (script.find('\n') == std::string::npos && std::filesystem::is_regular_file(script)) {
        std::ifstream in(script, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        name = script;
    }
    std::vector<ScriptEvent> events;
    std::string error;
    if (!parseEventScript(text, name, lastStep.value_or(INT32_MAX), events, error)) {
        throw py::value_error(error);
    }
    py::gil_scoped_release release;
    for (const ScriptEvent& event : events) {
        run.step(std::max<std::int64_t>(event.step - 1 - run.steps, 0));
        run.apply(event);
    }
    if (lastStep) {
        run.step(std::max<std::int64_t>(*lastStep - run.steps, 0));
    }
}

// n more steps, the state recorded after every `every`-th and after the
// last: step, time, p, q (rows x links), energy and tip (rows x 2).
py::dict trajectory(Run& run, std::int64_t n, std::int64_t every) {
    if (n < 0 || every < 1) {
        throw py::value_error("trajectory: n must be >= 0 and every >= 1");
    }
    const std::int64_t rows = n / every + (n % every != 0 ? 1 : 0);
    const auto links = static_cast<py::ssize_t>(run.description.links);
    std::vector<std::int64_t> steps;
    std::vector<double> values;  // per row: p, q, energy, tip x, tip y
    {
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

// Serialises the ensembles: the batch engine's conductor plays the script on
// the default chain.
std::mutex ensembleConductor;

std::vector<std::string> fieldsOf(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t comma; (comma = line.find(',', start)) != std::string::npos; start = comma + 1) {
        fields.push_back(line.substr(start, comma - start));
    }
    fields.push_back(line.substr(start));
    return fields;
}

// The summary table that chain20-batch --members writes, as NumPy columns:
// member, the swept parameters, energy, tip_x, tip_y, resets, state_hash
// (uint64), and the ensemble hash as its 16 hex digits.
py::dict summaryColumns(const std::string& output, std::uint64_t ensemble) {
    std::istringstream lines(output);
    std::string line;
    std::getline(lines, line);  // the run's line
    std::getline(lines, line);
    const std::vector<std::string> names = fieldsOf(line);
    std::vector<std::vector<std::string>> rows;
    while (std::getline(lines, line)) {
        rows.push_back(fieldsOf(line));
    }
    py::dict columns;
    for (std::size_t c = 0; c < names.size(); ++c) {
        const bool whole = names[c] == "member" || names[c] == "resets";
        const bool hash = names[c] == "state_hash";
        const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(rows.size())};
        py::array column(whole  ? py::dtype::of<std::int64_t>()
                         : hash ? py::dtype::of<std::uint64_t>()
                                : py::dtype::of<double>(),
                         shape);
        for (std::size_t r = 0; r < rows.size(); ++r) {
            void* at = column.mutable_data(static_cast<py::ssize_t>(r));
            if (whole) {
                *static_cast<std::int64_t*>(at) = std::stoll(rows[r][c]);
            } else if (hash) {
                *static_cast<std::uint64_t*>(at) = std::stoull(rows[r][c], nullptr, 16);
            } else {
                *static_cast<double*>(at) = std::stod(rows[r][c]);
            }
        }
        columns[py::str(names[c])] = column;
    }
    columns["ensemble_hash"] = hashText(ensemble);
    return columns;
}

py::dict ensemble(std::int64_t members, std::int64_t steps, double perturb, std::uint64_t seed, py::dict sweep,
                  int threads, const std::string& precision, std::optional<std::string> events, py::kwargs chain) {
    BatchOptions options;
    options.ensemble = true;
    if (members < 1 || members > MOST_MEMBERS) {
        throw py::value_error("members: '" + std::to_string(members) + "' is not in 1 to " +
                              std::to_string(MOST_MEMBERS));
    }
    if (steps < 0 || steps > INT32_MAX) {
        throw py::value_error("steps: '" + std::to_string(steps) + "' is not in 0 to 2147483647");
    }
    if (threads < 1) {
        throw py::value_error("threads: '" + std::to_string(threads) + "' is not a whole number >= 1");
    }
    options.setUp.members = members;
    options.setUp.perturbation = perturb;
    options.setUp.seed = seed;
    options.steps = steps;
    options.stepsGiven = true;
    options.threads = threads;
    Precision which{};
    if (!readPrecision(precision, which)) {
        throw py::value_error("precision: '" + precision + "' is not float or double");
    }
    options.precision = which;
    for (const auto& [name, value] : chain) {
        std::string option = name.cast<std::string>();
        std::replace(option.begin(), option.end(), '_', '-');
        setFromText(options.chain, option, textOf(value));
    }
    for (const auto& [name, range] : sweep) {
        Sweep s{};
        std::string option = name.cast<std::string>();
        std::replace(option.begin(), option.end(), '_', '-');
        if (!readSweptName(option, s.parameter)) {
            throw py::value_error("sweep: '" + option + "' is not gravity, damping, stiffness or initial-angle");
        }
        const auto bounds = range.cast<std::pair<double, double>>();
        s.from = bounds.first;
        s.to = bounds.second;
        options.setUp.sweeps.push_back(s);
    }
    std::vector<ScriptEvent> script;
    if (events) {
        std::string error;
        if (!parseEventScript(*events, "events", steps, script, error)) {
            throw py::value_error(error);
        }
    }
    std::string output;
    RunResult result;
    {
        py::gil_scoped_release release;
        const std::lock_guard<std::mutex> lock(ensembleConductor);
        char* text = nullptr;
        std::size_t size = 0;
        std::FILE* out = open_memstream(&text, &size);
        result = runEnsemble(options, std::move(script), out);
        std::fclose(out);
        output.assign(text, size);
        std::free(text);
    }
    return summaryColumns(output, result.stateHash);
}

}  // namespace

PYBIND11_MODULE(chain20, m) {
    m.doc() = "chain20: the planar chain of rigid links, stepped by RK4 at 0.001 s, from Python.";
    py::class_<Run>(m, "Chain", R"(A chain as a value, independent of every other.

p and q are NumPy views into the chain's own state (no copy): they share the
chain's memory so that reading them costs nothing per step; they are
read-only, because the chain's slopes and its rest fall-back depend on the
state, and they stay valid while the chain lives (a reset to other links
makes new arrays; read p and q again).)")
        .def(py::init(&makeRun), py::arg("links") = 20, py::arg("gravity") = 9.81, py::arg("damping") = 30.0,
             py::arg("stiffness") = 200.0, py::arg("initial_angle") = -1.570796, py::arg("precision") = "float")
        .def(
            "step",
            [](Run& run, std::int64_t n) {
                if (n < 0) {
                    throw py::value_error("steps: '" + std::to_string(n) + "' is not a whole number >= 0");
                }
                py::gil_scoped_release release;
                run.step(n);
            },
            py::arg("n") = 1, "Advances n steps of 0.001 s (the GIL released).")
        .def("press", &Run::press, py::arg("x"), py::arg("y"), "Left button down at window pixel (x, y).")
        .def("drag", &Run::drag, py::arg("x"), py::arg("y"), "The cursor moved to (x, y) with the button held.")
        .def("release", [](Run& run) { run.spring.down = 0; }, "Left button up.")
        .def(
            "resize", [](Run& run, int w, int h) { run.view = reshapeView(w, h); }, py::arg("w"), py::arg("h"),
            "The window is now w x h pixels for the cursor mapping.")
        .def("reset", &Run::reset, "Back at the start, with links and initial-angle as last set.")
        .def(
            "set", [](Run& run, const std::string& name, py::handle value) { run.set(name, textOf(value)); },
            py::arg("name"), py::arg("value"),
            "Sets gravity, damping or stiffness at once; links or initial-angle for the next reset.")
        .def("play", &play, py::arg("script"), py::arg("steps") = py::none(),
             "Plays an event script (its text, or a path to it) as chain20-batch does: each event just before its\n"
             "step, counted from the chain's start; then runs on to `steps` when given.")
        .def("trajectory", &trajectory, py::arg("n"), py::arg("every") = 1,
             "Runs n more steps and returns the state after every `every`-th step and after the last: a dict of\n"
             "NumPy arrays step, time, p and q (rows x links, in the chain's precision), energy, tip (rows x 2).")
        .def_property_readonly("p", [](py::object self) { return self.cast<Run&>().array(true, self); })
        .def_property_readonly("q", [](py::object self) { return self.cast<Run&>().array(false, self); })
        .def_readonly("steps", &Run::steps)
        .def_property_readonly("time", [](const Run& run) { return static_cast<double>(run.steps) * 0.001; })
        .def_property_readonly("energy",
                               [](const Run& run) {
                                   return chainEnergy(run.view_(), decimalOf(run.description.gravity));
                               })
        .def_property_readonly("tip",
                               [](const Run& run) {
                                   const TipPosition tip = tipPosition(run.view_());
                                   return py::make_tuple(tip.x, tip.y);
                               })
        .def_property_readonly("state_hash", [](const Run& run) { return hashText(stateHash(run.view_())); });
    m.def("ensemble", &ensemble, py::arg("members"), py::arg("steps"), py::arg("perturb") = 0.0,
          py::arg("seed") = 1, py::arg("sweep") = py::dict(), py::arg("threads") = 1, py::arg("precision") = "float",
          py::arg("events") = py::none(),
          R"(Runs an ensemble on chain20-batch's engine (--members), the GIL released, and returns its summary as
NumPy columns (member, swept parameters, energy, tip_x, tip_y, resets, state_hash as uint64) and
ensemble_hash. sweep maps a parameter to (from, to); chain options (links=, gravity=, ...) as for Chain.)");
}
