// The CSV rows of the headless runner.
//
// Columns: step, time, p1..pN, q1..qN, energy, tip_x, tip_y (N the links set
// up).
//   time      step x 0.001 s, written as the exact decimal (step / 1000)
//   p, q      the state's values, shortest text that reads back to the same
//             float (or double, for a chain in double precision)
//   energy    H(p, q) in double, tip_x, tip_y the free end of link N from the
//             base in double; shortest text that reads back to the same double
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "sim/state_view.h"

// Large enough for any row of N links: 2N values of at most 24 characters
// (floats take at most 15) and 3 doubles of at most 24, two integers and the
// separators.
constexpr std::size_t csvRowCapacity(int links) { return 128 + 25 * 2 * static_cast<std::size_t>(links) + 3 * 25; }
inline constexpr std::size_t CSV_ROW_CAPACITY = 2048;
static_assert(csvRowCapacity(LINK_COUNT) <= CSV_ROW_CAPACITY);

// The header line for `links` links, or for the links set up, with its
// newline.
std::string csvHeader(int links);
std::string_view csvHeader();

// Writes the row of `state` after `step` steps, with its newline, into
// `buffer` (csvRowCapacity of the state's links) and returns its length.
// Allocates nothing once the energy's working storage has grown to the
// chain's length (at the first row).
// The energy is taken under the chain's gravity, or under `gravity`.
std::size_t formatCsvRow(char* buffer, std::int64_t step, StateView state);
std::size_t formatCsvRow(char* buffer, std::int64_t step, StateView state, double gravity);
