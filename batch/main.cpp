// chain20-batch: the window program's simulation without a window.
//
// It runs the same start-up, the same Runge-Kutta idle step (with its reset to
// rest) and the same mouse and key rules as chain20, fed from an event script
// instead of the window system, and writes the state as CSV. The cursor is
// mapped through the view that the window's reshape would set for a window of
// --width x --height pixels.
//
// Everything that can be wrong with the command line or the script is found
// before the first step. Errors are one line on stderr and exit status 2; a
// run that fails or is stopped leaves no output file behind. A replayed
// recording is checked against its final line: exit status 3 if it differs.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "batch/ensemble.h"
#include "batch/options.h"
#include "batch/run.h"
#include "cli/cli.h"
#include "sim/sim.h"

namespace {

// A reader that went away (`| head -1`) ends the run as it ends any filter:
// by SIGPIPE, or with its status when SIGPIPE is ignored.
constexpr int EXIT_READER_GONE = 128 + SIGPIPE;

// A replay that ends in another state than its recording.
constexpr int EXIT_REPLAY_DIFFERS = 3;

// Reads and parses the script. Without --steps the run is as long as the
// recording it holds; without --precision, in the recording's precision.
bool loadEvents(BatchOptions& options, EventScript& script) {
    const std::optional<std::int64_t> lastStep =
        options.stepsGiven ? std::optional<std::int64_t>(options.steps) : std::nullopt;
    if (std::string error; !loadEventScript(*options.events, lastStep, script, error)) {
        fail(error);
        return false;
    }
    if (!options.stepsGiven) {
        if (!script.recorded) {
            fail(STEPS_REQUIRED);
            return false;
        }
        options.steps = script.recorded->step;
    }
    options.precision = options.precision.value_or(script.precision);
    return true;
}

// Says whether the replay ended where the recording did, with the events it
// holds; returns the exit status.
int compareWithRecording(const RecordingEnd& recorded, std::uint64_t eventsHash, std::int64_t steps,
                         std::uint64_t stateHash) {
    const ReplayCheck check = checkReplay(recorded, eventsHash, steps, stateHash);
    fail(check.message);
    return check.verdict == ReplayVerdict::Differs ? EXIT_REPLAY_DIFFERS : 0;
}

void announceWaitForReader(const std::string& name) { fail("waiting for a reader of '" + name + "'"); }

// The line and exit status of a run stopped by a signal `where` it stood
// ("at step S", "after K of M members").
int reportInterruption(int signalNumber, const std::string& where, const std::string& leftBehind) {
    fail("interrupted " + where + "; " + leftBehind);
    return 128 + signalNumber;
}

// Ends a run whose output could not be written: no file left, exit status 2.
int abandonOutput(OutputFile& output, int errorNumber) {
    const bool readerGone = errorNumber == EPIPE;
    const std::string message = output.writeError(errorNumber);
    output.discard();
    if (readerGone) {
        return EXIT_READER_GONE;
    }
    fail(message);
    return EXIT_BAD_INPUT;
}

// The slices named for --merge, each a regular file (a slice is read twice),
// none of them the output: a merge over one of its slices would destroy it.
bool shardFiles(const std::vector<std::string>& paths, const std::string& out, std::vector<ShardSource>& sources,
                std::string& error) {
    struct stat output {};
    const bool outputExists = out == "-" ? ::fstat(STDOUT_FILENO, &output) == 0 : ::stat(out.c_str(), &output) == 0;
    for (const std::string& path : paths) {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) {
            error = "cannot read shard '" + path + "': " + std::strerror(errno);
            return false;
        }
        if (!S_ISREG(info.st_mode)) {
            error = "cannot read shard '" + path + "': it is not a regular file";
            return false;
        }
        if (outputExists && output.st_dev == info.st_dev && output.st_ino == info.st_ino) {
            error = "cannot write output '" + out + "': it is the shard '" + path + "'";
            return false;
        }
        sources.push_back({path, [path] { return std::make_unique<std::ifstream>(path, std::ios::binary); }});
    }
    return true;
}

// --merge: the slices' outputs checked, then joined into the whole run's.
// Nothing is opened for writing before every slice has proved its rows.
int mergeOutputs(const BatchOptions& options) {
    stopOnSignals();
    std::vector<ShardSource> sources;
    MergePlan plan;
    OutputFile output;
    if (std::string error;
        !shardFiles(options.merge, options.out, sources, error) || !checkShards(sources, plan, error) ||
        !output.open(options.out, FileIdentity{}, error, {announceWaitForReader, stopSignal}) ||
        !writeMerged(plan, output.stream(), error)) {
        const bool incomplete = output.stream() != nullptr && !output.writesTemporaryFile();
        output.discard();
        if (stopSignal() != 0) {
            return reportInterruption(stopSignal(), "during the merge",
                                      incomplete ? "the output on " + output.name() + " is incomplete"
                                                 : "no output written");
        }
        fail(error);
        return EXIT_BAD_INPUT;
    }
    if (const int errorNumber = output.commit(); errorNumber != 0) {
        return abandonOutput(output, errorNumber);
    }
    std::fprintf(stderr, "ensemble hash: %s\n", hashText(plan.hash).c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    fillClosedStandardDescriptors();
    BatchOptions options;
    std::string error;
    if (const int status = parseBatchOptions(argc, argv, options, error); status >= 0) {
        if (status == EXIT_BAD_INPUT) {
            fail(error);
        }
        return status;
    }

    if (!options.merge.empty()) {
        return mergeOutputs(options);
    }
    EventScript script;
    if (options.events && !loadEvents(options, script)) {
        return EXIT_BAD_INPUT;
    }
    if (!scriptKeepsToTheSweeps(options.setUp, script.events, error) ||
        !ensembleFitsPrecision(options, options.precision.value_or(Precision::Float), script.events, error)) {
        fail(error);
        return EXIT_BAD_INPUT;
    }

    // From here on a signal stops the run cleanly, so that no unfinished
    // output file is left behind.
    stopOnSignals();
    OutputFile output;
    if (!output.open(options.out, script.identity, error, {announceWaitForReader, stopSignal})) {
        // A FIFO's wait for a reader ends on a stop request, before any row.
        if (stopSignal() != 0) {
            return reportInterruption(stopSignal(), "at step 0", "no output written");
        }
        fail(error);
        return EXIT_BAD_INPUT;
    }

    const std::uint64_t eventsHash = script.recorded ? scriptHash(script.events) : 0;
    const RunResult run = options.ensemble ? runEnsemble(options, std::move(script.events), output.stream())
                                           : runBatch(options, std::move(script.events), output.stream());
    if (run.writeErrorNumber != 0) {
        return abandonOutput(output, run.writeErrorNumber);
    }
    if (run.stopSignal != 0) {
        const bool toFile = output.writesTemporaryFile();
        output.discard();
        const std::string where = options.ensemble && !options.member
                                      ? "after " + std::to_string(run.membersWritten) + " of " +
                                            std::to_string(run.members) + " members"
                                      : "at step " + std::to_string(run.stepsRun);
        return reportInterruption(run.stopSignal, where,
                                  toFile ? "no output written" : "the output on " + output.name() + " is incomplete");
    }
    if (const int errorNumber = output.commit(); errorNumber != 0) {
        return abandonOutput(output, errorNumber);
    }
    reportRun(run);
    return script.recorded && !options.ensemble
               ? compareWithRecording(*script.recorded, eventsHash, options.steps, run.stateHash)
               : 0;
}
