// Values of W independent chains side by side, one per lane of a vector:
// Lanes<float, 8> carries eight chains' values through the recursion at once.
// Every operation acts lane by lane with IEEE rounding and no contraction, so
// each lane gets exactly the bits its chain gets alone. Wider than the
// machine's registers, a vector is split by the compiler into independent
// halves, which also hides the latency of the recursion's dependent chains.
//
// LaneTraits<Real> names, for a plain float or double and for lanes alike,
// the scalar of one lane, the number of lanes (1 for a plain value), a lane's
// value, and the double-width type that the spring's running point is
// carried in, with the conversions between them.
#pragma once

#include <cstddef>

#include "dynamics/sincos.h"

// The instruction set that a group's recursion is compiled for: the
// baseline (SSE2 on x86-64), or AVX2 where the machine has it
// (dynamics/chain_recursion_avx2.cpp). The arithmetic, and so every lane's
// bits, is the same in both.
struct BaselineVectors {};
struct Avx2Vectors {};

template <class Scalar, int W, class Isa = BaselineVectors>
struct Lanes {
    typedef Scalar Vector __attribute__((vector_size(W * sizeof(Scalar)), may_alias));
    static constexpr int width = W;

    Vector v;

    Lanes() = default;
    // Every lane the same value (-0 stays -0).
    Lanes(Scalar value) {
        for (int lane = 0; lane < W; ++lane) {
            v[lane] = value;
        }
    }
    static Lanes of(Vector lanes) {
        Lanes value;
        value.v = lanes;
        return value;
    }

    Scalar operator[](int lane) const { return v[lane]; }
    void set(int lane, Scalar value) { v[lane] = value; }

    friend Lanes operator+(Lanes a, Lanes b) { return of(a.v + b.v); }
    friend Lanes operator-(Lanes a, Lanes b) { return of(a.v - b.v); }
    friend Lanes operator*(Lanes a, Lanes b) { return of(a.v * b.v); }
    friend Lanes operator/(Lanes a, Lanes b) { return of(a.v / b.v); }
    friend Lanes operator-(Lanes a) { return of(-a.v); }
};

template <class Real>
struct LaneTraits {
    using Scalar = Real;
    using Wide = double;
    static constexpr int width = 1;
    static Scalar lane(Real value, int) { return value; }
    static void setLane(Real& value, int, Scalar scalar) { value = scalar; }
    static Wide widen(Real value) { return value; }
    static Real narrow(Wide value) { return static_cast<Real>(value); }
};

template <class S, int W, class I>
struct LaneTraits<Lanes<S, W, I>> {
    using Scalar = S;
    using Wide = Lanes<double, W, I>;
    static constexpr int width = W;
    static Scalar lane(Lanes<S, W, I> value, int lane) { return value[lane]; }
    static void setLane(Lanes<S, W, I>& value, int lane, Scalar scalar) { value.set(lane, scalar); }
    static Wide widen(Lanes<S, W, I> value) { return Wide::of(__builtin_convertvector(value.v, typename Wide::Vector)); }
    static Lanes<S, W, I> narrow(Wide value) {
        return Lanes<S, W, I>::of(__builtin_convertvector(value.v, typename Lanes<S, W, I>::Vector));
    }
};

// Sines and cosines of lanes: each lane's value is an element of the flat
// array, so the scalar routine gives each lane its own chain's bits.
template <class S, int W, class I>
void sinCosMany(const Lanes<S, W, I>* x, Lanes<S, W, I>* s, Lanes<S, W, I>* c, int n) {
    sinCosMany(reinterpret_cast<const S*>(x), reinterpret_cast<S*>(s), reinterpret_cast<S*>(c), n * W);
}

// The group widths the ensembles run: eight float chains, four double ones,
// for the baseline and for AVX2.
using FloatLanes = Lanes<float, 8>;
using DoubleLanes = Lanes<double, 4>;
using FloatLanesAvx2 = Lanes<float, 8, Avx2Vectors>;
using DoubleLanesAvx2 = Lanes<double, 4, Avx2Vectors>;

// Whether this machine runs the AVX2 groups.
inline bool machineHasAvx2() {
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}
