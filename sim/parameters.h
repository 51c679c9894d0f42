// The command-line options that describe the chain, shared by chain20 and
// chain20-batch:
//   --links N          number of links, 1 to 100000         (20)
//   --gravity G        m/s^2, any finite value              (9.81)
//   --damping C        joint damping, >= 0                  (30)
//   --stiffness K      tip spring, >= 0                     (200)
//   --initial-angle A  joint 1's starting angle in radians  (-1.570796)
//   --precision P      float or double                      (float)
// Each takes its value as the next argument or after '='.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "dynamics/chain_dynamics.h"
#include "sim/state_view.h"

// Beyond this many links a float chain's joint rates are off by more than
// about 1% (the mass matrix's condition grows as N^3); double precision keeps
// them meaningful.
inline constexpr std::int32_t FLOAT_MEANINGFUL_LINKS = 200;

// One line per option for a program's help text.
extern const char* const CHAIN_OPTIONS_HELP;

// Reads the whole text as a plain decimal (an optional '-', digits with at
// most one point, an optional exponent), rounded to the nearest float with
// ties to even, the same in every build. A value too small for the floats
// reads as the subnormal or the zero it rounds to; one too large reads as an
// infinity. False for any other text.
bool readDecimalFloat(std::string_view text, float& value);

// Sets one parameter of `description` from text, the parameter named as its
// option without the dashes ("links", "gravity", "damping", "stiffness",
// "initial-angle"), with the options' checks. Returns false with
// "NAME: 'TEXT' is not ..." in `error` for a bad value, and with a message
// listing the names for an unknown one.
bool setChainParameter(std::string_view name, std::string_view text, ChainDescription& description,
                       std::string& error);

// Takes the chain options out of argv (argc and argv are updated to what
// remains, in order) and applies them to `description` and, when
// --precision is given, `precision`.
// Returns false with a one-line message in `error` for an unknown value, a
// missing one, text that is not a number, NaN, infinity or a value out of
// range.
bool takeChainOptions(int& argc, char** argv, ChainDescription& description, std::optional<Precision>& precision,
                      std::string& error);

// The word of a precision ("float", "double"), and back; false for another word.
const char* precisionName(Precision precision);
bool readPrecision(std::string_view text, Precision& precision);

// A note for a chain too long for its precision to mean much, or "".
std::string precisionNote(std::int32_t links, Precision precision);
