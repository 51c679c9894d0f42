#include "python/chain_value.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
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

// Link-steps (links x steps) in one slice of stepping between two readings
// of the clock: some 5 ms in float, 10 ms in double.
constexpr std::int64_t LINK_STEPS_A_SLICE = std::int64_t{1} << 16;
// Time between two looks for a signal, each of which takes the GIL.
constexpr auto BETWEEN_SIGNAL_LOOKS = std::chrono::milliseconds(20);

// The memory the kernel could give now without swapping, in bytes: its
// MemAvailable, else the machine's physical memory.
double availableMemory() {
    std::ifstream info("/proc/meminfo");
    std::string name;
    double kib = 0.0;
    while (info >> name >> kib) {
        if (name == "MemAvailable:") {
            return kib * 1024.0;
        }
        info.ignore(64, '\n');
    }
    return static_cast<double>(::sysconf(_SC_PHYS_PAGES)) * static_cast<double>(::sysconf(_SC_PAGESIZE));
}

std::string gibText(double bytes) {
    char text[40];
    std::snprintf(text, sizeof text, "%.3g GiB", bytes / double(1 << 30));
    return text;
}

// A coordinate or window side read from a Python value as the script reads
// its word.
int pixelOf(py::handle value, std::string_view axis, bool windowSide) {
    int pixel = 0;
    std::string what;
    const std::string word = textOf(value);
    if (!(windowSide ? readWindowSide(word, axis, pixel, what) : readCoordinate(word, axis, pixel, what))) {
        throw py::value_error(what);
    }
    return pixel;
}

// A str that a script's first line could begin: a step, a comment, or
// nothing but blanks.
bool looksLikeScriptText(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r\v\f");
    if (first == std::string::npos || text[first] == '#' || text.starts_with("\xEF\xBB\xBF")) {
        return true;
    }
    const std::size_t end = std::min(text.find_first_of(" \t\r\v\f#", first), text.size());
    return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(first), text.begin() + static_cast<std::ptrdiff_t>(end),
                       [](char c) { return c >= '0' && c <= '9'; });
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
    if (py::isinstance<py::bytes>(given)) {
        return {given.cast<std::string>(), "script"};
    }
    const bool path = !py::isinstance<py::str>(given);
    const std::string script = py::module_::import("os").attr("fspath")(given).cast<std::string>();
    std::error_code unreadable;
    const bool file = std::filesystem::exists(script, unreadable);
    if (!path && (script.find('\n') != std::string::npos || (!file && looksLikeScriptText(script)))) {
        return {script, "script"};
    }
    std::string text;
    std::string error;
    if (FileIdentity identity; !readEventScript(script, text, identity, error)) {
        if (!file) {
            PyErr_SetString(PyExc_FileNotFoundError, error.c_str());
            throw py::error_already_set();
        }
        throw py::value_error(error);
    }
    return {text, script};
}

void refuseBeyondMemory(const std::string& what, double bytes) {
    const double available = availableMemory();
    if (bytes > available) {
        PyErr_SetString(PyExc_MemoryError,
                        (what + " needs some " + gibText(bytes) + ", more than the " + gibText(available) +
                         " of memory available")
                            .c_str());
        throw py::error_already_set();
    }
}

bool signalRaised() {
    const py::gil_scoped_acquire gil;
    return PyErr_CheckSignals() != 0;
}

bool Run::stepUnlessInterrupted(std::int64_t n) {
    const std::int64_t slice = std::max<std::int64_t>(1, LINK_STEPS_A_SLICE / description.links);
    for (std::int64_t done = 0; done < n;) {
        const std::int64_t chunk = std::min(slice, n - done);
        step(chunk);
        done += chunk;
        if (const auto now = std::chrono::steady_clock::now(); now - lastSignalLook >= BETWEEN_SIGNAL_LOOKS) {
            lastSignalLook = now;
            if (signalRaised()) {
                return false;
            }
        }
    }
    return true;
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
// x before y, as the script's words are read.
void Run::pressAt(py::handle x, py::handle y) {
    const int column = pixelOf(x, "X", false);
    press(column, pixelOf(y, "Y", false));
}
void Run::dragTo(py::handle x, py::handle y) {
    const int column = pixelOf(x, "X", false);
    drag(column, pixelOf(y, "Y", false));
}
void Run::resizeTo(py::handle width, py::handle height) {
    const int across = pixelOf(width, "width", true);
    resize(across, pixelOf(height, "height", true));
}
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
    if (recorded && scriptPrecision(text) != run.view_().precision()) {
        throw py::value_error(std::string("the recording is in ") + precisionName(scriptPrecision(text)) +
                              " precision and the chain in " + precisionName(run.view_().precision()) +
                              ": play it in a Chain(precision='" + precisionName(scriptPrecision(text)) + "')");
    }
    if (!lastStep && recorded) {
        lastStep = recorded->step;
    }
    std::vector<ScriptEvent> events;
    std::string error;
    if (!parseEventScript(text, name, lastStep.value_or(INT32_MAX), events, error)) {
        throw py::value_error(error);
    }
    run.checkFinite();
    bool finished = true;
    {
        const Busy busy(run);
        py::gil_scoped_release release;
        for (const ScriptEvent& event : events) {
            finished = run.stepUnlessInterrupted(std::max<std::int64_t>(event.step - 1 - run.steps, 0));
            if (!finished) {
                break;
            }
            run.apply(event);
        }
        if (finished && lastStep) {
            finished = run.stepUnlessInterrupted(std::max<std::int64_t>(*lastStep - run.steps, 0));
        }
    }
    if (!finished) {
        throw py::error_already_set();
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
    // The rows, their table and its p and q columns in the chain's precision.
    refuseBeyondMemory("trajectory of " + std::to_string(rows) + " rows of " + std::to_string(links) + " links",
                       static_cast<double>(rows) * static_cast<double>(2 * links + 4) * 8.0 * 3.0);
    std::vector<std::int64_t> steps;
    steps.reserve(static_cast<std::size_t>(rows));
    std::vector<double> values;  // per row: p, q, energy, tip x, tip y
    values.reserve(static_cast<std::size_t>(rows) * static_cast<std::size_t>(2 * links + 3));
    bool finished = true;
    {
        const Busy busy(run);
        py::gil_scoped_release release;
        for (std::int64_t done = 0; done < n;) {
            const std::int64_t chunk = std::min(every, n - done);
            finished = run.stepUnlessInterrupted(chunk);
            if (!finished) {
                break;
            }
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
    if (!finished) {
        throw py::error_already_set();
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

