// The run of chain20-batch: the window program's start-up, then the steps
// with the script's events applied before them, a CSV row every K steps, and
// the closing summary.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "sim/events.h"
#include "sim/session.h"
#include "batch/options.h"

// Makes SIGINT, SIGTERM and SIGHUP stop the run after the current step,
// except those that were ignored when the program started: they stay ignored
// (nohup, background jobs of a script).
void stopOnSignals();

// The signal that asked the run to stop, or 0.
int stopSignal();

// Whether a run of `work` steps (member-steps, for an ensemble) draws a
// progress bar: on a terminal, and long enough to be waited for.
bool progressWorthShowing(std::int64_t work);

// Asks the run to stop as `signalNumber` would; 0 withdraws the request.
// The signals' handler; the Python package stops its ensembles by it too.
extern "C" void requestStop(int signalNumber);

// Opens /dev/null on whichever of descriptors 0 to 2 is closed, so that no
// file the program opens later takes their place.
void fillClosedStandardDescriptors();

struct RunResult {
    std::int64_t stepsRun = 0;
    double wallSeconds = 0.0;
    int stopSignal = 0;      // the signal that stopped the run, or 0
    int writeErrorNumber = 0;  // errno of the write that failed, or 0
    std::uint64_t stateHash = 0;  // of the state after the last step run; of an ensemble, its hash
    std::int64_t resets = 0;      // steps that ended non-finite, over all members run
    std::int64_t members = 0;     // of an ensemble's run; 0 for one chain
    std::int64_t membersWritten = 0;  // of an ensemble's run, when it stopped
};

// Applies the session's events before the first step, up to a stop
// request: a run of links or starting-angle changes sets the chain up once.
void setUpChain(Session& session);

// Runs the simulation through a session that plays `events`, writing the CSV
// to `out`. Stops early on a signal (during the set-up too) or as soon as a
// write fails. Reset lines after the first ten are summed up in one line at
// the end.
RunResult runBatch(const BatchOptions& options, std::vector<ScriptEvent> events, std::FILE* out);

// The closing summary on stderr.
void reportRun(const RunResult& run);
