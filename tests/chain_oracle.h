// A double-precision reference model of the planar chain of n links (n the
// length of the angle vector, 20 by default), written directly from its
// energies rather than from the articulated-body recursion.
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
#include <vector>

namespace chain_oracle {

inline constexpr int N = 20;  // the default chain

inline constexpr double MASS = 1.0;
inline constexpr double LENGTH = 1.0;
inline constexpr double JOINT_INERTIA = 1.0 / 3.0;  // about the joint axis
inline constexpr double CENTROID_INERTIA = JOINT_INERTIA - MASS * (LENGTH / 2) * (LENGTH / 2);  // 1/12
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
// magnitude below the single-precision effects the tests resolve.
inline constexpr double DIFFERENCE_STEP = 1e-3;

// Vectors and square matrices of any n; made with n = 20 entries (zeros) when
// no size is given.
struct Vec : std::vector<double> {
    Vec() : std::vector<double>(N, 0.0) {}
    explicit Vec(int n) : std::vector<double>(static_cast<std::size_t>(n), 0.0) {}
    int size() const { return static_cast<int>(std::vector<double>::size()); }
};
using Mat = std::vector<std::vector<double>>;
inline Mat zeroMatrix(int n) { return Mat(static_cast<std::size_t>(n), std::vector<double>(static_cast<std::size_t>(n), 0.0)); }

struct Point {
    double x = 0.0;
    double y = 0.0;
};

inline Point operator-(Point a, Point b) { return {a.x - b.x, a.y - b.y}; }
inline double dot(Point a, Point b) { return a.x * b.x + a.y * b.y; }
// z x a: the velocity of a point at offset a from a joint turning at unit rate.
inline Point perp(Point a) { return {-a.y, a.x}; }

struct Geometry {
    std::vector<Point> joint;   // joint[k] = r_(k+1); joint[n] = tip
    std::vector<Point> centre;  // centre[i] = centre of mass of link i+1
};

inline Geometry geometry(const Vec& q) {
    const int n = q.size();
    Geometry g{std::vector<Point>(static_cast<std::size_t>(n) + 1), std::vector<Point>(static_cast<std::size_t>(n))};
    double theta = 0.0;
    for (int i = 0; i < n; ++i) {
        theta += q[i];
        const Point e{std::cos(theta), std::sin(theta)};
        g.centre[i] = {g.joint[i].x + 0.5 * LENGTH * e.x, g.joint[i].y + 0.5 * LENGTH * e.y};
        g.joint[i + 1] = {g.joint[i].x + LENGTH * e.x, g.joint[i].y + LENGTH * e.y};
    }
    return g;
}

inline Point tipPosition(const Vec& q) { return geometry(q).joint.back(); }

// M = sum over links i of m J_i^T J_i + Ic w_i^T w_i, where column k of the
// centre-of-mass Jacobian J_i is z x (c_i - r_k) and w_i = (1, ..., 1, 0, ...)
// has ones for k <= i. Since (z x a).(z x b) = a.b, each link adds
// m (c_i - r_k).(c_i - r_l) + Ic to every entry with k, l <= i. The lower
// triangle is accumulated and mirrored.
inline Mat massMatrix(const Vec& q) {
    const int n = q.size();
    const Geometry g = geometry(q);
    Mat m = zeroMatrix(n);
    std::vector<double> armX(static_cast<std::size_t>(n));  // c_i - r_k for k <= i
    std::vector<double> armY(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        for (int k = 0; k <= i; ++k) {
            armX[k] = g.centre[i].x - g.joint[k].x;
            armY[k] = g.centre[i].y - g.joint[k].y;
        }
        for (int k = 0; k <= i; ++k) {
            double* row = m[k].data();
            for (int l = 0; l <= k; ++l) {
                row[l] += MASS * (armX[k] * armX[l] + armY[k] * armY[l]) + CENTROID_INERTIA;
            }
        }
    }
    for (int k = 0; k < n; ++k) {
        for (int l = k + 1; l < n; ++l) {
            m[k][l] = m[l][k];
        }
    }
    return m;
}

inline double potentialEnergy(const Vec& q) {
    const Geometry g = geometry(q);
    double v = 0.0;
    for (const Point& centre : g.centre) {
        v += MASS * G * centre.y;
    }
    return v;
}

inline Vec multiply(const Mat& m, const Vec& v) {
    const int n = v.size();
    Vec r(n);
    for (int i = 0; i < n; ++i) {
        double s = 0.0;
        for (int j = 0; j < n; ++j) {
            s += m[i][j] * v[j];
        }
        r[i] = s;
    }
    return r;
}

inline double norm(const Vec& v) {
    double s = 0.0;
    for (double x : v) {
        s += x * x;
    }
    return std::sqrt(s);
}

inline double distance(const Vec& a, const Vec& b) {
    Vec d(a.size());
    for (int i = 0; i < a.size(); ++i) {
        d[i] = a[i] - b[i];
    }
    return norm(d);
}

// Lower-triangular Cholesky factor of a symmetric positive definite matrix.
// Returns false if a pivot is not positive.
inline bool cholesky(const Mat& a, Mat& l) {
    const int n = static_cast<int>(a.size());
    l = zeroMatrix(n);
    for (int j = 0; j < n; ++j) {
        const double* lj = l[j].data();
        double d = a[j][j];
        for (int k = 0; k < j; ++k) {
            d -= lj[k] * lj[k];
        }
        if (!(d > 0.0)) {
            return false;
        }
        l[j][j] = std::sqrt(d);
        for (int i = j + 1; i < n; ++i) {
            const double* li = l[i].data();
            double s = a[i][j];
            for (int k = 0; k < j; ++k) {
                s -= li[k] * lj[k];
            }
            l[i][j] = s / lj[j];
        }
    }
    return true;
}

// y = L^-1 b.
inline Vec forwardSubstitute(const Mat& l, const Vec& b) {
    const int n = b.size();
    Vec y(n);
    for (int i = 0; i < n; ++i) {
        double s = b[i];
        for (int k = 0; k < i; ++k) {
            s -= l[i][k] * y[k];
        }
        y[i] = s / l[i][i];
    }
    return y;
}

// x = L^-T y.
inline Vec backSubstitute(const Mat& l, const Vec& y) {
    const int n = y.size();
    Vec x(n);
    for (int i = n - 1; i >= 0; --i) {
        double s = y[i];
        for (int k = i + 1; k < n; ++k) {
            s -= l[k][i] * x[k];
        }
        x[i] = s / l[i][i];
    }
    return x;
}

// dq/dt = M(q)^-1 p.
inline Vec jointRates(const Vec& p, const Vec& q) {
    Mat l;
    if (!cholesky(massMatrix(q), l)) {
        Vec nan(p.size());
        std::fill(nan.begin(), nan.end(), std::nan(""));
        return nan;
    }
    return backSubstitute(l, forwardSubstitute(l, p));
}

// H = 1/2 p^T M^-1 p + V = 1/2 |L^-1 p|^2 + V.
inline double hamiltonian(const Vec& p, const Vec& q) {
    Mat l;
    if (!cholesky(massMatrix(q), l)) {
        return std::nan("");
    }
    const Vec y = forwardSubstitute(l, p);
    double kinetic = 0.0;
    for (double v : y) {
        kinetic += v * v;
    }
    return 0.5 * kinetic + potentialEnergy(q);
}

// Derivative of f along each angle by Richardson-extrapolated central
// differences with steps h and h/2. The step actually taken is the difference
// of the two perturbed angles as stored, so the rounding of q_k +- h does not
// bias the quotient.
template <typename Function>
Vec centralGradient(const Vec& q, Function f) {
    const auto difference = [&q, &f](int k, double step) {
        Vec plus = q;
        Vec minus = q;
        plus[k] = q[k] + step;
        minus[k] = q[k] - step;
        return (f(plus) - f(minus)) / (plus[k] - minus[k]);
    };
    Vec gradient(q.size());
    for (int k = 0; k < q.size(); ++k) {
        const double coarse = difference(k, DIFFERENCE_STEP);
        const double fine = difference(k, 0.5 * DIFFERENCE_STEP);
        gradient[k] = (4.0 * fine - coarse) / 3.0;
    }
    return gradient;
}

// dH/dq at fixed p, by central differences of H.
inline Vec hamiltonianGradient(const Vec& p, const Vec& q) {
    return centralGradient(q, [&p](const Vec& angles) { return hamiltonian(p, angles); });
}

// dH/dq at fixed p from the explicit derivatives of the energies: with
// qdot = M^-1 p, dH/dq_k = -dT/dq_k (at fixed qdot) + dV/dq_k.
// Turning joint k rotates the offset c_i - r_j (j <= i, k <= i) by z x, with the
// offset measured from r_max(j,k); so d(v_ci)/dq_k = -sum_(j<=i) (c_i - r_max(j,k)) qdot_j,
// and dV/dq_k = m g sum_(i>=k) (c_i - r_k).x. Angular velocities do not depend on q.
inline Vec hamiltonianGradientFromRates(const Vec& p, const Vec& q) {
    const int n = q.size();
    const Geometry g = geometry(q);
    const Vec rates = jointRates(p, q);
    std::vector<Point> velocity(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j <= i; ++j) {
            const Point w = perp(g.centre[i] - g.joint[j]);
            velocity[i].x += w.x * rates[j];
            velocity[i].y += w.y * rates[j];
        }
    }
    Vec gradient(n);
    for (int k = 0; k < n; ++k) {
        double kinetic = 0.0;
        double potential = 0.0;
        for (int i = k; i < n; ++i) {
            Point dv{};
            for (int j = 0; j <= i; ++j) {
                const Point arm = g.centre[i] - g.joint[std::max(j, k)];
                dv.x -= arm.x * rates[j];
                dv.y -= arm.y * rates[j];
            }
            kinetic += MASS * dot(velocity[i], dv);
            potential += MASS * G * (g.centre[i] - g.joint[k]).x;
        }
        gradient[k] = -kinetic + potential;
    }
    return gradient;
}

// Spring energy (k/4) |t - 2 r_tip|^2: k times the stretch on the doubled
// chain, acting at the real tip.
inline double springEnergy(const Vec& q, Point target) {
    const Point tip = tipPosition(q);
    const Point stretch{target.x - TARGET_SCALE * tip.x, target.y - TARGET_SCALE * tip.y};
    return 0.25 * STIFFNESS * dot(stretch, stretch);
}

// Generalized force of the tip spring: S = J_tip^T F, F = k (t - 2 r_tip).
inline Vec springForce(const Vec& q, Point target) {
    const Geometry g = geometry(q);
    const Point tip = g.joint.back();
    const Point force{STIFFNESS * (target.x - TARGET_SCALE * tip.x), STIFFNESS * (target.y - TARGET_SCALE * tip.y)};
    Vec s(q.size());
    for (int k = 0; k < q.size(); ++k) {
        s[k] = dot(perp(tip - g.joint[k]), force);
    }
    return s;
}

// D_k = -b (r_k + ... + r_n): the damping moment of every link from k outward
// acts about joint k.
inline Vec dampingForce(const Vec& dampingRates) {
    Vec d(dampingRates.size());
    double sum = 0.0;
    for (int k = dampingRates.size() - 1; k >= 0; --k) {
        sum += dampingRates[k];
        d[k] = -DAMPING * sum;
    }
    return d;
}

struct Derivative {
    Vec momentumRate;  // dp/dt
    Vec jointRate;     // dq/dt
};

// The Hamiltonian equations of motion with damping and, if springOn, the tip
// spring; dH/dq differenced, or for long chains (where differencing costs n
// solves per angle) explicit.
inline Derivative stateDerivative(const Vec& p, const Vec& q, const Vec& dampingRates, Point target,
                                  bool springOn, bool explicitGradient = false) {
    const int n = q.size();
    Derivative d{Vec(n), jointRates(p, q)};
    const Vec gradient = explicitGradient ? hamiltonianGradientFromRates(p, q) : hamiltonianGradient(p, q);
    const Vec damping = dampingForce(dampingRates);
    const Vec spring = springOn ? springForce(q, target) : Vec(n);
    for (int k = 0; k < n; ++k) {
        d.momentumRate[k] = -gradient[k] + damping[k] + spring[k];
    }
    return d;
}

// Eigenvalues of a symmetric matrix by cyclic Jacobi rotations.
inline Vec symmetricEigenvalues(Mat a) {
    const int n = static_cast<int>(a.size());
    for (int sweep = 0; sweep < 100; ++sweep) {
        double offDiagonal = 0.0;
        double total = 0.0;
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j < n; ++j) {
                total += a[i][j] * a[i][j];
                if (i != j) {
                    offDiagonal += a[i][j] * a[i][j];
                }
            }
        }
        if (offDiagonal <= 1e-30 * total) {
            break;
        }
        for (int p = 0; p < n - 1; ++p) {
            for (int r = p + 1; r < n; ++r) {
                if (a[p][r] == 0.0) {
                    continue;
                }
                const double theta = (a[r][r] - a[p][p]) / (2.0 * a[p][r]);
                const double t = (theta >= 0.0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0);
                const double s = t * c;
                // A <- J^T A J with the plane rotation J in the (p, r) plane:
                // first the columns p and r, then the rows.
                for (int k = 0; k < n; ++k) {
                    double* ak = a[k].data();
                    const double akp = ak[p];
                    const double akr = ak[r];
                    ak[p] = c * akp - s * akr;
                    ak[r] = s * akp + c * akr;
                }
                double* ap = a[p].data();
                double* ar = a[r].data();
                for (int k = 0; k < n; ++k) {
                    const double apk = ap[k];
                    const double ark = ar[k];
                    ap[k] = c * apk - s * ark;
                    ar[k] = s * apk + c * ark;
                }
            }
        }
    }
    Vec eigenvalues(n);
    for (int i = 0; i < n; ++i) {
        eigenvalues[i] = a[i][i];
    }
    return eigenvalues;
}

// Spectral condition number of the mass matrix.
inline double massMatrixCondition(const Vec& q) {
    const Vec lambda = symmetricEigenvalues(massMatrix(q));
    const auto [smallest, largest] = std::minmax_element(lambda.begin(), lambda.end());
    return *largest / *smallest;
}

}  // namespace chain_oracle
