#include "app/batch_physics.h"

#include <cmath>
#include <limits>

namespace {

constexpr double MASS = 1.0;
constexpr double LENGTH = 1.0;
constexpr double JOINT_INERTIA = 1.0 / 3.0;
constexpr double CENTROID_INERTIA = JOINT_INERTIA - MASS * (LENGTH / 2) * (LENGTH / 2);
constexpr double GRAVITY_ACCELERATION = 9.81;

struct Point {
    double x;
    double y;
};

// Joints r_1..r_21 and centres of mass c_1..c_20 of the angles in the state.
struct ChainGeometry {
    std::array<Point, LINK_COUNT + 1> joint;
    std::array<Point, LINK_COUNT> centre;
};

ChainGeometry geometryOf(const StateVector& state) {
    ChainGeometry g{};
    double angle = 0.0;
    g.joint[0] = {0.0, 0.0};
    for (int i = 0; i < LINK_COUNT; ++i) {
        angle += static_cast<double>(state[LINK_COUNT + i]);
        const double c = std::cos(angle);
        const double s = std::sin(angle);
        g.centre[i] = {g.joint[i].x + 0.5 * LENGTH * c, g.joint[i].y + 0.5 * LENGTH * s};
        g.joint[i + 1] = {g.joint[i].x + LENGTH * c, g.joint[i].y + LENGTH * s};
    }
    return g;
}

}  // namespace

MassMatrix massMatrix(const StateVector& state) {
    const ChainGeometry g = geometryOf(state);
    MassMatrix m{};
    for (int k = 0; k < LINK_COUNT; ++k) {
        for (int l = 0; l <= k; ++l) {
            // Links k..20 move with both joints k and l (l <= k).
            double sum = 0.0;
            for (int i = k; i < LINK_COUNT; ++i) {
                const double akx = g.centre[i].x - g.joint[k].x;
                const double aky = g.centre[i].y - g.joint[k].y;
                const double alx = g.centre[i].x - g.joint[l].x;
                const double aly = g.centre[i].y - g.joint[l].y;
                sum += MASS * (akx * alx + aky * aly) + CENTROID_INERTIA;
            }
            m[k][l] = sum;
            m[l][k] = sum;
        }
    }
    return m;
}

double kineticEnergy(const StateVector& state) {
    MassMatrix a = massMatrix(state);
    // Cholesky factor M = L L^T in the lower triangle, then y = L^-1 p:
    // p^T M^-1 p = |y|^2.
    for (int j = 0; j < LINK_COUNT; ++j) {
        double d = a[j][j];
        for (int k = 0; k < j; ++k) {
            d -= a[j][k] * a[j][k];
        }
        if (!(d > 0.0)) {
            return std::numeric_limits<double>::quiet_NaN();
        }
        const double pivot = std::sqrt(d);
        a[j][j] = pivot;
        for (int i = j + 1; i < LINK_COUNT; ++i) {
            double s = a[i][j];
            for (int k = 0; k < j; ++k) {
                s -= a[i][k] * a[j][k];
            }
            a[i][j] = s / pivot;
        }
    }
    std::array<double, LINK_COUNT> y{};
    double sumOfSquares = 0.0;
    for (int i = 0; i < LINK_COUNT; ++i) {
        double s = static_cast<double>(state[i]);
        for (int k = 0; k < i; ++k) {
            s -= a[i][k] * y[k];
        }
        y[i] = s / a[i][i];
        sumOfSquares += y[i] * y[i];
    }
    return 0.5 * sumOfSquares;
}

double potentialEnergy(const StateVector& state) {
    const ChainGeometry g = geometryOf(state);
    double v = 0.0;
    for (const Point& c : g.centre) {
        v += MASS * GRAVITY_ACCELERATION * c.y;
    }
    return v;
}

double chainEnergy(const StateVector& state) { return kineticEnergy(state) + potentialEnergy(state); }

TipPosition tipPosition(const StateVector& state) {
    const ChainGeometry g = geometryOf(state);
    return {g.joint[LINK_COUNT].x, g.joint[LINK_COUNT].y};
}
