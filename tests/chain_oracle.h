// A reference model of the planar chain of n links (n the length of the angle
// vector, 20 by default), written directly from its energies rather than from
// the articulated-body recursion, in any floating-point type: double to check
// the float chain, long double (64-bit significand) to check the double one.
//
// Geometry (base frame, x right, y up, joint 1 fixed at the origin):
//   th_i = q_1 + ... + q_i                       absolute angle of link i
//   e_i  = (cos th_i, sin th_i)                  unit vector along link i
//   r_1  = 0,  r_(i+1) = r_i + L e_i             joint i+1 sits at the far end of link i
//   c_i  = r_i + (L/2) e_i                       centre of mass of link i
//   r_(n+1)                                       the tip of the chain
//
// Turning joint k alone rotates every point P outboard of it about r_k, so the
// velocity Jacobian of P with respect to q_k is z x (P - r_k) = (-(P - r_k).y,
// (P - r_k).x) for links k..n and zero otherwise; every link i >= k turns at
// the full rate qdot_k.
//
// Kinetic energy: T = sum_i 1/2 m |v_ci|^2 + 1/2 Ic w_i^2, with Ic = J - m (L/2)^2
// the moment of inertia about the centre of mass (J = 1/3 about the joint) and
// w_i = qdot_1 + ... + qdot_i. Hence
//   M_kl = sum_(i >= max(k, l)) [ m (c_i - r_k).(c_i - r_l) + Ic ].
// Potential energy: V = sum_i m g y(c_i). Hamiltonian: H = 1/2 p^T M^-1 p + V.
//
// Loads besides gravity: the joint damping D_k = -b (r_k + ... + r_n), where r
// are the damping rates; and the tip spring, whose stretch is measured on a
// virtual chain two units per link long, stretch = t - 2 r_21, and whose force
// F = k stretch acts at the real tip, giving S_k = (z x (r_21 - r_k)) . F. That
// force is minus the gradient of the spring energy (k/4) |t - 2 r_21|^2.
//
// Momentum rates: dp/dt = -dH/dq + D + S, with dH/dq by central differences of
// H (hamiltonianGradient) or, as an independent cross-check, from the explicit
// derivative of the energies at fixed joint rates (hamiltonianGradientFromRates).
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace chain_oracle {

inline constexpr int N = 20;  // the default chain

inline constexpr double MASS = 1.0;
inline constexpr double LENGTH = 1.0;
// The moments of inertia as quotients in the model's own type: 1/3 rounded to
// double would perturb a long double model by 1e-17 of M.
template <class R>
inline constexpr R JOINT_INERTIA = R(MASS) * R(LENGTH) * R(LENGTH) / R(3);  // about the joint axis
template <class R>
inline constexpr R CENTROID_INERTIA = JOINT_INERTIA<R> - R(MASS) * (R(LENGTH) / 2) * (R(LENGTH) / 2);  // 1/12
// The loads as the chains take them, in double.
inline constexpr double G = 9.81;
inline constexpr double DAMPING = 30.0;
inline constexpr double STIFFNESS = 200.0;
// The spring target is given at twice the chain's scale: two units per link.
inline constexpr double TARGET_SCALE = 2.0;

// Step of the central differences, in radians. The angles enter H only
// through sines and cosines, so their natural scale is one radian whatever
// their value, and the step is absolute.
//
// A plain central difference D(h) = H' + h^2/6 H''' + O(h^4) has two error
// sources: truncation, h^2/6 |H'''|, and rounding, eps_H |H| / h. Here eps_H is
// not 1e-16 but nearer 1e-13: the triangular solve inside H loses about
// sqrt(cond M) ~ 350 ulps, and that loss is not smooth in q. For chains
// whipping at thousands of rad/s (momenta of a few hundred in the poorly
// conditioned directions) rounding already dominates at h = 1e-5, while for
// slow chains truncation dominates at h = 1e-4, so no single plain step does
// better than a few 1e-8. Richardson's combination (4 D(h/2) - D(h)) / 3
// cancels the h^2 term; with h = 1e-3 the remaining truncation, O(h^4), and the
// rounding, about 1e-13 |H| / 5e-4, both stay near 1e-9 of |dH/dq|. Against the
// explicit gradient of hamiltonianGradientFromRates the differenced gradient
// agrees to better than 1e-8 over slow and fast random states, three orders of
// magnitude below the single-precision effects the tests resolve. Checks
// tighter than that take the explicit gradient.
inline constexpr double DIFFERENCE_STEP = 1e-3;

// Vectors and square matrices of any n in the model's type R; made with n = 20
// entries (zeros) when no size is given. Vec, Mat, Point and Derivative are
// the double ones.
template <class R>
struct VecOf : std::vector<R> {
    VecOf() : std::vector<R>(N, R(0)) {}
    explicit VecOf(int n) : std::vector<R>(static_cast<std::size_t>(n), R(0)) {}
    int size() const { return static_cast<int>(std::vector<R>::size()); }
};
using Vec = VecOf<double>;
template <class R>
using MatOf = std::vector<std::vector<R>>;
using Mat = MatOf<double>;
template <class R>
MatOf<R> zeroMatrix(int n) {
    return MatOf<R>(static_cast<std::size_t>(n), std::vector<R>(static_cast<std::size_t>(n), R(0)));
}

template <class R>
struct PointOf {
    R x = 0;
    R y = 0;
};
using Point = PointOf<double>;

template <class R>
PointOf<R> operator-(PointOf<R> a, PointOf<R> b) {
    return {a.x - b.x, a.y - b.y};
}
template <class R>
R dot(PointOf<R> a, PointOf<R> b) {
    return a.x * b.x + a.y * b.y;
}
// z x a: the velocity of a point at offset a from a joint turning at unit rate.
template <class R>
PointOf<R> perp(PointOf<R> a) {
    return {-a.y, a.x};
}

template <class R>
struct Geometry {
    std::vector<PointOf<R>> joint;   // joint[k] = r_(k+1); joint[n] = tip
    std::vector<PointOf<R>> centre;  // centre[i] = centre of mass of link i+1
};

template <class R>
Geometry<R> geometry(const VecOf<R>& q) {
    const int n = q.size();
    Geometry<R> g{std::vector<PointOf<R>>(static_cast<std::size_t>(n) + 1),
                  std::vector<PointOf<R>>(static_cast<std::size_t>(n))};
    const R length = R(LENGTH);
    R theta = 0;
    for (int i = 0; i < n; ++i) {
        theta += q[i];
        const PointOf<R> e{std::cos(theta), std::sin(theta)};
        g.centre[i] = {g.joint[i].x + length / 2 * e.x, g.joint[i].y + length / 2 * e.y};
        g.joint[i + 1] = {g.joint[i].x + length * e.x, g.joint[i].y + length * e.y};
    }
    return g;
}

template <class R>
PointOf<R> tipPosition(const VecOf<R>& q) {
    return geometry(q).joint.back();
}

// M = sum over links i of m J_i^T J_i + Ic w_i^T w_i, where column k of the
// centre-of-mass Jacobian J_i is z x (c_i - r_k) and w_i = (1, ..., 1, 0, ...)
// has ones for k <= i. Since (z x a).(z x b) = a.b, each link adds
// m (c_i - r_k).(c_i - r_l) + Ic to every entry with k, l <= i. For l <= k,
// c_i - r_l = (c_i - r_k) + (r_k - r_l) splits the sum over i >= k into
//   M_kl = S_k + m (r_k - r_l).F_k,
//   S_k = sum_(i>=k) [m |c_i - r_k|^2 + Ic],  F_k = sum_(i>=k) (c_i - r_k),
// n^2 work in all. The lower triangle is formed and mirrored.
template <class R>
MatOf<R> massMatrix(const VecOf<R>& q) {
    const int n = q.size();
    const Geometry<R> g = geometry(q);
    MatOf<R> m = zeroMatrix<R>(n);
    for (int k = 0; k < n; ++k) {
        R diagonal = 0;
        PointOf<R> moment{};
        for (int i = k; i < n; ++i) {
            const PointOf<R> arm = g.centre[i] - g.joint[k];
            diagonal += R(MASS) * dot(arm, arm) + CENTROID_INERTIA<R>;
            moment = {moment.x + arm.x, moment.y + arm.y};
        }
        for (int l = 0; l <= k; ++l) {
            m[k][l] = diagonal + R(MASS) * dot(g.joint[k] - g.joint[l], moment);
        }
    }
    for (int k = 0; k < n; ++k) {
        for (int l = k + 1; l < n; ++l) {
            m[k][l] = m[l][k];
        }
    }
    return m;
}

template <class R>
R potentialEnergy(const VecOf<R>& q) {
    const Geometry<R> g = geometry(q);
    R v = 0;
    for (const PointOf<R>& centre : g.centre) {
        v += R(MASS) * R(G) * centre.y;
    }
    return v;
}

template <class R>
VecOf<R> multiply(const MatOf<R>& m, const VecOf<R>& v) {
    const int n = v.size();
    VecOf<R> r(n);
    for (int i = 0; i < n; ++i) {
        R s = 0;
        for (int j = 0; j < n; ++j) {
            s += m[i][j] * v[j];
        }
        r[i] = s;
    }
    return r;
}

template <class R>
R dot(const VecOf<R>& a, const VecOf<R>& b) {
    R s = 0;
    for (int i = 0; i < a.size(); ++i) {
        s += a[i] * b[i];
    }
    return s;
}

template <class R>
R norm(const VecOf<R>& v) {
    return std::sqrt(dot(v, v));
}

template <class R>
R distance(const VecOf<R>& a, const VecOf<R>& b) {
    VecOf<R> d(a.size());
    for (int i = 0; i < a.size(); ++i) {
        d[i] = a[i] - b[i];
    }
    return norm(d);
}

// Lower-triangular Cholesky factor of a symmetric positive definite matrix.
// Returns false if a pivot is not positive.
template <class R>
bool cholesky(const MatOf<R>& a, MatOf<R>& l) {
    const int n = static_cast<int>(a.size());
    l = zeroMatrix<R>(n);
    for (int j = 0; j < n; ++j) {
        const R* lj = l[j].data();
        R d = a[j][j];
        for (int k = 0; k < j; ++k) {
            d -= lj[k] * lj[k];
        }
        if (!(d > 0)) {
            return false;
        }
        l[j][j] = std::sqrt(d);
        for (int i = j + 1; i < n; ++i) {
            const R* li = l[i].data();
            R s = a[i][j];
            for (int k = 0; k < j; ++k) {
                s -= li[k] * lj[k];
            }
            l[i][j] = s / lj[j];
        }
    }
    return true;
}

// y = L^-1 b.
template <class R>
VecOf<R> forwardSubstitute(const MatOf<R>& l, const VecOf<R>& b) {
    const int n = b.size();
    VecOf<R> y(n);
    for (int i = 0; i < n; ++i) {
        R s = b[i];
        for (int k = 0; k < i; ++k) {
            s -= l[i][k] * y[k];
        }
        y[i] = s / l[i][i];
    }
    return y;
}

// x = L^-T y.
template <class R>
VecOf<R> backSubstitute(const MatOf<R>& l, const VecOf<R>& y) {
    const int n = y.size();
    VecOf<R> x(n);
    for (int i = n - 1; i >= 0; --i) {
        R s = y[i];
        for (int k = i + 1; k < n; ++k) {
            s -= l[k][i] * x[k];
        }
        x[i] = s / l[i][i];
    }
    return x;
}

// dq/dt = M(q)^-1 p.
template <class R>
VecOf<R> jointRates(const VecOf<R>& p, const VecOf<R>& q) {
    MatOf<R> l;
    if (!cholesky(massMatrix(q), l)) {
        VecOf<R> nan(p.size());
        std::fill(nan.begin(), nan.end(), std::numeric_limits<R>::quiet_NaN());
        return nan;
    }
    return backSubstitute(l, forwardSubstitute(l, p));
}

// H = 1/2 p^T M^-1 p + V = 1/2 |L^-1 p|^2 + V.
template <class R>
R hamiltonian(const VecOf<R>& p, const VecOf<R>& q) {
    MatOf<R> l;
    if (!cholesky(massMatrix(q), l)) {
        return std::numeric_limits<R>::quiet_NaN();
    }
    const VecOf<R> y = forwardSubstitute(l, p);
    return dot(y, y) / 2 + potentialEnergy(q);
}

// Derivative of f along each angle by Richardson-extrapolated central
// differences with steps h and h/2. The step actually taken is the difference
// of the two perturbed angles as stored, so the rounding of q_k +- h does not
// bias the quotient.
template <class R, typename Function>
VecOf<R> centralGradient(const VecOf<R>& q, Function f) {
    const auto difference = [&q, &f](int k, R step) {
        VecOf<R> plus = q;
        VecOf<R> minus = q;
        plus[k] = q[k] + step;
        minus[k] = q[k] - step;
        return (f(plus) - f(minus)) / (plus[k] - minus[k]);
    };
    VecOf<R> gradient(q.size());
    for (int k = 0; k < q.size(); ++k) {
        const R coarse = difference(k, R(DIFFERENCE_STEP));
        const R fine = difference(k, R(DIFFERENCE_STEP) / 2);
        gradient[k] = (4 * fine - coarse) / 3;
    }
    return gradient;
}

// dH/dq at fixed p, by central differences of H.
template <class R>
VecOf<R> hamiltonianGradient(const VecOf<R>& p, const VecOf<R>& q) {
    return centralGradient(q, [&p](const VecOf<R>& angles) { return hamiltonian(p, angles); });
}

// dH/dq at fixed p from the explicit derivatives of the energies: with
// qdot = M^-1 p, dH/dq_k = -dT/dq_k (at fixed qdot) + dV/dq_k. The centre of
// link i moves at v_ci = z x a_i, a_i = sum_(j<=i) (c_i - r_j) qdot_j.
// Turning joint k rotates the offset c_i - r_j (j <= i, k <= i) by z x, with the
// offset measured from r_max(j,k); so d(v_ci)/dq_k = -sum_(j<=i) (c_i - r_max(j,k)) qdot_j,
// which splits at j = k into -(a_i - b_k) with b_k = sum_(j<k) (r_k - r_j) qdot_j.
// dV/dq_k = m g sum_(i>=k) (c_i - r_k).x. Angular velocities do not depend on q.
template <class R>
VecOf<R> hamiltonianGradientFromRates(const VecOf<R>& p, const VecOf<R>& q) {
    const int n = q.size();
    const Geometry<R> g = geometry(q);
    const VecOf<R> rates = jointRates(p, q);
    std::vector<PointOf<R>> a(static_cast<std::size_t>(n));
    std::vector<PointOf<R>> b(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j <= i; ++j) {
            const PointOf<R> arm = g.centre[i] - g.joint[j];
            a[i] = {a[i].x + arm.x * rates[j], a[i].y + arm.y * rates[j]};
        }
        for (int j = 0; j < i; ++j) {
            const PointOf<R> arm = g.joint[i] - g.joint[j];
            b[i] = {b[i].x + arm.x * rates[j], b[i].y + arm.y * rates[j]};
        }
    }
    VecOf<R> gradient(n);
    for (int k = 0; k < n; ++k) {
        R kinetic = 0;
        R potential = 0;
        for (int i = k; i < n; ++i) {
            const PointOf<R> dv = b[k] - a[i];
            kinetic += R(MASS) * dot(perp(a[i]), dv);
            potential += R(MASS) * R(G) * (g.centre[i] - g.joint[k]).x;
        }
        gradient[k] = -kinetic + potential;
    }
    return gradient;
}

// Spring energy (k/4) |t - 2 r_tip|^2: k times the stretch on the doubled
// chain, acting at the real tip.
template <class R>
R springEnergy(const VecOf<R>& q, PointOf<R> target) {
    const PointOf<R> tip = tipPosition(q);
    const PointOf<R> stretch{target.x - R(TARGET_SCALE) * tip.x, target.y - R(TARGET_SCALE) * tip.y};
    return R(STIFFNESS) / 4 * dot(stretch, stretch);
}

// Generalized force of the tip spring: S = J_tip^T F, F = k (t - 2 r_tip).
template <class R>
VecOf<R> springForce(const VecOf<R>& q, PointOf<R> target) {
    const Geometry<R> g = geometry(q);
    const PointOf<R> tip = g.joint.back();
    const PointOf<R> force{R(STIFFNESS) * (target.x - R(TARGET_SCALE) * tip.x),
                           R(STIFFNESS) * (target.y - R(TARGET_SCALE) * tip.y)};
    VecOf<R> s(q.size());
    for (int k = 0; k < q.size(); ++k) {
        s[k] = dot(perp(tip - g.joint[k]), force);
    }
    return s;
}

// D_k = -b (r_k + ... + r_n): the damping moment of every link from k outward
// acts about joint k.
template <class R>
VecOf<R> dampingForce(const VecOf<R>& dampingRates) {
    VecOf<R> d(dampingRates.size());
    R sum = 0;
    for (int k = dampingRates.size() - 1; k >= 0; --k) {
        sum += dampingRates[k];
        d[k] = -R(DAMPING) * sum;
    }
    return d;
}

template <class R>
struct DerivativeOf {
    VecOf<R> momentumRate;  // dp/dt
    VecOf<R> jointRate;     // dq/dt
};
using Derivative = DerivativeOf<double>;

// The Hamiltonian equations of motion with damping and, if springOn, the tip
// spring; dH/dq differenced, or explicit for long chains (where differencing
// costs n solves per angle) and for checks tighter than the differences.
template <class R>
DerivativeOf<R> stateDerivative(const VecOf<R>& p, const VecOf<R>& q, const VecOf<R>& dampingRates,
                                PointOf<R> target, bool springOn, bool explicitGradient = false) {
    const int n = q.size();
    DerivativeOf<R> d{VecOf<R>(n), jointRates(p, q)};
    const VecOf<R> gradient = explicitGradient ? hamiltonianGradientFromRates(p, q) : hamiltonianGradient(p, q);
    const VecOf<R> damping = dampingForce(dampingRates);
    const VecOf<R> spring = springOn ? springForce(q, target) : VecOf<R>(n);
    for (int k = 0; k < n; ++k) {
        d.momentumRate[k] = -gradient[k] + damping[k] + spring[k];
    }
    return d;
}

// Eigenvalues of a symmetric matrix by cyclic Jacobi rotations.
template <class R>
VecOf<R> symmetricEigenvalues(MatOf<R> a) {
    const int n = static_cast<int>(a.size());
    for (int sweep = 0; sweep < 100; ++sweep) {
        R offDiagonal = 0;
        R total = 0;
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j < n; ++j) {
                total += a[i][j] * a[i][j];
                if (i != j) {
                    offDiagonal += a[i][j] * a[i][j];
                }
            }
        }
        if (offDiagonal <= R(1e-30) * total) {
            break;
        }
        for (int p = 0; p < n - 1; ++p) {
            for (int r = p + 1; r < n; ++r) {
                if (a[p][r] == 0) {
                    continue;
                }
                const R theta = (a[r][r] - a[p][p]) / (2 * a[p][r]);
                const R t = (theta >= 0 ? R(1) : R(-1)) / (std::fabs(theta) + std::sqrt(theta * theta + 1));
                const R c = 1 / std::sqrt(t * t + 1);
                const R s = t * c;
                // A <- J^T A J with the plane rotation J in the (p, r) plane:
                // first the columns p and r, then the rows.
                for (int k = 0; k < n; ++k) {
                    R* ak = a[k].data();
                    const R akp = ak[p];
                    const R akr = ak[r];
                    ak[p] = c * akp - s * akr;
                    ak[r] = s * akp + c * akr;
                }
                R* ap = a[p].data();
                R* ar = a[r].data();
                for (int k = 0; k < n; ++k) {
                    const R apk = ap[k];
                    const R ark = ar[k];
                    ap[k] = c * apk - s * ark;
                    ar[k] = s * apk + c * ark;
                }
            }
        }
    }
    VecOf<R> eigenvalues(n);
    for (int i = 0; i < n; ++i) {
        eigenvalues[i] = a[i][i];
    }
    return eigenvalues;
}

// Dimension of the Krylov spaces in which the extreme eigenvalues of the mass
// matrix are sought: the whole space for chains of up to 50 links, so that
// there the Ritz values are the eigenvalues. For longer chains the extremes
// still agree with the Jacobi rotations' to 1e-10 (checked up to 200 links),
// at n^2 work per step where the rotations take n^3 per sweep.
inline constexpr int KRYLOV_DIMENSION = 50;

// The largest eigenvalue of a symmetric positive definite operator, as the
// largest Ritz value on the Krylov space of a fixed start vector: Lanczos
// steps with the basis orthogonalized twice against all earlier vectors, the
// projected matrix symmetrized and handed to the Jacobi rotations. Ritz values
// lie within the spectrum, so the result approaches the eigenvalue from below.
template <class R, typename Apply>
R largestRitzValue(int n, Apply apply) {
    const int dimension = std::min(n, KRYLOV_DIMENSION);
    std::vector<VecOf<R>> basis;
    MatOf<R> projected = zeroMatrix<R>(dimension);
    VecOf<R> v(n);
    for (int i = 0; i < n; ++i) {
        v[i] = 1 + R(i % 5) / 5;
    }
    R length = norm(v);
    for (int j = 0; j < dimension && length > 0; ++j) {
        for (R& value : v) {
            value /= length;
        }
        basis.push_back(v);
        v = apply(v);
        for (int pass = 0; pass < 2; ++pass) {
            for (int i = 0; i <= j; ++i) {
                const R component = dot(basis[i], v);
                projected[i][j] += component;
                for (int k = 0; k < n; ++k) {
                    v[k] -= component * basis[i][k];
                }
            }
        }
        length = norm(v);
        if (j + 1 < dimension) {
            projected[j + 1][j] = length;
        }
    }
    const int size = static_cast<int>(basis.size());
    MatOf<R> symmetric = zeroMatrix<R>(size);
    for (int i = 0; i < size; ++i) {
        for (int j = 0; j < size; ++j) {
            symmetric[i][j] = (projected[i][j] + projected[j][i]) / 2;
        }
    }
    const VecOf<R> ritz = symmetricEigenvalues(symmetric);
    return *std::max_element(ritz.begin(), ritz.end());
}

// The smallest and the largest eigenvalue of the mass matrix: the largest of
// M^-1 (two triangular solves with its Cholesky factor) inverted, and the
// largest of M. Both lie within the spectrum, so cond(M) is approached from
// below.
template <class R>
PointOf<R> massMatrixExtremeEigenvalues(const VecOf<R>& q) {
    const MatOf<R> m = massMatrix(q);
    MatOf<R> l;
    cholesky(m, l);
    const int n = q.size();
    const R inverse = largestRitzValue<R>(n, [&l](const VecOf<R>& v) { return backSubstitute(l, forwardSubstitute(l, v)); });
    return {1 / inverse, largestRitzValue<R>(n, [&m](const VecOf<R>& v) { return multiply(m, v); })};
}

// Spectral condition number of the mass matrix.
template <class R>
R massMatrixCondition(const VecOf<R>& q) {
    const PointOf<R> extremes = massMatrixExtremeEigenvalues(q);
    return extremes.y / extremes.x;
}

}  // namespace chain_oracle
