// The chain's parameters as text: their checks, shared by the command line,
// the event script's set lines and the page, and the precision's words.
#pragma once

#include <string>
#include <string_view>

#include "dynamics/chain_dynamics.h"
#include "sim/state_view.h"

// Beyond this many links a float chain's joint rates are off by more than
// about 1% (the mass matrix's condition grows as N^3); double precision keeps
// them meaningful.
inline constexpr std::int32_t FLOAT_MEANINGFUL_LINKS = 200;

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

// The word of a precision ("float", "double"), and back; false for another word.
const char* precisionName(Precision precision);
bool readPrecision(std::string_view text, Precision& precision);

// A note for a chain too long for its precision to mean much, or "".
std::string precisionNote(std::int32_t links, Precision precision);
