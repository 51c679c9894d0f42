// Shortest round-trip text of floating-point numbers, as std::to_chars writes
// it without a format: the fewest characters that read back to the same
// value, %f style where that is no longer than %e style, and among texts of
// that length the one nearest the value.
//
// The WebAssembly build's C++ library has no floating-point to_chars; this
// one, built on the C library's correctly rounded printf and strtod, gives the
// same characters, so that the CSV is byte for byte the same in both builds.
#pragma once

#include <string>

// Writes the text of `value` at `out` (at least 32 characters free) and
// returns the end of it. No terminating zero is written.
char* writeShortest(char* out, float value);
char* writeShortest(char* out, double value);

// The same text as a string.
std::string shortestString(float value);
std::string shortestString(double value);

// The double that the shortest text of `value` stands for: 9.81 for 9.81f.
double decimalOf(float value);
