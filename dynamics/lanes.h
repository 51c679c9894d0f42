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

template <class Scalar, int W>
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

template <class S, int W>
struct LaneTraits<Lanes<S, W>> {
    using Scalar = S;
    using Wide = Lanes<double, W>;
    static constexpr int width = W;
    static Scalar lane(Lanes<S, W> value, int lane) { return value[lane]; }
    static void setLane(Lanes<S, W>& value, int lane, Scalar scalar) { value.set(lane, scalar); }
    static Wide widen(Lanes<S, W> value) { return Wide::of(__builtin_convertvector(value.v, typename Wide::Vector)); }
    static Lanes<S, W> narrow(Wide value) {
        return Lanes<S, W>::of(__builtin_convertvector(value.v, typename Lanes<S, W>::Vector));
    }
};

// Sines and cosines of lanes: each lane's value is an element of the flat
// array, so the scalar routine gives each lane its own chain's bits.
template <class S, int W>
void sinCosMany(const Lanes<S, W>* x, Lanes<S, W>* s, Lanes<S, W>* c, int n) {
    sinCosMany(reinterpret_cast<const S*>(x), reinterpret_cast<S*>(s), reinterpret_cast<S*>(c), n * W);
}

// The group widths the ensembles run: eight float chains, four double ones.
using FloatLanes = Lanes<float, 8>;
using DoubleLanes = Lanes<double, 4>;
