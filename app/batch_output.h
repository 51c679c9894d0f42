// The CSV rows of the headless runner.
//
// Columns: step, time, p1..p20, q1..q20, energy, tip_x, tip_y.
//   time      step x 0.001 s, written as the exact decimal (step / 1000)
//   p, q      the state's floats, shortest text that reads back to the same float
//   energy    H(p, q) in double, tip_x, tip_y the free end of link 20 from the
//             base in double; shortest text that reads back to the same double
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "dynamics/chain_dynamics.h"

inline constexpr int CSV_COLUMNS = 2 + STATE_SIZE + 3;

// Large enough for any row: 40 floats and 3 doubles of at most 24 characters,
// two integers and the separators.
inline constexpr std::size_t CSV_ROW_CAPACITY = 2048;

// The header line, with its newline.
std::string_view csvHeader();

// Writes the row of `state` after `step` steps, with its newline, into
// `buffer` (CSV_ROW_CAPACITY characters) and returns its length. Allocates
// nothing.
std::size_t formatCsvRow(char* buffer, std::int64_t step, const StateVector& state);
