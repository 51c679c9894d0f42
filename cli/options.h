// The command line of chain20 and chain20-batch: one scanner that takes the
// options with a value out of argv, and the chain's options on it:
//   --links N          number of links, 1 to 100000         (20)
//   --gravity G        m/s^2, any finite value              (9.81)
//   --damping C        joint damping, >= 0                  (30)
//   --stiffness K      tip spring, >= 0                     (200)
//   --initial-angle A  joint 1's starting angle in radians  (-1.570796)
//   --precision P      float or double                      (float)
// Each takes its value as the next argument or after '='.
#pragma once

#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "dynamics/chain_dynamics.h"
#include "sim/state_view.h"

// An option with a value: its name ("--links"), what a missing value is
// called in the message ("a value"), and what takes the value (false with a
// one-line message in `error` for a bad one).
struct ValueOption {
    std::string_view name;
    std::string_view needs;
    std::function<bool(std::string_view value, std::string& error)> take;
};

// Takes the named options out of argv, in order (argc and argv are updated to
// what remains, argv[0] kept). Returns false with a one-line message in
// `error` for a missing value or one that an option does not take.
bool takeOptions(int& argc, char** argv, std::initializer_list<ValueOption> options, std::string& error);

// One line per chain option for a program's help text.
extern const char* const CHAIN_OPTIONS_HELP;

// Takes the chain options out of argv and applies them to `description` and,
// when --precision is given, `precision`. Returns false with a one-line
// message in `error` for a missing value, text that is not a number, NaN,
// infinity, a value out of range or an unknown precision.
bool takeChainOptions(int& argc, char** argv, ChainDescription& description, std::optional<Precision>& precision,
                      std::string& error);
