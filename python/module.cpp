// The native part of the Python package chain20: a chain as a value that
// owns its Chain<Real>, its spring input, its description and its window
// view, and takes the event language's input by the program's rules, so that
// any number of them live side by side and each gives chain20-batch's bits;
// and the batch engine's ensembles.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "batch/ensemble.h"
#include "cli/script_file.h"
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

// The words a Python value stands for, as on chain20-batch's command line.
std::string textOf(py::handle value) {
    return py::str(value).cast<std::string>();
}

class Run {
public:
    virtual ~Run() = default;
    ChainDescription description;
    ChainDescription nextStart;
    ViewTransform view = reshapeView(WINDOW_WIDTH, WINDOW_HEIGHT);
    SpringInput<float> spring;
    std::int64_t steps = 0;  // since the chain was made: the script's events count from its start
    std::int64_t resets = 0;  // steps that left the finite numbers and fell back to rest
    std::int32_t stepsPerFrame = INITIAL_STEPS_PER_FRAME;  // the arrow keys' count, which paces a window's frames
    bool busy = false;  // stepping with the GIL released; read and written only under the GIL

    virtual void step(std::int64_t n) = 0;
    virtual void rebuild() = 0;
    virtual void restart() = 0;
    virtual void takeLoads() = 0;
    virtual py::array array(bool momenta) = 0;
    virtual void assign(bool momenta, const py::object& values) = 0;
    virtual StateView view_() const = 0;

    // Another thread's call while this chain steps without the GIL would race
    // with the step (a rebuild would free the state under it): refused.
    const Run& idle() const {
        if (busy) {
            throw std::runtime_error("the chain is stepping in another thread");
        }
        return *this;
    }

    // Writes through p and q are the user's: a step starts only from finite
    // numbers, since the chain's fall-back to rest is for its own overflow.
    void checkFinite() const {
        const StateView state = view_();
        for (int i = 0; i < state.size(); ++i) {
            const double value = state.precision() == Precision::Float ? state.floats()[i] : state.doubles()[i];
            if (!std::isfinite(value)) {
                const int links = state.size() / 2;
                throw py::value_error((i < links ? "p[" : "q[") + std::to_string(i % links) + "] is not finite");
            }
        }
    }

    void reset() {
        if (nextStart.links != description.links || nextStart.initialAngle != description.initialAngle) {
            description.links = nextStart.links;
            description.initialAngle = nextStart.initialAngle;
            rebuild();
        } else {
            restart();
        }
    }

    std::int32_t left() { return stepsPerFrame = std::max(stepsPerFrame - 1, 1); }
    std::int32_t right() { return stepsPerFrame += stepsPerFrame < INT32_MAX ? 1 : 0; }

    void press(int x, int y) { spring = cursorTarget(x, y, view, description.links, 1); }
    void drag(int x, int y) { spring = cursorTarget(x, y, view, description.links, spring.down); }
    void release() { spring.down = 0; }
    void resize(int width, int height) { view = reshapeView(width, height); }
    void setText(const std::string& name, py::handle value) { set(name, textOf(value)); }

    // gravity, damping and stiffness at once; links and initial-angle for
    // the next reset, or at once before the chain's first step.
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
            case EventKind::Release: release(); break;
            case EventKind::Reset: reset(); break;
            case EventKind::Resize: resize(event.x, event.y); break;
            case EventKind::Set: set(std::string(parameterName(event.parameter)), shortestText(event.value)); break;
            case EventKind::LeftKey: left(); break;
            case EventKind::RightKey: right(); break;
        }
    }
};

// The chain marked busy while it steps with the GIL released; made and ended
// under the GIL.
class Busy {
public:
    explicit Busy(Run& stepping) : run(stepping) {
        run.idle();
        run.busy = true;
    }
    ~Busy() { run.busy = false; }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

private:
    Run& run;
};

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
};

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

// A script given as its text (str or bytes), or as the path of a file that
// holds it (str or os.PathLike): the text and the name its messages go by.
std::pair<std::string, std::string> scriptText(py::handle given) {
    const std::string script = py::isinstance<py::bytes>(given)
                                   ? given.cast<std::string>()
                                   : py::module_::import("os").attr("fspath")(given).cast<std::string>();
    if (script.find('\n') != std::string::npos || !std::filesystem::is_regular_file(script)) {
        return {script, "script"};
    }
    std::ifstream in(script, std::ios::binary);
    return {std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), script};
}

// Plays a script as chain20-batch does. A recording runs on to its final
// step unless `lastStep` is given; there its end is compared: True when the
// state hash is the recorded one. None for any other script.
py::object play(Run& run, py::handle script, std::optional<std::int64_t> lastStep) {
    const auto [text, name] = scriptText(script);
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
    if (!recorded || run.steps != recorded->step) {
        return py::none();
    }
    return py::bool_(stateHash(run.view_()) == recorded->hash);
}

// n more steps, the state recorded after every `every`-th and after the
// last: step, time, p, q (rows x links), energy and tip (rows x 2).
py::dict trajectory(Run& run, std::int64_t n, std::int64_t every) {
    if (n < 0 || every < 1) {
        throw py::value_error("trajectory: n must be >= 0 and every >= 1");
    }
    run.checkFinite();
    const std::int64_t rows = n / every + (n % every != 0 ? 1 : 0);
    const auto links = static_cast<py::ssize_t>(run.description.links);
    std::vector<std::int64_t> steps;
    std::vector<double> values;  // per row: p, q, energy, tip x, tip y
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

template <class Number>
py::array_t<Number> column(const std::vector<Number>& values) {
    return py::array_t<Number>(static_cast<py::ssize_t>(values.size()), values.data());
}

// The ensemble's output, as chain20-batch writes it, in NumPy columns.
struct EnsembleTable {
    std::string run;  // the whole run's first line, after "# chain20-batch ensemble: "
    std::vector<std::string> names;
    std::vector<std::vector<std::string>> rows;
    std::vector<std::int64_t> resets;  // with every: per member, from its closing line
    std::vector<std::uint64_t> hashes;

    explicit EnsembleTable(const std::string& output) {
        std::istringstream lines(output);
        std::string line;
        std::getline(lines, line);
        run = line.substr(line.find(':') + 2);
        while (std::getline(lines, line)) {
            if (line.starts_with("# member ")) {
                const std::size_t resetsAt = line.find("resets ") + 7;
                resets.push_back(std::stoll(line.substr(resetsAt)));
                hashes.push_back(std::stoull(line.substr(line.rfind(' ') + 1), nullptr, 16));
            } else if (line.starts_with("#")) {
                continue;  // a slice's members
            } else if (names.empty()) {
                names = fieldsOf(line);
            } else if (line.starts_with("member,")) {
                continue;  // a member's rows after its links changed
            } else {
                rows.push_back(fieldsOf(line));
            }
        }
    }

    template <class Number>
    std::vector<Number> values(std::size_t c, Number (*read)(const std::string&)) const {
        std::vector<Number> out;
        for (const auto& row : rows) {
            out.push_back(read(row[c]));
        }
        return out;
    }

    // A row of the members' rows: member, step, time, p.., q.., energy, tip.
    static std::size_t linksOf(const std::vector<std::string>& row) { return (row.size() - 6) / 2; }

    // Each row's p (from 3) or q (from 3 + its links) in a row of the widest
    // chain's width, a shorter chain's padded with NaN.
    template <class Real>
    py::array_t<Real> stateBlock(bool momenta, std::size_t width) const {
        py::array_t<Real> out({static_cast<py::ssize_t>(rows.size()), static_cast<py::ssize_t>(width)});
        auto at = out.template mutable_unchecked<2>();
        for (std::size_t r = 0; r < rows.size(); ++r) {
            const std::size_t links = linksOf(rows[r]);
            const std::size_t from = momenta ? 3 : 3 + links;
            for (std::size_t c = 0; c < width; ++c) {
                at(r, c) = c >= links                    ? std::numeric_limits<Real>::quiet_NaN()
                           : std::is_same_v<Real, float> ? std::stof(rows[r][from + c])
                                                         : std::stod(rows[r][from + c]);
            }
        }
        return out;
    }

    // Each row's field `back` places before its end.
    template <class Number>
    std::vector<Number> fromEnd(std::size_t back, Number (*read)(const std::string&)) const {
        std::vector<Number> out;
        for (const auto& row : rows) {
            out.push_back(read(row[row.size() - back]));
        }
        return out;
    }
};

std::int64_t wholeNumber(const std::string& text) { return std::stoll(text); }
double realNumber(const std::string& text) { return std::stod(text); }
std::uint64_t hexHash(const std::string& text) { return std::stoull(text, nullptr, 16); }

// One row per member: member, the swept parameters, energy, tip_x, tip_y,
// resets, [lyapunov,] state_hash.
void summaryColumns(const EnsembleTable& table, py::dict& columns) {
    for (std::size_t c = 0; c < table.names.size(); ++c) {
        const std::string& name = table.names[c];
        if (name == "member" || name == "resets") {
            columns[py::str(name)] = column(table.values(c, wholeNumber));
        } else if (name == "state_hash") {
            columns[py::str(name)] = column(table.values(c, hexHash));
        } else {
            columns[py::str(name)] = column(table.values(c, realNumber));
        }
    }
}

// With every: the members' rows as Chain.trajectory gives them, each with
// its member and links, and per member its resets and state hash. When the
// script changes the links, p and q are as wide as the longest chain.
template <class Real>
void trajectoryColumns(const EnsembleTable& table, py::dict& columns) {
    std::vector<std::int64_t> links;
    for (const auto& row : table.rows) {
        links.push_back(static_cast<std::int64_t>(EnsembleTable::linksOf(row)));
    }
    const auto widest = static_cast<std::size_t>(links.empty() ? 0 : *std::max_element(links.begin(), links.end()));
    columns["member"] = column(table.values(0, wholeNumber));
    columns["step"] = column(table.values(1, wholeNumber));
    columns["time"] = column(table.values(2, realNumber));
    columns["links"] = column(links);
    columns["p"] = table.stateBlock<Real>(true, widest);
    columns["q"] = table.stateBlock<Real>(false, widest);
    columns["energy"] = column(table.fromEnd(3, realNumber));
    const std::vector<double> x = table.fromEnd(2, realNumber);
    const std::vector<double> y = table.fromEnd(1, realNumber);
    py::array_t<double> tip({static_cast<py::ssize_t>(x.size()), py::ssize_t{2}});
    for (std::size_t r = 0; r < x.size(); ++r) {
        tip.mutable_at(r, 0) = x[r];
        tip.mutable_at(r, 1) = y[r];
    }
    columns["tip"] = tip;
    columns["resets"] = column(table.resets);
    columns["state_hash"] = column(table.hashes);
}

py::dict ensembleColumns(const std::string& output, const BatchOptions& options, std::uint64_t hash) {
    const EnsembleTable table(output);
    py::dict columns;
    columns["run"] = table.run;
    if (!options.everyGiven) {
        summaryColumns(table, columns);
    } else if (options.precision == Precision::Double) {
        trajectoryColumns<double>(table, columns);
    } else {
        trajectoryColumns<float>(table, columns);
    }
    columns["ensemble_hash"] = hashText(hash);
    return columns;
}

// chain20-batch's command line for an ensemble: the words each value would
// have there, so that a bad value gets the runner's message.
std::vector<std::string> ensembleArguments(std::int64_t members, std::int64_t steps, const py::dict& given,
                                           const py::dict& sweep) {
    std::vector<std::string> words{"chain20-batch", "--members", std::to_string(members), "--steps",
                                   std::to_string(steps), "--out", "-"};
    constexpr std::string_view OPTIONS[] = {"perturb", "seed",    "threads", "precision", "every",
                                            "lyapunov", "shard",  "links",   "gravity",   "damping",
                                            "stiffness", "initial_angle", "width", "height"};
    for (const auto& [name, value] : given) {
        std::string option = name.cast<std::string>();
        if (std::find(std::begin(OPTIONS), std::end(OPTIONS), option) == std::end(OPTIONS)) {
            throw py::type_error("ensemble() got an unexpected keyword argument '" + option + "'");
        }
        if (value.is_none()) {
            continue;
        }
        std::replace(option.begin(), option.end(), '_', '-');
        words.push_back("--" + option);
        if (option == "shard") {
            const auto slice = value.cast<std::pair<std::int64_t, std::int64_t>>();
            words.push_back(std::to_string(slice.first) + "/" + std::to_string(slice.second));
        } else {
            words.push_back(textOf(value));
        }
    }
    for (const auto& [name, range] : sweep) {
        std::string option = name.cast<std::string>();
        std::replace(option.begin(), option.end(), '_', '-');
        const auto bounds = range.cast<std::pair<py::object, py::object>>();
        words.push_back("--sweep");
        words.push_back(option + "=" + textOf(bounds.first) + ":" + textOf(bounds.second));
    }
    return words;
}

BatchOptions ensembleOptions(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    BatchOptions options;
    std::string error;
    if (parseBatchOptions(static_cast<int>(words.size()), argv.data(), options, error) >= 0) {
        throw py::value_error(error);
    }
    options.precision = options.precision.value_or(Precision::Float);
    return options;
}

std::vector<ScriptEvent> ensembleEvents(const BatchOptions& options, py::handle events) {
    std::vector<ScriptEvent> script;
    std::string error;
    if (!events.is_none()) {
        const auto [text, name] = scriptText(events);
        if (!parseEventScript(text, name, options.steps, script, error)) {
            throw py::value_error(error);
        }
    }
    if (!scriptKeepsToTheSweeps(options.setUp, script, error)) {
        throw py::value_error(error);
    }
    return script;
}

py::dict ensemble(std::int64_t members, std::int64_t steps, py::dict sweep, py::object events,
                  py::kwargs given) {
    const BatchOptions options = ensembleOptions(ensembleArguments(members, steps, given, sweep));
    std::vector<ScriptEvent> script = ensembleEvents(options, events);
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
    return ensembleColumns(output, options, result.stateHash);
}

}  // namespace

// A Run method bound for Python: refused while the chain steps in another
// thread.
template <class Result, class... Arguments>
auto whenIdle(Result (Run::*method)(Arguments...)) {
    return [method](Run& run, Arguments... arguments) -> Result {
        run.idle();
        return (run.*method)(arguments...);
    };
}

// The state arrays, read as views and assigned with checks.
py::object stateArray(py::object self, bool momenta) { return self.cast<Run&>().array(momenta); }

PYBIND11_MODULE(_chain20, m) {
    m.doc() = "chain20: the planar chain of rigid links, stepped by RK4 at 0.001 s, from Python.";
    py::class_<Run>(m, "Chain", R"(A chain as a value, independent of every other.

p and q are writable NumPy views into the chain's own state (no copy), so
that reading them costs nothing per step and writing them sets the state.
Writes are checked: assigning c.q = values needs as many finite values as
links; an element written in place through a view is checked before the next
step, which refuses to start from a number that is not finite (ValueError).
A write changes the state alone: the Runge-Kutta slope arrays keep the joint
rates of the last step for the damping, as at any step, until a reset zeroes
them. A reset to other links gives the chain new arrays; arrays read before
stay valid but hold the old chain's state: read p and q again.)")
        .def(py::init(&makeRun), py::arg("links") = 20, py::arg("gravity") = 9.81, py::arg("damping") = 30.0,
             py::arg("stiffness") = 200.0, py::arg("initial_angle") = -1.570796, py::arg("precision") = "float")
        .def(
            "step",
            [](Run& run, std::int64_t n) {
                if (n < 0) {
                    throw py::value_error("steps: '" + std::to_string(n) + "' is not a whole number >= 0");
                }
                run.checkFinite();
                const Busy busy(run);
                py::gil_scoped_release release;
                run.step(n);
            },
            py::arg("n") = 1, "Advances n steps of 0.001 s (the GIL released).")
        .def("press", whenIdle(&Run::press), py::arg("x"), py::arg("y"), "Left button down at window pixel (x, y).")
        .def("drag", whenIdle(&Run::drag), py::arg("x"), py::arg("y"), "The cursor moved to (x, y) with the button held.")
        .def("release", whenIdle(&Run::release), "Left button up.")
        .def("right", whenIdle(&Run::right),
             "The right arrow: one more step per frame (chain20-batch echoes the new count); returns it.")
        .def("left", whenIdle(&Run::left), "The left arrow: one step fewer per frame, never below 1; returns the count.")
        .def_readonly("steps_per_frame", &Run::stepsPerFrame,
                      "The arrow keys' steps per frame (30 at the start): they pace a window, not the chain.")
        .def("resize", whenIdle(&Run::resize), py::arg("w"), py::arg("h"),
             "The window is now w x h pixels for the cursor mapping.")
        .def("reset", whenIdle(&Run::reset), "Back at the start, with links and initial-angle as last set.")
        .def("set", whenIdle(&Run::setText), py::arg("name"), py::arg("value"),
            "Sets gravity, damping or stiffness at once; links or initial-angle for the next reset (at once before\n"
            "the chain's first step).")
        .def("play", &play, py::arg("script"), py::arg("steps") = py::none(),
             "Plays an event script (its text, or a path to it) as chain20-batch does: each event just before its\n"
             "step, counted from the chain's start; then runs on to `steps` when given, or to a recording's final\n"
             "step. Returns whether the state hash is the recording's there (None for a script that is not a\n"
             "recording, or a run that ends elsewhere).")
        .def("trajectory", &trajectory, py::arg("n"), py::arg("every") = 1,
             "Runs n more steps and returns the state after every `every`-th step and after the last: a dict of\n"
             "NumPy arrays step, time, p and q (rows x links, in the chain's precision), energy, tip (rows x 2).")
        .def_property(
            "p", [](py::object self) { return stateArray(self, true); },
            [](Run& run, const py::object& values) { run.idle(), run.assign(true, values); },
            "The generalised momenta, a writable view (float32 or float64).")
        .def_property(
            "q", [](py::object self) { return stateArray(self, false); },
            [](Run& run, const py::object& values) { run.idle(), run.assign(false, values); },
            "The joint angles in rad, each relative to the link before, a writable view.")
        .def_readonly("steps", &Run::steps, "Steps run since the chain was made (a reset does not count them back).")
        .def_readonly("resets", &Run::resets,
                      "Steps that left the finite numbers and fell back to rest, as chain20-batch counts them.")
        .def("__repr__",
             [](const Run& run) {
                 return "chain20.Chain(links=" + std::to_string(run.description.links) + ", precision='" +
                        precisionName(run.view_().precision()) + "', steps=" + std::to_string(run.steps) + ")";
             })
        .def_property_readonly(
            "time", [](const Run& run) { return static_cast<double>(run.steps) * 0.001; }, "steps x 0.001 s.")
        .def_property_readonly(
            "energy",
            [](const Run& run) { return chainEnergy(run.idle().view_(), decimalOf(run.description.gravity)); },
            "Kinetic plus potential energy, in double, as chain20-batch's CSV has it.")
        .def_property_readonly(
            "tip",
            [](const Run& run) {
                const TipPosition tip = tipPosition(run.idle().view_());
                return py::make_tuple(tip.x, tip.y);
            },
            "The tip's position (x, y) in links from the base.")
        .def_property_readonly(
            "state_hash", [](const Run& run) { return hashText(stateHash(run.idle().view_())); },
            "The state's hash as chain20-batch reports it: 16 hex digits.");
    m.def("ensemble", &ensemble, py::arg("members"), py::arg("steps"), py::arg("sweep") = py::dict(),
          py::arg("events") = py::none(),
          R"(Runs an ensemble on chain20-batch's engine, as `chain20-batch --members M --steps S ...` does,
with the GIL released. Keyword options take chain20-batch's option names with _ for -: perturb, seed,
threads (default: all cores), precision ("float"), every, lyapunov, shard=(i, k), and the chain's
links, gravity, damping, stiffness, initial_angle, and width and height, the window that
maps the cursor. sweep maps gravity, damping, stiffness or
initial_angle to (from, to); events is a script's text or path. A bad value raises ValueError with
chain20-batch's message.

Returns a dict: run (the run's description, shared by its shards), ensemble_hash (16 hex digits of the
selected members), and NumPy columns. Without every, one row per member: member, the swept
parameters, energy, tip_x, tip_y, resets, lyapunov (with lyapunov=D0), state_hash (uint64). With
every=K, each member's rows as Chain.trajectory gives them (member, step, time, links, p, q, energy,
tip; where the script changes the links, p and q are as wide as the longest chain, padded with NaN),
and per member resets and state_hash.)");
    m.def(
        "ensemble_hash",
        [](const std::vector<std::uint64_t>& hashes) { return hashText(ensembleHash(hashes)); },
        py::arg("state_hashes"), "The ensemble hash of members' state hashes, in member order: FNV-1a 64 over their bytes.");
}
