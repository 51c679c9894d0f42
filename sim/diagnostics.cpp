#include "sim/diagnostics.h"

#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "dynamics/portable_trig.h"
#include "sim/shortest_text.h"

namespace {

constexpr double MASS = 1.0;
constexpr double LENGTH = 1.0;
constexpr double JOINT_INERTIA = 1.0 / 3.0;
constexpr double CENTROID_INERTIA = JOINT_INERTIA - MASS * (LENGTH / 2) * (LENGTH / 2);

struct Point {
    double x;
    double y;
};

// Planar spatial algebra about the base origin: a motion (w, vx, vy) is the
// angular velocity and the velocity of the body point at the origin; a
// momentum (n, hx, hy) the angular momentum about the origin and the linear
// momentum. A symmetric 3x3 inertia is kept as (a00, a01, a02, a11, a12, a22).
struct Inertia {
    double a00, a01, a02, a11, a12, a22;
};

// Working storage reused from row to row: it grows to the longest chain seen
// and then no row allocates.
struct Scratch {
    std::vector<Point> joint;   // r_1..r_(N+1)
    std::vector<Point> centre;  // c_1..c_N
    std::vector<double> matrix;  // N x N, row-major
    std::vector<double> vector;
    std::vector<Inertia> inertia;                // articulated inertia of links k..N
    std::vector<std::array<double, 3>> bias;     // and their momentum bias
};

// One per thread, so that chains on different threads share nothing.
Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

// Joints r_1..r_(N+1) and centres of mass c_1..c_N of the angles in the state.
void computeGeometry(StateView state, std::vector<Point>& joint, std::vector<Point>& centre) {
    const int n = state.links();
    joint.resize(static_cast<std::size_t>(n) + 1);
    centre.resize(static_cast<std::size_t>(n));
    double angle = 0.0;
    joint[0] = {0.0, 0.0};
    for (int i = 0; i < n; ++i) {
        angle += static_cast<double>(state[n + i]);
        const auto [s, c] = portableSinCos(angle);
        centre[i] = {joint[i].x + 0.5 * LENGTH * c, joint[i].y + 0.5 * LENGTH * s};
        joint[i + 1] = {joint[i].x + LENGTH * c, joint[i].y + LENGTH * s};
    }
}

// M(q) into `m`, row-major N x N.
void fillMassMatrix(StateView state, std::vector<double>& m) {
    Scratch& s = scratch();
    computeGeometry(state, s.joint, s.centre);
    const int n = state.links();
    m.assign(static_cast<std::size_t>(n) * static_cast<std::size_t>(n), 0.0);
    for (int k = 0; k < n; ++k) {
        for (int l = 0; l <= k; ++l) {
            // Links k..N move with both joints k and l (l <= k).
            double sum = 0.0;
            for (int i = k; i < n; ++i) {
                const double akx = s.centre[i].x - s.joint[k].x;
                const double aky = s.centre[i].y - s.joint[k].y;
                const double alx = s.centre[i].x - s.joint[l].x;
                const double aly = s.centre[i].y - s.joint[l].y;
                sum += MASS * (akx * alx + aky * aly) + CENTROID_INERTIA;
            }
            m[k * n + l] = sum;
            m[l * n + k] = sum;
        }
    }
}

// 1/2 p^T M^-1 p by the Cholesky factor M = L L^T (lower triangle) and
// y = L^-1 p: p^T M^-1 p = |y|^2.
double denseKineticEnergy(StateView state) {
    Scratch& s = scratch();
    std::vector<double>& a = s.matrix;
    fillMassMatrix(state, a);
    const int n = state.links();
    for (int j = 0; j < n; ++j) {
        double d = a[j * n + j];
        for (int k = 0; k < j; ++k) {
            d -= a[j * n + k] * a[j * n + k];
        }
        if (!(d > 0.0)) {
            return std::numeric_limits<double>::quiet_NaN();
        }
        const double pivot = std::sqrt(d);
        a[j * n + j] = pivot;
        for (int i = j + 1; i < n; ++i) {
            double sum = a[i * n + j];
            for (int k = 0; k < j; ++k) {
                sum -= a[i * n + k] * a[j * n + k];
            }
            a[i * n + j] = sum / pivot;
        }
    }
    std::vector<double>& y = s.vector;
    y.assign(static_cast<std::size_t>(n), 0.0);
    double sumOfSquares = 0.0;
    for (int i = 0; i < n; ++i) {
        double sum = static_cast<double>(state[i]);
        for (int k = 0; k < i; ++k) {
            sum -= a[i * n + k] * y[k];
        }
        y[i] = sum / a[i * n + i];
        sumOfSquares += y[i] * y[i];
    }
    return 0.5 * sumOfSquares;
}

// Link inertia about the origin: mass m with its centre at c and Ic about it.
Inertia linkInertiaAt(Point c) {
    return {CENTROID_INERTIA + MASS * (c.x * c.x + c.y * c.y), -MASS * c.y, MASS * c.x, MASS, 0.0, MASS};
}

// The articulated-body solve of M qdot = p in momentum form. The motion axis
// of joint k at r_k is S_k = (1, r_k.y, -r_k.x), and p_k = S_k . h_k with h_k
// the momentum of links k..N. Tip to base, that momentum is written as
// IA_k v_k + B_k (v_k the motion of link k); taking out joint k+1 gives
//   U = IA S, d = S.U, IA_k = I_k + IA - U U^T / d,
//   B_k = B + U (p - S.B) / d.
// Base to tip, qdot_k = (p_k - S.B_k - S.IA_k v_(k-1)) / d, v_k = v_(k-1) + S qdot_k.
void solveJointRates(StateView state, std::vector<double>& rates) {
    Scratch& s = scratch();
    computeGeometry(state, s.joint, s.centre);
    const int n = state.links();
    s.inertia.resize(static_cast<std::size_t>(n));
    s.bias.resize(static_cast<std::size_t>(n));
    const auto inertiaOf = [&s](int k) { return &s.inertia[k]; };
    const auto biasOf = [&s](int k) { return s.bias[k].data(); };
    const auto axisOf = [&s](int k) { return std::array<double, 3>{1.0, s.joint[k].y, -s.joint[k].x}; };
    const auto times = [](const Inertia& a, const std::array<double, 3>& v) {
        return std::array<double, 3>{a.a00 * v[0] + a.a01 * v[1] + a.a02 * v[2],
                                     a.a01 * v[0] + a.a11 * v[1] + a.a12 * v[2],
                                     a.a02 * v[0] + a.a12 * v[1] + a.a22 * v[2]};
    };
    const auto dot = [](const std::array<double, 3>& a, const double* b) {
        return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
    };

    *inertiaOf(n - 1) = linkInertiaAt(s.centre[n - 1]);
    double* tipBias = biasOf(n - 1);
    tipBias[0] = tipBias[1] = tipBias[2] = 0.0;
    for (int k = n - 2; k >= 0; --k) {
        const Inertia& child = *inertiaOf(k + 1);
        const double* childBias = biasOf(k + 1);
        const std::array<double, 3> axis = axisOf(k + 1);
        const std::array<double, 3> u = times(child, axis);
        const double d = dot(axis, u.data());
        const double e = (static_cast<double>(state[k + 1]) - dot(axis, childBias)) / d;
        const Inertia own = linkInertiaAt(s.centre[k]);
        *inertiaOf(k) = {own.a00 + child.a00 - u[0] * u[0] / d, own.a01 + child.a01 - u[0] * u[1] / d,
                         own.a02 + child.a02 - u[0] * u[2] / d, own.a11 + child.a11 - u[1] * u[1] / d,
                         own.a12 + child.a12 - u[1] * u[2] / d, own.a22 + child.a22 - u[2] * u[2] / d};
        double* bias = biasOf(k);
        for (int c = 0; c < 3; ++c) {
            bias[c] = childBias[c] + u[c] * e;
        }
    }
    rates.resize(static_cast<std::size_t>(n));
    std::array<double, 3> v{0.0, 0.0, 0.0};
    for (int k = 0; k < n; ++k) {
        const std::array<double, 3> axis = axisOf(k);
        const std::array<double, 3> u = times(*inertiaOf(k), axis);
        const double rate =
            (static_cast<double>(state[k]) - dot(axis, biasOf(k)) - dot(axis, times(*inertiaOf(k), v).data())) /
            dot(axis, u.data());
        rates[k] = rate;
        for (int c = 0; c < 3; ++c) {
            v[c] += axis[c] * rate;
        }
    }
}

}  // namespace

MassMatrix massMatrix(StateView state) {
    std::vector<double> flat;
    fillMassMatrix(state, flat);
    const int n = state.links();
    MassMatrix m(static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k) {
        m[k].assign(flat.begin() + k * n, flat.begin() + (k + 1) * n);
    }
    return m;
}

std::vector<double> jointRatesOf(StateView state) {
    std::vector<double> rates;
    solveJointRates(state, rates);
    return rates;
}

double kineticEnergy(StateView state) {
    const int n = state.links();
    if (n <= DENSE_ENERGY_LINKS) {
        return denseKineticEnergy(state);
    }
    for (int i = 0; i < state.size(); ++i) {
        if (!std::isfinite(state[i])) {
            return std::numeric_limits<double>::quiet_NaN();
        }
    }
    // T = 1/2 p . qdot.
    std::vector<double>& rates = scratch().vector;
    solveJointRates(state, rates);
    double twice = 0.0;
    for (int k = 0; k < n; ++k) {
        twice += static_cast<double>(state[k]) * rates[k];
    }
    return 0.5 * twice;
}

double potentialEnergy(StateView state) { return potentialEnergy(state, decimalOf(chain.gravity)); }

double potentialEnergy(StateView state, double g) {
    Scratch& s = scratch();
    computeGeometry(state, s.joint, s.centre);
    double v = 0.0;
    for (const Point& c : s.centre) {
        v += MASS * g * c.y;
    }
    return v;
}

double chainEnergy(StateView state) { return chainEnergy(state, decimalOf(chain.gravity)); }

double chainEnergy(StateView state, double g) { return kineticEnergy(state) + potentialEnergy(state, g); }

TipPosition tipPosition(StateView state) {
    Scratch& s = scratch();
    computeGeometry(state, s.joint, s.centre);
    return {s.joint.back().x, s.joint.back().y};
}
