// chain20-batch's ensembles (--members): the members that a process runs (all
// of them, a slice --shard I/K, or one --member K), in groups of SIMD lanes
// over --threads workers, and the joining of slices' outputs (--merge).
//
// Output: a first line "# chain20-batch ensemble: ..." that names the whole
// run (what every slice of it shares), in a slice a line "# shard I/K:
// members A to B", then the CSV. Without --every one row per member after the
// last step:
//   member,<swept parameters>,energy,tip_x,tip_y,resets,state_hash
// the swept parameters as the member's chain holds them; with --every K each
// member's rows "member,step,time,p..,q..,energy,tip_x,tip_y" as the
// single-run CSV has them, then "# member k: resets R, state hash H".
// Members come in member order, written as their groups finish, so that the
// slices' outputs after their first lines, joined in order, are the whole
// run's. A slice ends in "# shard I/K: rows hash H", H the FNV-1a 64 hash of
// every byte before that line, which --merge recomputes.
//
// The ensemble hash is FNV-1a 64 over the members' state hashes, each as its
// eight bytes in little-endian order, in member order.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "batch/options.h"
#include "batch/run.h"

// Runs the selected members and writes their output to `out`. The result's
// state hash is the ensemble hash, or with --member the member's own.
RunResult runEnsemble(const BatchOptions& options, std::vector<ScriptEvent> events, std::FILE* out);

// An ensemble's swept parameter is the members' own: false, with the message
// in `error`, when the script sets one.
bool scriptKeepsToTheSweeps(const EnsembleSetUp& setUp, const std::vector<ScriptEvent>& events, std::string& error);

std::uint64_t ensembleHash(const std::vector<std::uint64_t>& memberHashes);

// A slice's output for --merge: its name in messages, and how to read it
// from its start (once for each pass; null or failed when it cannot be read).
struct ShardSource {
    std::string name;
    std::function<std::unique_ptr<std::istream>()> open;
};

// What the merge's first pass learns of a slice.
struct ShardFile {
    const ShardSource* source = nullptr;
    std::string runLine;
    std::string header;
    std::int64_t index = 0;  // I/K
    std::int64_t count = 0;
    std::int64_t first = 0;
    std::int64_t last = 0;
    std::uint64_t bodyStart = 0;  // bytes before the first member's line
    std::uint64_t bodyEnd = 0;    // bytes before the rows hash's line
    std::uint64_t rowsHash = 0;
    std::vector<std::uint64_t> hashes;  // the members' state hashes
};

// What the merge learned of its slices: in member order, each checked.
struct MergePlan {
    std::vector<ShardFile> shards;
    std::uint64_t hash = 0;  // the whole run's ensemble hash
};

// The merge's first pass, before any output is opened: each slice read
// through, its rows hash recomputed and its members checked to follow on,
// the slices of one run with none missing or repeated. False with a one-line
// message in `error`.
bool checkShards(const std::vector<ShardSource>& sources, MergePlan& plan, std::string& error);

// The second pass: the whole run's output written to `out`, each slice's rows
// hashed again as they are copied. False with a one-line message in `error`.
bool writeMerged(const MergePlan& plan, std::FILE* out, std::string& error);
