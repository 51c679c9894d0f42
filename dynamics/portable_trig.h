// Sine and cosine in double precision from additions, multiplications and
// integer arithmetic only, so that every build (glibc's libm,
// the WebAssembly C library) gets the same bits. The CSV's energy and tip
// position go through them; the C libraries' own sin and cos differ between
// builds in the last bit.
#pragma once

struct SineCosine {
    double sine;
    double cosine;
};

// sin x and cos x for every finite double x, within 2.5 units in the last
// place of the true values (the largest error measured against a 113-bit
// reference is 2.24 units below |x| = 1.5 2^20, where the remainder modulo
// pi/2 comes from a three-part subtraction, and 1.46 units above, where it is
// formed exactly). The error is relative also near the zeros of sine and
// cosine, at any |x| up to the largest double. NaN for a non-finite x. No
// allocation and no C library call.
SineCosine portableSinCos(double x);
