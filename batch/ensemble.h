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
// Members come in member order, so that the slices' outputs after their first
// lines, joined in order, are the whole run's.
//
// The ensemble hash is FNV-1a 64 over the members' state hashes, each as its
// eight bytes in little-endian order, in member order.
#pragma once

#include <cstdint>
#include <cstdio>
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

// Checks that the slices' outputs at `paths` are of one run (the same first
// and header lines), and that their members follow on, none missing or
// repeated; then writes the whole run's output to `out` and its ensemble hash
// to `hash`. False with a one-line message in `error`.
bool mergeShards(const std::vector<std::string>& paths, std::FILE* out, std::uint64_t& hash, std::string& error);
