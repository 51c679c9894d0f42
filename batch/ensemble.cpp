#include "batch/ensemble.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <sstream>
#include <string_view>
#include <thread>
#include <utility>

#include "batch/csv.h"
#include "cli/progress_bar.h"
#include "cli/stderr_lines.h"
#include "sim/diagnostics.h"
#include "sim/parameters.h"
#include "sim/shortest_text.h"
#include "sim/state_hash.h"

namespace {

// Steps between a worker's looks at a stop request.
constexpr std::int64_t STEPS_BETWEEN_STOP_CHECKS = 1024;

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
            outcome.swept.push_back(shortestString(group.parameter(lane, sweep.parameter)));
        }
    }
    return true;
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
    return row + "," + shortestString(outcome.energy) + "," + shortestString(outcome.tip.x) + "," + shortestString(outcome.tip.y) +
           "," + std::to_string(outcome.resets) + (shadows ? "," + shortestString(outcome.lyapunov) : "") + "," +
           hashText(outcome.hash) + "\n";
}

// What a finished group leaves for the output: its text, and its members'
// state hashes and resets.
struct GroupText {
    std::string text;
    std::vector<std::uint64_t> hashes;
    std::int64_t resets = 0;
};

std::uint64_t addMemberHash(std::uint64_t ensemble, std::uint64_t member) {
    char bytes[8];
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<char>(member >> (8 * i));
    }
    return textHash(std::string_view(bytes, 8), ensemble);
}

int writeAll(std::FILE* out, std::string_view text) {
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), out) == text.size()) {
        return 0;
    }
    return errno != 0 ? errno : EIO;
}

// The run's output, written as its groups finish and in member order: a
// group that finishes before those ahead of it waits, and no worker starts
// a group more than `ahead` groups past the next one to write, so that the
// rows held in memory stay a few groups' worth at any number of members.
// Every byte written goes into the slice's rows hash.
class OrderedOutput {
public:
    OrderedOutput(std::FILE* out, std::int64_t ahead, ProgressBar& progress)
        : out(out), ahead(ahead), progress(progress) {}

    // The next of `groups` groups to run, or -1 when none is left or the run
    // stops.
    std::int64_t take(std::int64_t groups) {
        std::unique_lock<std::mutex> lock(mutex);
        turn.wait(lock, [this] { return stopped || nextToRun < nextToWrite + ahead; });
        stopped = stopped || stopSignal() != 0;
        if (stopped || nextToRun == groups) {
            turn.notify_all();
            return -1;
        }
        return nextToRun++;
    }

    // Writes group `group`'s text once every group before it is written.
    void put(std::int64_t group, GroupText text) {
        const std::lock_guard<std::mutex> lock(mutex);
        waiting.emplace(group, std::move(text));
        for (auto next = waiting.begin(); !stopped && next != waiting.end() && next->first == nextToWrite;
             next = waiting.erase(next), ++nextToWrite) {
            write(next->second.text);
            for (const std::uint64_t hash : next->second.hashes) {
                ensemble = addMemberHash(ensemble, hash);
            }
            resets += next->second.resets;
            membersWritten += static_cast<std::int64_t>(next->second.hashes.size());
            progress.show(membersWritten);
        }
        turn.notify_all();
    }

    void stop() {
        const std::lock_guard<std::mutex> lock(mutex);
        stopped = true;
        turn.notify_all();
    }

    // Ends the run as a failed write with `errorNumber` does.
    void fail(int errorNumber) {
        const std::lock_guard<std::mutex> lock(mutex);
        writeError = writeError != 0 ? writeError : errorNumber;
        stopped = true;
        turn.notify_all();
    }

    // Writes `text` at once: before the workers start, after they end, and
    // for put() under its lock.
    void write(std::string_view text) {
        if (writeError == 0) {
            rows = textHash(text, rows);
            writeError = writeAll(out, text);
            stopped = stopped || writeError != 0;
        }
    }

    // Whether all `groups` groups are written.
    bool finished(std::int64_t groups) const { return nextToWrite == groups && writeError == 0; }
    std::uint64_t rowsHash() const { return rows; }
    std::uint64_t ensembleHash() const { return ensemble; }
    std::int64_t resetsWritten() const { return resets; }
    std::int64_t members() const { return membersWritten; }
    int error() const { return writeError; }

private:
    std::FILE* out;
    const std::int64_t ahead;
    ProgressBar& progress;
    std::mutex mutex;
    std::condition_variable turn;
    std::map<std::int64_t, GroupText> waiting;
    std::int64_t nextToRun = 0;
    std::int64_t nextToWrite = 0;
    bool stopped = false;
    int writeError = 0;
    std::uint64_t rows = FNV_OFFSET_BASIS;
    std::uint64_t ensemble = FNV_OFFSET_BASIS;
    std::int64_t resets = 0;
    std::int64_t membersWritten = 0;
};

// A finished group's members in order: their rows and closing lines (with
// --every), or their summary rows.
GroupText groupText(const EnsembleRun& run, std::int64_t groupFirst, const std::vector<MemberOutcome>& outcomes) {
    GroupText group;
    const std::int64_t lanes = std::min<std::int64_t>(static_cast<std::int64_t>(outcomes.size()),
                                                      run.last - groupFirst + 1);
    for (std::int64_t lane = 0; lane < lanes; ++lane) {
        const MemberOutcome& outcome = outcomes[static_cast<std::size_t>(lane)];
        const std::int64_t k = groupFirst + lane;
        group.text += run.every > 0 ? outcome.rows + "# member " + std::to_string(k) + ": resets " +
                                          std::to_string(outcome.resets) + ", state hash " + hashText(outcome.hash) +
                                          "\n"
                                    : summaryRow(k, outcome, run.options.setUp.shadowDistance > 0.0);
        group.hashes.push_back(outcome.hash);
        group.resets += outcome.resets;
    }
    return group;
}

// The members first .. last in groups of Real's width over `threads`
// workers, each group written to `output` in its members' place. False when
// the run stopped before every group was written.
template <class Real>
bool runGroups(const EnsembleRun& run, int threads, OrderedOutput& output) {
    constexpr int width = MemberGroup<Real>::width;
    const std::int64_t groups = (run.last - run.first) / width + 1;
    const auto work = [&] {
        try {
            for (std::int64_t g = output.take(groups); g >= 0; g = output.take(groups)) {
                std::vector<MemberOutcome> outcomes(width);
                const auto append = [&outcomes](int lane, std::string_view row) {
                    outcomes[static_cast<std::size_t>(lane)].rows += row;
                };
                const std::int64_t groupFirst = run.first + g * width;
                if (!runGroup<Real>(run, groupFirst, outcomes.data(), append)) {
                    output.stop();
                    return;
                }
                output.put(g, groupText(run, groupFirst, outcomes));
            }
        } catch (const std::bad_alloc&) {
            // One group's rows (its lanes run together) larger than memory.
            output.fail(ENOMEM);
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
    return output.finished(groups);
}

std::string sweepText(const Sweep& sweep) {
    return std::string(sweptName(sweep.parameter)) + "=" + shortestString(sweep.from) + ":" + shortestString(sweep.to);
}

// The first line: everything the members' results depend on.
std::string runLine(const BatchOptions& options, const std::vector<ScriptEvent>& events, Precision precision) {
    const EnsembleSetUp& setUp = options.setUp;
    const ChainDescription& c = options.chain;
    std::string line = "# chain20-batch ensemble: members " + std::to_string(setUp.members) + ", precision " +
                       precisionName(precision) + ", links " + std::to_string(c.links) + ", gravity " +
                       shortestString(c.gravity) + ", damping " + shortestString(c.damping) + ", stiffness " +
                       shortestString(c.stiffness) + ", initial-angle " + shortestString(c.initialAngle) + ", perturb " +
                       shortestString(setUp.perturbation) + ", seed " + std::to_string(setUp.seed);
    for (const Sweep& sweep : setUp.sweeps) {
        line += ", sweep " + sweepText(sweep);
    }
    if (setUp.shadowDistance > 0.0) {
        line += ", lyapunov " + shortestString(setUp.shadowDistance);
    }
    line += ", steps " + std::to_string(options.steps) + ", every " +
            (options.everyGiven ? std::to_string(options.every) : std::string("-")) + ", window " +
            std::to_string(options.width) + "x" + std::to_string(options.height) + ", events " +
            hashText(scriptHash(events)) +
            "\n";
    return line;
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

std::string shardName(const BatchOptions& options) {
    return "# shard " + std::to_string(options.shardIndex) + "/" + std::to_string(options.shardCount);
}

std::string shardLine(const BatchOptions& options, std::int64_t first, std::int64_t last) {
    return shardName(options) + ": members " + std::to_string(first) + " to " + std::to_string(last) + "\n";
}

// A slice's last line: the FNV-1a 64 hash of every byte before it, which the
// merge recomputes, so that a slice edited, cut short or padded is refused.
std::string rowsHashLine(const BatchOptions& options, std::uint64_t hash) {
    return shardName(options) + ": rows hash " + hashText(hash) + "\n";
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
        hash = addMemberHash(hash, member);
    }
    return hash;
}

RunResult runEnsemble(const BatchOptions& options, std::vector<ScriptEvent> events, std::FILE* out) {
    programName = PROGRAM;
    const Precision precision = options.precision.value_or(Precision::Float);
    const std::string description = runLine(options, events, precision);
    const std::vector<InputChange> timeline = playScript(options, std::move(events), precision);
    const auto started = std::chrono::steady_clock::now();
    const std::int64_t whole = options.setUp.members;
    std::int64_t first = options.shardIndex * whole / options.shardCount;
    std::int64_t last = (options.shardIndex + 1) * whole / options.shardCount - 1;
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

    const std::int64_t members = last - first + 1;
    ProgressBar progress(members, progressWorthShowing(members * options.steps), "member");
    OrderedOutput output(out, 2 * static_cast<std::int64_t>(options.threads), progress);
    output.write(description + (options.sharded ? shardLine(options, first, last) : ""));
    output.write(run.every > 0 ? "member," + csvHeader(timeline.front().description.links)
                               : summaryHeader(options.setUp));
    const bool avx2 = machineHasAvx2();
    const bool finished =
        precision == Precision::Double
            ? (avx2 ? runGroups<DoubleLanesAvx2>(run, options.threads, output)
                    : runGroups<DoubleLanes>(run, options.threads, output))
            : (avx2 ? runGroups<FloatLanesAvx2>(run, options.threads, output)
                    : runGroups<FloatLanes>(run, options.threads, output));
    progress.clear();
    if (finished && options.sharded) {
        output.write(rowsHashLine(options, output.rowsHash()));
    }
    RunResult result;
    result.members = members;
    result.membersWritten = output.members();
    result.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    result.stopSignal = stopSignal();
    result.writeErrorNumber = output.error();
    result.stepsRun = finished ? options.steps : 0;
    result.resets = output.resetsWritten();
    result.stateHash = output.ensembleHash();
    return result;
}

namespace {

// The longest line a slice holds: a row of the longest chain.
constexpr std::size_t LONGEST_LINE = csvRowCapacity(MOST_LINKS) + 64;
constexpr std::size_t READ_CHUNK = 1 << 16;

std::string quotedPath(const std::string& path) { return "'" + path + "'"; }

bool wholeNumber(std::string_view text, std::int64_t& value) {
    const auto [stop, status] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && status == std::errc{} && stop == text.data() + text.size();
}

// A slice's lines one at a time, each with its newline, at most LONGEST_LINE
// long, read in chunks so that a slice of any size takes little memory; the
// bytes read so far go into the FNV-1a hash of the rows.
class LineReader {
public:
    explicit LineReader(std::istream& in) : in(in) {}

    // False at the end of the slice, or with `error` set for a line too long.
    bool next(std::string_view& line, std::string& error) {
        for (;;) {
            const std::size_t newline = buffer.find('\n', start);
            if (newline != std::string::npos || (ended && start < buffer.size())) {
                const std::size_t end = newline != std::string::npos ? newline + 1 : buffer.size();
                line = std::string_view(buffer).substr(start, end - start);
                hash = textHash(line, hash);
                offset += line.size();
                start = end;
                ++number;
                return true;
            }
            if (ended || buffer.size() - start > LONGEST_LINE) {
                error = buffer.size() - start > LONGEST_LINE ? "line " + std::to_string(number + 1) + " is too long"
                                                             : "";
                return false;
            }
            buffer.erase(0, start);
            start = 0;
            const std::size_t held = buffer.size();
            buffer.resize(held + READ_CHUNK);
            in.read(buffer.data() + held, READ_CHUNK);
            buffer.resize(held + static_cast<std::size_t>(in.gcount()));
            ended = in.gcount() == 0;
        }
    }

    std::uint64_t rowsHash() const { return hash; }
    std::uint64_t bytesRead() const { return offset; }
    std::int64_t lineNumber() const { return number; }
    bool failed() const { return in.bad(); }

private:
    std::istream& in;
    std::string buffer;
    std::size_t start = 0;
    bool ended = false;
    std::uint64_t hash = FNV_OFFSET_BASIS;
    std::uint64_t offset = 0;
    std::int64_t number = 0;
};

// "# shard I/K: members A to B\n" into the slice's numbers.
bool readShardLine(std::string_view line, ShardFile& shard) {
    constexpr std::string_view SHARD = "# shard ";
    const std::size_t slash = line.find('/');
    const std::size_t colon = line.find(": members ");
    const std::size_t to = line.find(" to ");
    return line.starts_with(SHARD) && line.ends_with('\n') && slash != std::string_view::npos &&
           colon != std::string_view::npos && to != std::string_view::npos && slash < colon && colon < to &&
           wholeNumber(line.substr(SHARD.size(), slash - SHARD.size()), shard.index) &&
           wholeNumber(line.substr(slash + 1, colon - slash - 1), shard.count) &&
           wholeNumber(line.substr(colon + 10, to - colon - 10), shard.first) &&
           wholeNumber(line.substr(to + 4, line.size() - to - 5), shard.last);
}

std::int64_t membersOfRun(std::string_view runLine) {
    constexpr std::string_view RUN = "# chain20-batch ensemble: members ";
    std::int64_t members = 0;
    return runLine.starts_with(RUN) && wholeNumber(runLine.substr(RUN.size(), runLine.find(',') - RUN.size()), members)
               ? members
               : 0;
}

// Whether `line` belongs to member `k`'s block: a row that starts with its
// number, a header after the links changed, or (then `ends` is set and the
// member's state hash taken) its closing line.
bool memberLine(std::string_view line, std::int64_t k, bool summary, bool& ends, std::uint64_t& hash) {
    const std::string number = std::to_string(k);
    const std::string_view hex = line.size() > 17 ? line.substr(line.size() - 17, 16) : std::string_view();
    ends = summary;
    if (summary) {
        return line.starts_with(number + ",") && line.ends_with('\n') && line[line.size() - 18] == ',' &&
               readHashText(hex, hash);
    }
    if (line.starts_with("# member ")) {
        ends = true;
        return line.starts_with("# member " + number + ": resets ") && line.find(", state hash ") == line.size() - 30 &&
               line.ends_with('\n') && readHashText(hex, hash);
    }
    return (line.starts_with(number + ",") || line.starts_with("member,step,time,")) && line.ends_with('\n');
}

bool shardError(const ShardFile& shard, const std::string& what, std::string& error) {
    error = quotedPath(shard.source->name) + ": " + what;
    return false;
}

// The first pass over a slice: its lines of note, its members in order, each
// once, and its rows hash recomputed.
bool readShard(const ShardSource& source, ShardFile& shard, std::string& error) {
    shard.source = &source;
    const std::unique_ptr<std::istream> in = source.open();
    if (!in || !*in) {
        error = "cannot read shard " + quotedPath(source.name);
        return false;
    }
    LineReader lines(*in);
    std::string_view line;
    std::string tooLong;
    const auto nextLine = [&] { return stopSignal() == 0 && lines.next(line, tooLong); };
    if (!nextLine() || membersOfRun(line) == 0 || !(shard.runLine = line, nextLine()) || !readShardLine(line, shard) ||
        !nextLine() || !line.starts_with("member,")) {
        error = quotedPath(source.name) + " is not the output of a chain20-batch --shard run";
        return false;
    }
    shard.header = line;
    shard.bodyStart = lines.bytesRead();
    const bool summary = shard.header.ends_with(",state_hash\n");
    const std::string trailer = "# shard " + std::to_string(shard.index) + "/" + std::to_string(shard.count) +
                                ": rows hash ";
    std::int64_t k = shard.first;
    std::uint64_t before = lines.rowsHash();
    for (; nextLine() && !line.starts_with(trailer); before = lines.rowsHash()) {
        bool ends = false;
        std::uint64_t hash = 0;
        if (k > shard.last || !memberLine(line, k, summary, ends, hash)) {
            return shardError(shard, "line " + std::to_string(lines.lineNumber()) + " is not a line of member " +
                                         std::to_string(std::min(k, shard.last)), error);
        }
        if (ends) {
            shard.hashes.push_back(hash);
            ++k;
        }
    }
    shard.bodyEnd = lines.bytesRead() - line.size();
    if (stopSignal() != 0 || lines.failed() || !tooLong.empty()) {
        return shardError(shard, stopSignal() != 0 ? "interrupted" : lines.failed() ? "cannot be read" : tooLong,
                          error);
    }
    if (!line.starts_with(trailer)) {
        return shardError(shard, "it ends before its rows hash (cut short?)", error);
    }
    if (k != shard.last + 1) {
        return shardError(shard, "member " + std::to_string(k) + " is missing", error);
    }
    if (!readHashText(line.substr(trailer.size(), 16), shard.rowsHash) || line.size() != trailer.size() + 17 ||
        !line.ends_with('\n') || nextLine()) {
        return shardError(shard, "its last line is not its rows hash", error);
    }
    if (shard.rowsHash != before) {
        return shardError(shard, "its rows do not match their hash (edited or damaged)", error);
    }
    return true;
}

// The slices of one run, members 0 to M - 1 each in one of them, in order.
bool shardsFitTogether(std::vector<ShardFile>& shards, std::string& error) {
    for (const ShardFile& shard : shards) {
        const std::int64_t members = membersOfRun(shard.runLine);
        if (shard.runLine != shards[0].runLine || shard.header != shards[0].header ||
            shard.count != shards[0].count) {
            error = quotedPath(shard.source->name) + " is a shard of another run than " +
                    quotedPath(shards[0].source->name);
            return false;
        }
        if (shard.index >= shard.count || shard.first != shard.index * members / shard.count ||
            shard.last != (shard.index + 1) * members / shard.count - 1) {
            return shardError(shard, "its members are not those of shard " + std::to_string(shard.index) + "/" +
                                         std::to_string(shard.count), error);
        }
    }
    std::sort(shards.begin(), shards.end(), [](const ShardFile& a, const ShardFile& b) { return a.first < b.first; });
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
    if (const std::int64_t members = membersOfRun(shards[0].runLine); next != members) {
        error = "members " + std::to_string(next) + " to " + std::to_string(members - 1) + " are missing";
        return false;
    }
    return true;
}

// The second pass: a slice's member lines copied to `out`, its rows hashed
// again on the way, so that a slice changed since the first pass is caught.
bool copyShardBody(const ShardFile& shard, std::FILE* out, std::string& error) {
    const std::unique_ptr<std::istream> in = shard.source->open();
    std::uint64_t hash = FNV_OFFSET_BASIS;
    std::uint64_t at = 0;
    std::string chunk(READ_CHUNK, '\0');
    while (in && *in && at < shard.bodyEnd && stopSignal() == 0) {
        in->read(chunk.data(), static_cast<std::streamsize>(std::min<std::uint64_t>(READ_CHUNK, shard.bodyEnd - at)));
        const std::string_view read(chunk.data(), static_cast<std::size_t>(in->gcount()));
        hash = textHash(read, hash);
        const std::uint64_t from = std::max(at, shard.bodyStart) - at;
        if (from < read.size()) {
            if (const int writeError = writeAll(out, read.substr(from)); writeError != 0) {
                error = std::string("cannot write the merged output: ") + std::strerror(writeError);
                return false;
            }
        }
        at += read.size();
    }
    if (stopSignal() != 0) {
        error = "interrupted";
        return false;
    }
    if (at != shard.bodyEnd || hash != shard.rowsHash) {
        return shardError(shard, "it changed while it was merged", error);
    }
    return true;
}

}  // namespace

bool checkShards(const std::vector<ShardSource>& sources, MergePlan& plan, std::string& error) {
    plan.shards.clear();
    plan.shards.resize(sources.size());
    for (std::size_t i = 0; i < sources.size(); ++i) {
        if (!readShard(sources[i], plan.shards[i], error)) {
            return false;
        }
    }
    if (!shardsFitTogether(plan.shards, error)) {
        return false;
    }
    std::vector<std::uint64_t> memberHashes;
    for (const ShardFile& shard : plan.shards) {
        memberHashes.insert(memberHashes.end(), shard.hashes.begin(), shard.hashes.end());
    }
    plan.hash = ensembleHash(memberHashes);
    return true;
}

bool writeMerged(const MergePlan& plan, std::FILE* out, std::string& error) {
    if (const int writeError = writeAll(out, plan.shards[0].runLine + plan.shards[0].header); writeError != 0) {
        error = std::string("cannot write the merged output: ") + std::strerror(writeError);
        return false;
    }
    for (const ShardFile& shard : plan.shards) {
        if (!copyShardBody(shard, out, error)) {
            return false;
        }
    }
    return true;
}
