#include "batch/ensemble.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string_view>
#include <thread>
#include <utility>

#include "batch/csv.h"
#include "cli/stderr_lines.h"
#include "sim/diagnostics.h"
#include "sim/parameters.h"
#include "sim/shortest_text.h"
#include "sim/state_hash.h"

namespace {

// Steps between a worker's looks at a stop request.
constexpr std::int64_t STEPS_BETWEEN_STOP_CHECKS = 1024;

template <class Value>
std::string shortest(Value value) {
    char text[40];
    return std::string(text, writeShortest(text, value));
}

// What one member leaves: its rows (with --every) and its end.
struct MemberOutcome {
    std::string rows;
    std::vector<std::string> swept;
    double energy = 0.0;
    TipPosition tip{};
    std::int64_t resets = 0;
    double lyapunov = 0.0;
    std::uint64_t hash = 0;
};

// What every group of a run shares.
struct EnsembleRun {
    const BatchOptions& options;
    const std::vector<InputChange>& timeline;
    std::int64_t first;  // the members run, first to last
    std::int64_t last;
    std::int64_t every;  // 0: one row per member at the end
    bool single;         // --member: the single-run CSV
};

// Runs one group of lanes through every step; `sink` takes each of a lane's
// rows. False when a stop was requested.
template <class Real>
bool runGroup(const EnsembleRun& run, std::int64_t groupFirst, MemberOutcome* outcomes,
              const std::function<void(int lane, std::string_view row)>& sink) {
    MemberGroup<Real> group(run.options.setUp, groupFirst, run.last);
    const int lanes = static_cast<int>(std::min<std::int64_t>(MemberGroup<Real>::width, run.last - groupFirst + 1));
    std::vector<char> row;
    std::size_t next = 0;
    int links = run.timeline.front().description.links;
    const std::string prefix = run.single ? "" : ",";
    for (std::int64_t step = 1; step <= run.options.steps; ++step) {
        for (; next < run.timeline.size() && run.timeline[next].step <= step; ++next) {
            group.take(run.timeline[next]);
            const int now = run.timeline[next].description.links;
            if (run.every > 0 && now != links) {
                for (int lane = 0; lane < lanes; ++lane) {
                    sink(lane, (run.single ? "" : "member,") + csvHeader(now));
                }
            }
            links = now;
        }
        group.step();
        if (run.every > 0 && (step % run.every == 0 || step == run.options.steps)) {
            row.resize(csvRowCapacity(links) + 32);
            for (int lane = 0; lane < lanes; ++lane) {
                const auto state = group.state(lane);
                const std::string member = run.single ? "" : std::to_string(group.member(lane)) + ",";
                const std::size_t length = formatCsvRow(row.data(), step, state, group.gravity(lane));
                sink(lane, member + std::string(row.data(), length));
            }
        }
        if (step % STEPS_BETWEEN_STOP_CHECKS == 0 && stopSignal() != 0) {
            return false;
        }
    }
    for (int lane = 0; lane < lanes; ++lane) {
        MemberOutcome& outcome = outcomes[lane];
        const auto state = group.state(lane);
        outcome.energy = chainEnergy(state, group.gravity(lane));
        outcome.tip = tipPosition(state);
        outcome.resets = group.resets(lane);
        outcome.hash = stateHash(state);
        outcome.lyapunov = group.lyapunovExponent(lane);
        for (const Sweep& sweep : run.options.setUp.sweeps) {
            outcome.swept.push_back(shortest(group.parameter(lane, sweep.parameter)));
        }
    }
    return true;
}

// The members first .. last in groups of Real's width over `threads` workers,
// each group's outcomes in its members' places.
template <class Real>
bool runGroups(const EnsembleRun& run, int threads, std::vector<MemberOutcome>& outcomes) {
    constexpr int width = MemberGroup<Real>::width;
    const std::int64_t groups = (run.last - run.first) / width + 1;
    std::atomic<std::int64_t> nextGroup{0};
    std::atomic<bool> stopped{false};
    const auto work = [&] {
        for (std::int64_t g = nextGroup++; g < groups && !stopped; g = nextGroup++) {
            MemberOutcome* const place = &outcomes[static_cast<std::size_t>(g * width)];
            const auto append = [place](int lane, std::string_view row) { place[lane].rows += row; };
            if (!runGroup<Real>(run, run.first + g * width, place, append)) {
                stopped = true;
            }
        }
    };
#if defined(__EMSCRIPTEN__)
    threads = 1;  // the node build has no threads
#endif
    std::vector<std::thread> workers;
    for (int t = 1; t < std::min<std::int64_t>(threads, groups); ++t) {
        workers.emplace_back(work);
    }
    work();
    for (std::thread& worker : workers) {
        worker.join();
    }
    return !stopped;
}

std::string sweepText(const Sweep& sweep) {
    return std::string(sweptName(sweep.parameter)) + "=" + shortest(sweep.from) + ":" + shortest(sweep.to);
}

// The first line: everything the members' results depend on.
std::string runLine(const BatchOptions& options, const std::vector<ScriptEvent>& events, Precision precision) {
    const EnsembleSetUp& setUp = options.setUp;
    const ChainDescription& c = options.chain;
    std::string line = "# chain20-batch ensemble: members " + std::to_string(setUp.members) + ", precision " +
                       precisionName(precision) + ", links " + std::to_string(c.links) + ", gravity " +
                       shortest(c.gravity) + ", damping " + shortest(c.damping) + ", stiffness " +
                       shortest(c.stiffness) + ", initial-angle " + shortest(c.initialAngle) + ", perturb " +
                       shortest(setUp.perturbation) + ", seed " + std::to_string(setUp.seed);
    for (const Sweep& sweep : setUp.sweeps) {
        line += ", sweep " + sweepText(sweep);
    }
    if (setUp.shadowDistance > 0.0) {
        line += ", lyapunov " + shortest(setUp.shadowDistance);
    }
    line += ", steps " + std::to_string(options.steps) + ", every " +
            (options.everyGiven ? std::to_string(options.every) : std::string("-")) + ", window " +
            std::to_string(options.width) + "x" + std::to_string(options.height) + ", events " +
            hashText(scriptHash(events)) +
            "\n";
    return line;
}

std::string summaryHeader(const EnsembleSetUp& setUp) {
    std::string header = "member";
    for (const Sweep& sweep : setUp.sweeps) {
        header += ',';
        header += sweptName(sweep.parameter);
    }
    return header + ",energy,tip_x,tip_y,resets" + (setUp.shadowDistance > 0.0 ? ",lyapunov" : "") + ",state_hash\n";
}

std::string summaryRow(std::int64_t member, const MemberOutcome& outcome, bool shadows) {
    std::string row = std::to_string(member);
    for (const std::string& value : outcome.swept) {
        row += ',';
        row += value;
    }
    return row + "," + shortest(outcome.energy) + "," + shortest(outcome.tip.x) + "," + shortest(outcome.tip.y) +
           "," + std::to_string(outcome.resets) + (shadows ? "," + shortest(outcome.lyapunov) : "") + "," +
           hashText(outcome.hash) + "\n";
}

int writeAll(std::FILE* out, std::string_view text) {
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), out) == text.size()) {
        return 0;
    }
    return errno != 0 ? errno : EIO;
}

// The conductor: the script played on the default chain's input state.
std::vector<InputChange> playScript(const BatchOptions& options, std::vector<ScriptEvent> events,
                                    Precision precision) {
    std::ostringstream discardedEcho;
    Session session = freshRun(options.chain, precision, options.width, options.height, discardedEcho);
    session.script = std::move(events);
    setUpChain(session);
    return inputTimeline(session, options.steps);
}

// --member K: its single-run CSV, row by row as it runs.
RunResult runMember(const BatchOptions& options, const EnsembleRun& run, Precision precision, std::FILE* out) {
    RunResult result;
    int writeError = writeAll(out, csvHeader(run.timeline.front().description.links));
    const auto write = [&](int, std::string_view row) {
        if (writeError == 0) {
            writeError = writeAll(out, row);
        }
    };
    MemberOutcome outcome;
    const bool finished = precision == Precision::Double ? runGroup<double>(run, run.first, &outcome, write)
                                                         : runGroup<float>(run, run.first, &outcome, write);
    result.stepsRun = finished ? options.steps : 0;
    result.resets = outcome.resets;
    result.stateHash = outcome.hash;
    result.writeErrorNumber = writeError;
    return result;
}

std::string shardLine(const BatchOptions& options, std::int64_t first, std::int64_t last) {
    return "# shard " + std::to_string(options.shardIndex) + "/" + std::to_string(options.shardCount) +
           ": members " + std::to_string(first) + " to " + std::to_string(last) + "\n";
}

}  // namespace

bool scriptKeepsToTheSweeps(const EnsembleSetUp& setUp, const std::vector<ScriptEvent>& events, std::string& error) {
    for (const ScriptEvent& event : events) {
        for (const Sweep& sweep : setUp.sweeps) {
            // ChainParameter counts the links first, SweptParameter does not.
            if (event.kind == EventKind::Set &&
                static_cast<int>(event.parameter) == static_cast<int>(sweep.parameter) + 1) {
                error = "--sweep " + std::string(sweptName(sweep.parameter)) + ": the script sets it at line " +
                        std::to_string(event.line);
                return false;
            }
        }
    }
    return true;
}

std::uint64_t ensembleHash(const std::vector<std::uint64_t>& memberHashes) {
    std::uint64_t hash = FNV_OFFSET_BASIS;
    for (const std::uint64_t member : memberHashes) {
        char bytes[8];
        for (int i = 0; i < 8; ++i) {
            bytes[i] = static_cast<char>(member >> (8 * i));
        }
        hash = textHash(std::string_view(bytes, 8), hash);
    }
    return hash;
}

RunResult runEnsemble(const BatchOptions& options, std::vector<ScriptEvent> events, std::FILE* out) {
    programName = PROGRAM;
    const Precision precision = options.precision.value_or(Precision::Float);
    const std::string description = runLine(options, events, precision);
    const std::vector<InputChange> timeline = playScript(options, std::move(events), precision);
    const auto started = std::chrono::steady_clock::now();
    const std::int64_t members = options.setUp.members;
    std::int64_t first = options.shardIndex * members / options.shardCount;
    std::int64_t last = (options.shardIndex + 1) * members / options.shardCount - 1;
    if (options.member) {
        first = last = *options.member;
    }
    const EnsembleRun run{options, timeline, first, last, options.everyGiven || options.member ? options.every : 0,
                          options.member.has_value()};
    if (options.member) {
        RunResult result = runMember(options, run, precision, out);
        result.stopSignal = stopSignal();
        result.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        return result;
    }

    std::vector<MemberOutcome> outcomes(static_cast<std::size_t>(last - first + 1 + 8));
    const bool avx2 = machineHasAvx2();
    const int threads = options.threads;
    const bool finished =
        precision == Precision::Double
            ? (avx2 ? runGroups<DoubleLanesAvx2>(run, threads, outcomes) : runGroups<DoubleLanes>(run, threads, outcomes))
            : (avx2 ? runGroups<FloatLanesAvx2>(run, threads, outcomes) : runGroups<FloatLanes>(run, threads, outcomes));
    RunResult result;
    result.members = last - first + 1;
    result.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    result.stopSignal = stopSignal();
    if (!finished) {
        return result;
    }
    result.stepsRun = options.steps;
    std::string text = description + (options.sharded ? shardLine(options, first, last) : "");
    text += run.every > 0 ? "member," + csvHeader(timeline.front().description.links) : summaryHeader(options.setUp);
    int writeError = writeAll(out, text);
    std::vector<std::uint64_t> hashes;
    for (std::int64_t k = first; k <= last && writeError == 0; ++k) {
        const MemberOutcome& outcome = outcomes[static_cast<std::size_t>(k - first)];
        hashes.push_back(outcome.hash);
        result.resets += outcome.resets;
        writeError = writeAll(out, run.every > 0 ? outcome.rows + "# member " + std::to_string(k) + ": resets " +
                                                        std::to_string(outcome.resets) + ", state hash " +
                                                        hashText(outcome.hash) + "\n"
                                                  : summaryRow(k, outcome, options.setUp.shadowDistance > 0.0));
    }
    result.stateHash = ensembleHash(hashes);
    result.writeErrorNumber = writeError;
    return result;
}

namespace {

// One slice's output, split into its lines of note.
struct ShardFile {
    std::string path;
    std::string runLine;
    std::int64_t first = 0;
    std::int64_t last = 0;
    std::int64_t count = 0;  // K of I/K
    std::string header;
    std::string body;
};

std::string quotedPath(const std::string& path) { return "'" + path + "'"; }

bool wholeNumber(std::string_view text, std::int64_t& value) {
    const auto [stop, status] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && status == std::errc{} && stop == text.data() + text.size();
}

// Takes the next line, with its newline, off the front of `text`.
std::string_view takeLine(std::string_view& text) {
    const std::size_t end = std::min(text.find('\n'), text.size() - 1) + 1;
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end);
    return line;
}

bool readShardFile(const std::string& path, ShardFile& shard, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream contents;
    contents << in.rdbuf();
    if (!in) {
        error = "cannot read shard " + quotedPath(path);
        return false;
    }
    const std::string text = contents.str();
    std::string_view rest = text;
    shard.path = path;
    shard.runLine = std::string(takeLine(rest));
    const std::string shardLine(takeLine(rest));
    shard.header = std::string(takeLine(rest));
    shard.body = std::string(rest);
    // "# shard I/K: members A to B\n"
    constexpr std::string_view SHARD = "# shard ";
    const std::size_t slash = shardLine.find('/');
    const std::size_t colon = shardLine.find(": members ");
    const std::size_t to = shardLine.find(" to ");
    std::int64_t index = 0;
    if (!shard.runLine.starts_with("# chain20-batch ensemble: members ") || !shardLine.starts_with(SHARD) ||
        slash == std::string::npos || colon == std::string::npos || to == std::string::npos ||
        !shardLine.ends_with('\n') || !wholeNumber(std::string_view(shardLine).substr(8, slash - 8), index) ||
        !wholeNumber(std::string_view(shardLine).substr(slash + 1, colon - slash - 1), shard.count) ||
        !wholeNumber(std::string_view(shardLine).substr(colon + 10, to - colon - 10), shard.first) ||
        !wholeNumber(std::string_view(shardLine).substr(to + 4, shardLine.size() - to - 5), shard.last)) {
        error = quotedPath(path) + " is not the output of a chain20-batch --shard run";
        return false;
    }
    return true;
}

// The members of a slice's body in order, each once, and their hashes: the
// summary rows' last column, or the "# member k: ..." lines after the rows.
bool memberHashes(const ShardFile& shard, std::vector<std::uint64_t>& hashes, std::string& error) {
    const bool summary = shard.header.ends_with(",state_hash\n");
    std::string_view rest = shard.body;
    std::int64_t expected = shard.first;
    while (!rest.empty()) {
        const std::string_view line = takeLine(rest);
        constexpr std::string_view MEMBER_END = "# member ";
        const bool end = line.starts_with(MEMBER_END);
        if (!summary && !end) {
            continue;
        }
        const std::size_t memberEnd = end ? line.find(':') : line.find(',');
        const std::string_view member = line.substr(end ? MEMBER_END.size() : 0,
                                                    memberEnd - (end ? MEMBER_END.size() : 0));
        std::uint64_t hash = 0;
        const std::string_view hex = line.size() > 17 ? line.substr(line.size() - 17, 16) : std::string_view();
        std::int64_t k = 0;
        if (!wholeNumber(member, k) || k != expected || hex.empty() ||
            std::from_chars(hex.data(), hex.data() + hex.size(), hash, 16).ptr != hex.data() + hex.size()) {
            error = quotedPath(shard.path) + ": member " + std::to_string(expected) + " is missing or out of order";
            return false;
        }
        hashes.push_back(hash);
        ++expected;
    }
    if (expected != shard.last + 1) {
        error = quotedPath(shard.path) + ": member " + std::to_string(expected) + " is missing";
        return false;
    }
    return true;
}

}  // namespace

bool mergeShards(const std::vector<std::string>& paths, std::FILE* out, std::uint64_t& hash, std::string& error) {
    std::vector<ShardFile> shards(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (!readShardFile(paths[i], shards[i], error)) {
            return false;
        }
        if (shards[i].runLine != shards[0].runLine || shards[i].header != shards[0].header ||
            shards[i].count != shards[0].count) {
            error = quotedPath(paths[i]) + " is a shard of another run than " + quotedPath(paths[0]);
            return false;
        }
    }
    std::sort(shards.begin(), shards.end(), [](const ShardFile& a, const ShardFile& b) { return a.first < b.first; });
    std::int64_t members = 0;
    wholeNumber(std::string_view(shards[0].runLine).substr(34, shards[0].runLine.find(',') - 34), members);
    std::int64_t next = 0;
    for (const ShardFile& shard : shards) {
        if (shard.first < next) {
            error = "shards overlap: member " + std::to_string(shard.first) + " is in more than one";
            return false;
        }
        if (shard.first > next) {
            error = "members " + std::to_string(next) + " to " + std::to_string(shard.first - 1) + " are missing";
            return false;
        }
        next = shard.last + 1;
    }
    if (next != members) {
        error = "members " + std::to_string(next) + " to " + std::to_string(members - 1) + " are missing";
        return false;
    }
    std::vector<std::uint64_t> hashes;
    for (const ShardFile& shard : shards) {
        if (!memberHashes(shard, hashes, error)) {
            return false;
        }
    }
    int writeError = writeAll(out, shards[0].runLine + shards[0].header);
    for (std::size_t i = 0; i < shards.size() && writeError == 0; ++i) {
        writeError = writeAll(out, shards[i].body);
    }
    if (writeError != 0) {
        error = std::string("cannot write the merged output: ") + std::strerror(writeError);
        return false;
    }
    hash = ensembleHash(hashes);
    return true;
}
