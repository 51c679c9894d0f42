// Sine and cosine in double precision from additions, multiplications and
// exactly rounded library operations only, so that every build (glibc's libm,
// the WebAssembly C library) gets the same bits. The CSV's energy and tip
// position go through them; the C libraries' own sin and cos differ between
// builds in the last bit.
#pragma once

struct SineCosine {
    double sine;
    double cosine;
};

// sin x and cos x within about one unit in the last place for |x| up to about
// 1.6e6 (beyond that the reduction loses accuracy, not determinism). NaN for
// a non-finite x.
SineCosine portableSinCos(double x);
