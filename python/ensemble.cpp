#include "python/ensemble.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "batch/ensemble.h"
#include "batch/run.h"
#include "python/chain_value.h"
#include "sim/shortest_text.h"
#include "sim/state_hash.h"

namespace {

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

// The two items of a tuple or list, else ValueError with `message`.
std::pair<py::object, py::object> pairOf(py::handle value, const std::string& message) {
    if (!py::isinstance<py::tuple>(value) && !py::isinstance<py::list>(value)) {
        throw py::value_error(message);
    }
    const auto items = py::reinterpret_borrow<py::sequence>(value);
    if (items.size() != 2) {
        throw py::value_error(message);
    }
    return {items[0], items[1]};
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
            const auto [index, count] = pairOf(value, "shard: needs (i, k)");
            words.push_back(textOf(index) + "/" + textOf(count));
        } else {
            words.push_back(textOf(value));
        }
    }
    for (const auto& [name, range] : sweep) {
        if (!py::isinstance<py::str>(name)) {
            throw py::type_error("sweep: a key names the swept parameter (str), not " +
                                 textOf(py::type::of(name).attr("__name__")));
        }
        std::string option = name.cast<std::string>();
        std::replace(option.begin(), option.end(), '_', '-');
        const auto [from, to] = pairOf(range, "sweep: " + option + " needs (from, to)");
        words.push_back("--sweep");
        words.push_back(option + "=" + textOf(from) + ":" + textOf(to));
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
    if (!scriptKeepsToTheSweeps(options.setUp, script, error) ||
        !ensembleFitsPrecision(options, *options.precision, script, error)) {
        throw py::value_error(error);
    }
    return script;
}

// With every, the members' rows are held whole, first as the engine's text
// and then parsed into fields and columns: some 96 bytes a value at the
// peak. A run whose rows the memory could not hold is refused before it
// starts.
void refuseRowsBeyondMemory(const BatchOptions& options, const std::vector<ScriptEvent>& script) {
    if (!options.everyGiven) {
        return;
    }
    std::int32_t widest = options.chain.links;
    for (const ScriptEvent& event : script) {
        if (event.kind == EventKind::Set && event.parameter == ChainParameter::Links) {
            widest = std::max(widest, static_cast<std::int32_t>(event.value));
        }
    }
    const double members = options.member ? 1.0 : std::ceil(double(options.setUp.members) / double(options.shardCount));
    const double rows = members * std::ceil(double(options.steps) / double(options.every));
    refuseBeyondMemory("ensemble of " + shortestString(rows) + " rows of up to " + std::to_string(widest) + " links",
                       rows * (2.0 * widest + 6.0) * 96.0);
}

// Runs the engine on a thread of its own while this one, the GIL released,
// looks for a Ctrl-C every 20 ms: a signal whose handler raised stops the
// engine by its stop request, withdrawn once the engine has stopped.
RunResult runUnlessInterrupted(const BatchOptions& options, std::vector<ScriptEvent> script, std::FILE* out,
                               bool& interrupted) {
    auto engine = std::async(std::launch::async, [&] { return runEnsemble(options, std::move(script), out); });
    interrupted = false;
    while (engine.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
        if (!interrupted && signalRaised()) {
            interrupted = true;
            requestStop(SIGINT);
        }
    }
    if (interrupted) {
        requestStop(0);
    }
    return engine.get();
}

}  // namespace

py::dict ensemble(std::int64_t members, std::int64_t steps, py::dict sweep, py::object events,
                  py::kwargs given) {
    const BatchOptions options = ensembleOptions(ensembleArguments(members, steps, given, sweep));
    std::vector<ScriptEvent> script = ensembleEvents(options, events);
    refuseRowsBeyondMemory(options, script);
    std::string output;
    RunResult result;
    bool interrupted = false;
    {
        py::gil_scoped_release release;
        const std::lock_guard<std::mutex> lock(ensembleConductor);
        char* text = nullptr;
        std::size_t size = 0;
        std::FILE* out = open_memstream(&text, &size);
        result = runUnlessInterrupted(options, std::move(script), out, interrupted);
        std::fclose(out);
        output.assign(text, size);
        std::free(text);
    }
    if (interrupted) {
        throw py::error_already_set();
    }
    py::dict columns = ensembleColumns(output, options, result.stateHash);
    if (options.sharded) {
        columns["slice"] = py::bytes(output);
    }
    return columns;
}

py::dict mergeSlices(const std::vector<std::string>& slices) {
    std::vector<ShardSource> sources;
    for (std::size_t i = 0; i < slices.size(); ++i) {
        const std::string& text = slices[i];
        sources.push_back({"part " + std::to_string(i), [&text] { return std::make_unique<std::istringstream>(text); }});
    }
    MergePlan plan;
    std::string error;
    std::string output;
    {
        py::gil_scoped_release release;
        if (!sources.empty() && checkShards(sources, plan, error)) {
            char* text = nullptr;
            std::size_t size = 0;
            std::FILE* out = open_memstream(&text, &size);
            const bool written = writeMerged(plan, out, error);
            std::fclose(out);
            output.assign(text, size);
            std::free(text);
            if (!written) {
                output.clear();
            }
        }
    }
    if (output.empty()) {
        throw py::value_error(sources.empty() ? std::string("no shards to merge") : error);
    }
    // The run's first line says whether it has rows and in which precision.
    const std::string run = output.substr(0, output.find('\n'));
    BatchOptions options;
    options.everyGiven = run.find(", every -,") == std::string::npos;
    options.precision = run.find(", precision double,") != std::string::npos ? Precision::Double : Precision::Float;
    return ensembleColumns(output, options, plan.hash);
}

