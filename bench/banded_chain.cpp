#include "bench/banded_chain.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

namespace {

constexpr double MASS = 1.0;
constexpr double LENGTH = 1.0;
constexpr double JOINT_INERTIA = 1.0 / 3.0;  // m L^2 / 3 about the joint
constexpr double GRAVITY = 9.81;

// Unknowns and equations of link i, five each: w_i, v_i.x, v_i.y, P_i.x,
// P_i.y; the rows hold link i's angular momentum, then its joint velocity,
// then its linear momentum. The rows reach 7 columns left of the diagonal and
// 9 right of it.
constexpr int PER_LINK = 5;
constexpr int W = 0;
constexpr int VX = 1;
constexpr int VY = 2;
constexpr int PX = 3;
constexpr int PY = 4;
constexpr int BELOW = 7;
constexpr int ABOVE = 9;

// A square matrix that is zero beyond `below` diagonals under the main one
// and `above` over it, with room for the `below` more over it that row
// exchanges bring in.
template <class Real>
class BandMatrix {
public:
    BandMatrix(int size, int below, int above)
        : size(size), below(below), reach(above + below), width(2 * below + above + 1),
          values(static_cast<std::size_t>(size) * static_cast<std::size_t>(width), Real(0)) {}

    Real& operator()(int row, int column) {
        return values[static_cast<std::size_t>(row) * static_cast<std::size_t>(width) +
                      static_cast<std::size_t>(column - row + below)];
    }

    // Solves A z = rhs in place, eliminating column by column with the
    // largest pivot among the rows that reach the column.
    void solve(std::vector<Real>& rhs) {
        for (int k = 0; k < size; ++k) {
            const int lastRow = std::min(size - 1, k + below);
            const int lastColumn = std::min(size - 1, k + reach);
            int pivot = k;
            for (int r = k + 1; r <= lastRow; ++r) {
                if (std::fabs((*this)(r, k)) > std::fabs((*this)(pivot, k))) {
                    pivot = r;
                }
            }
            if (pivot != k) {
                for (int c = k; c <= lastColumn; ++c) {
                    std::swap((*this)(k, c), (*this)(pivot, c));
                }
                std::swap(rhs[k], rhs[pivot]);
            }
            for (int r = k + 1; r <= lastRow; ++r) {
                const Real factor = (*this)(r, k) / (*this)(k, k);
                for (int c = k + 1; c <= lastColumn; ++c) {
                    (*this)(r, c) -= factor * (*this)(k, c);
                }
                rhs[r] -= factor * rhs[k];
            }
        }
        for (int k = size - 1; k >= 0; --k) {
            Real sum = rhs[k];
            for (int c = k + 1; c <= std::min(size - 1, k + reach); ++c) {
                sum -= (*this)(k, c) * rhs[c];
            }
            rhs[k] = sum / (*this)(k, k);
        }
    }

private:
    int size;
    int below;
    int reach;
    int width;
    std::vector<Real> values;
};

template <class Real>
struct Directions {
    std::vector<Real> cos;  // e_i.x
    std::vector<Real> sin;  // e_i.y
};

// The directions of the n links from the joint angles q[0..n-1].
template <class Real>
Directions<Real> linkDirections(const Real* q, int n) {
    Directions<Real> d{std::vector<Real>(static_cast<std::size_t>(n)), std::vector<Real>(static_cast<std::size_t>(n))};
    Real theta = Real(0);
    for (int i = 0; i < n; ++i) {
        theta += q[i];
        d.cos[i] = std::cos(theta);
        d.sin[i] = std::sin(theta);
    }
    return d;
}

// The 5N equations of the header, link by link; returns the unknowns.
template <class Real>
std::vector<Real> solveVelocitiesAndMomenta(const std::vector<Real>& x, const Directions<Real>& e, int n) {
    const Real m = Real(MASS);
    const Real L = Real(LENGTH);
    BandMatrix<Real> a(PER_LINK * n, BELOW, ABOVE);
    std::vector<Real> rhs(static_cast<std::size_t>(PER_LINK * n), Real(0));
    for (int i = 0; i < n; ++i) {
        const int link = PER_LINK * i;
        const int next = link + PER_LINK;
        const int previous = link - PER_LINK;
        const Real c = e.cos[i];
        const Real s = e.sin[i];
        const bool outboard = i + 1 < n;
        // Angular momentum about joint i.
        a(link + W, link + W) = Real(JOINT_INERTIA);
        a(link + W, link + VX) = -m * L / 2 * s;
        a(link + W, link + VY) = m * L / 2 * c;
        if (outboard) {
            a(link + W, next + PX) = -L * s;
            a(link + W, next + PY) = L * c;
        }
        rhs[link + W] = x[i] - (outboard ? x[i + 1] : Real(0));
        // Joint i moves with the far end of link i - 1 (the base is fixed).
        a(link + VX, link + VX) = Real(1);
        a(link + VY, link + VY) = Real(1);
        if (i > 0) {
            a(link + VX, previous + VX) = Real(-1);
            a(link + VX, previous + W) = L * e.sin[i - 1];
            a(link + VY, previous + VY) = Real(-1);
            a(link + VY, previous + W) = -L * e.cos[i - 1];
        }
        // Linear momentum of links i..N: link i's centre moves at
        // v_i + (L/2) w_i e_i'.
        a(link + PX, link + PX) = Real(1);
        a(link + PX, link + VX) = -m;
        a(link + PX, link + W) = m * L / 2 * s;
        a(link + PY, link + PY) = Real(1);
        a(link + PY, link + VY) = -m;
        a(link + PY, link + W) = -m * L / 2 * c;
        if (outboard) {
            a(link + PX, next + PX) = Real(-1);
            a(link + PY, next + PY) = Real(-1);
        }
    }
    a.solve(rhs);
    return rhs;
}

}  // namespace

template <class Real>
std::vector<Real> bandedStateDerivative(const std::vector<Real>& x) {
    const int n = static_cast<int>(x.size() / 2);
    const Real L = Real(LENGTH);
    const Directions<Real> e = linkDirections(x.data() + n, n);
    const std::vector<Real> z = solveVelocitiesAndMomenta(x, e, n);
    std::vector<Real> xdot(x.size());
    // sum_(k >= i) (c_k - r_i).x, from the tip inwards: the links beyond i
    // seen from joint i + 1, shifted by link i, plus link i's own centre.
    Real lever = Real(0);
    for (int i = n - 1; i >= 0; --i) {
        const int link = PER_LINK * i;
        lever = lever + Real(n - 1 - i) * L * e.cos[i] + L / 2 * e.cos[i];
        const Real vxP = z[link + VX] * z[link + PY] - z[link + VY] * z[link + PX];
        xdot[i] = -Real(MASS) * Real(GRAVITY) * lever - vxP;
        xdot[n + i] = z[link + W] - (i > 0 ? z[link - PER_LINK + W] : Real(0));
    }
    return xdot;
}

template <class Real>
std::vector<Real> jointMomenta(const std::vector<Real>& q, const std::vector<Real>& qdot) {
    const int n = static_cast<int>(q.size());
    const Real m = Real(MASS);
    const Real L = Real(LENGTH);
    const Directions<Real> e = linkDirections(q.data(), n);
    std::vector<Real> w(static_cast<std::size_t>(n));
    std::vector<Real> vx(static_cast<std::size_t>(n));
    std::vector<Real> vy(static_cast<std::size_t>(n));
    Real rate = Real(0);
    for (int i = 0; i < n; ++i) {
        rate += qdot[i];
        w[i] = rate;
        vx[i] = i > 0 ? vx[i - 1] - L * w[i - 1] * e.sin[i - 1] : Real(0);
        vy[i] = i > 0 ? vy[i - 1] + L * w[i - 1] * e.cos[i - 1] : Real(0);
    }
    std::vector<Real> p(static_cast<std::size_t>(n));
    Real px = Real(0);  // P_(i+1)
    Real py = Real(0);
    Real outboard = Real(0);  // p_(i+1)
    for (int i = n - 1; i >= 0; --i) {
        const Real c = e.cos[i];
        const Real s = e.sin[i];
        outboard = outboard + Real(JOINT_INERTIA) * w[i] + m * L / 2 * (c * vy[i] - s * vx[i]) + L * (c * py - s * px);
        p[i] = outboard;
        px = px + m * (vx[i] - L / 2 * w[i] * s);
        py = py + m * (vy[i] + L / 2 * w[i] * c);
    }
    return p;
}

template std::vector<long double> jointMomenta(const std::vector<long double>& q, const std::vector<long double>& qdot);
template std::vector<double> bandedStateDerivative(const std::vector<double>& x);
template std::vector<long double> bandedStateDerivative(const std::vector<long double>& x);
