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

// Whether a swept parameter running from `from` to `to` (in double) stays
// finite in the chain's precision at every member: both ends once rounded
// (in float, 1e39 is infinite) and the step between members. False with
// "--sweep: NAME must stay finite in PRECISION" in `error`.
bool checkSweptValues(std::string_view name, double from, double to, Precision precision, std::string& error);

// Whether members moved by EPS x u, |u| <= 1, from angles up to
// `largestAngle` in size start finite in the chain's precision (in float,
// EPS 1e39 is infinite, and every reset would bring the member back to a
// start that is not a state). False with "--perturb: EPS must leave the
// starting angles finite in PRECISION" in `error`.
bool checkPerturbation(double perturbation, double largestAngle, Precision precision, std::string& error);

// The Lyapunov shadow's distance D0 for a chain of `links` in `precision`.
// The shadow is moved by D0/sqrt(links) on every angle: below half a unit in
// the last place of an angle of one radian that offset is lost in rounding,
// the two chains coincide and no interval counts; above half a turn the
// shadow is no neighbour of the chain. The bounds, 3 significant digits
// rounded inward, are the ones accepted. False with "--lyapunov: D0 is not
// from LEAST to MOST for N links in PRECISION (...)" in `error`.
bool checkShadowDistance(double distance, std::int32_t links, Precision precision, std::string& error);

// A note for a chain too long for its precision to mean much, or "".
std::string precisionNote(std::int32_t links, Precision precision);
