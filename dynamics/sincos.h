// Single-precision sine and cosine, correctly rounded (to nearest, ties to
// even) for every float, with the same bits on every machine that has IEEE-754
// float and double arithmetic without contraction: x86-64, AArch64 and
// WebAssembly alike. No C library function is called.
//
// sin(+-0) = +-0, cos(+-0) = 1; +-inf and NaN give NaN. Arguments of any size
// are reduced exactly, up to the largest float.
#pragma once

// s = sin(x), c = cos(x).
void sinCos(float x, float& s, float& c);

// s[i], c[i] = sinCos(x[i]) for i < n, bit for bit, several lanes at a time.
// The three arrays must not overlap.
void sinCosMany(const float* x, float* s, float* c, int n);

// The same for doubles, through portableSinCos: s[i], c[i] = sin, cos of x[i]
// within its stated accuracy, the same bits on every machine.
void sinCosMany(const double* x, double* s, double* c, int n);
