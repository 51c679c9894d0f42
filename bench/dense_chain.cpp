#include "bench/dense_chain.h"

#include <array>
#include <cmath>

// Absolute link angles th_j = q_1 + ... + q_j make the planar chain's kinetic
// energy a quadratic form with a constant coupling matrix:
//   T = 1/2 w^T A(th) w,  A_jl = a_jl cos(th_j - th_l),  w = dth/dt,
// with a_jj = I_z + m L^2 (number of links beyond j) and, for j != l,
// a_jl = m L^2 (number of links beyond max(j, l) + 1/2). Since th = S q with S
// the lower triangle of ones, M(q) = S^T A S and dH/dq = S^T dH/dth.
namespace {

constexpr int N = LINK_COUNT;
using Square = std::array<std::array<float, N>, N>;

constexpr Square makeCoupling() {
    Square a{};
    for (int j = 0; j < N; ++j) {
        for (int l = 0; l < N; ++l) {
            const int outer = j > l ? j : l;
            const float beyond = static_cast<float>(N - 1 - outer);
            a[j][l] = j == l ? LINK_INERTIA_Z + LINK_MASS * LINK_LENGTH * LINK_LENGTH * beyond
                             : LINK_MASS * LINK_LENGTH * LINK_LENGTH * (beyond + 0.5f);
        }
    }
    return a;
}

constexpr Square coupling = makeCoupling();

// Moment of the weights of links j..20 about joint j per unit cos th_j:
// m g L (links beyond j + 1/2).
constexpr std::array<float, N> makeWeightLever() {
    std::array<float, N> lever{};
    for (int j = 0; j < N; ++j) {
        lever[j] = LINK_MASS * GRAVITY * LINK_LENGTH * (static_cast<float>(N - 1 - j) + 0.5f);
    }
    return lever;
}

constexpr std::array<float, N> weightLever = makeWeightLever();

// Working storage, fixed size and module-level as in the recursion. The loops
// run along rows of row-major arrays so that the compiler can vectorise them
// (no reassociation is allowed, so dot products would stay scalar).
float absCos[N];
float absSin[N];
Square absoluteInertia;  // A(th), symmetric
Square rowSums;          // rowSums[k][i] = sum over j >= k of A_ji
Square massMatrix;       // M(q), symmetric; overwritten by its Cholesky factor
Square factorColumns;    // factorColumns[j][i] = F_ij: the factor's columns as rows
float inverseDiagonal[N];

void assembleMassMatrix() {
    for (int j = 0; j < N; ++j) {
        for (int l = 0; l <= j; ++l) {
            const float value = coupling[j][l] * (absCos[j] * absCos[l] + absSin[j] * absSin[l]);
            absoluteInertia[j][l] = value;
            absoluteInertia[l][j] = value;
        }
    }
    // M_kl = sum_{j >= k} sum_{i >= l} A_ji, as two passes of suffix sums; M is
    // symmetric, so the second pass may write M_lk for M_kl.
    rowSums[N - 1] = absoluteInertia[N - 1];
    for (int k = N - 2; k >= 0; --k) {
        for (int i = 0; i < N; ++i) {
            rowSums[k][i] = rowSums[k + 1][i] + absoluteInertia[k][i];
        }
    }
    for (int k = 0; k < N; ++k) {
        massMatrix[N - 1][k] = rowSums[k][N - 1];
    }
    for (int l = N - 2; l >= 0; --l) {
        for (int k = 0; k < N; ++k) {
            massMatrix[l][k] = massMatrix[l + 1][k] + rowSums[k][l];
        }
    }
}

// M = F F^T, F lower triangular, column by column with the trailing block
// updated at once (right-looking): the lower triangle of massMatrix becomes F.
void factorMassMatrix() {
    for (int j = 0; j < N; ++j) {
        const float root = std::sqrt(massMatrix[j][j]);
        const float inverse = 1.0f / root;
        inverseDiagonal[j] = inverse;
        float* column = factorColumns[j].data();
        column[j] = root;
        for (int i = j + 1; i < N; ++i) {
            column[i] = massMatrix[i][j] * inverse;
            massMatrix[i][j] = column[i];
        }
        massMatrix[j][j] = root;
        for (int i = j + 1; i < N; ++i) {
            const float scale = column[i];
            float* row = massMatrix[i].data();
            for (int k = j + 1; k <= i; ++k) {
                row[k] = row[k] - scale * column[k];
            }
        }
    }
}

// F y = p, then F^T qdot = y, each as a sequence of column updates.
void solveMassMatrix(const float p[N], float qdot[N]) {
    float y[N];
    for (int i = 0; i < N; ++i) {
        y[i] = p[i];
    }
    for (int j = 0; j < N; ++j) {
        const float value = y[j] * inverseDiagonal[j];
        y[j] = value;
        const float* column = factorColumns[j].data();
        for (int i = j + 1; i < N; ++i) {
            y[i] = y[i] - column[i] * value;
        }
    }
    for (int k = N - 1; k >= 0; --k) {
        const float value = y[k] * inverseDiagonal[k];
        qdot[k] = value;
        const float* row = massMatrix[k].data();
        for (int i = 0; i < k; ++i) {
            y[i] = y[i] - row[i] * value;
        }
    }
}

}  // namespace

void computeDenseStateDerivative(const float x[STATE_SIZE], float xdot[STATE_SIZE], const float mouseTarget[2],
                                 int mouseDown) {
    const float* p = x;
    const float* q = x + N;
    float rates[N];
    for (int j = 0; j < N; ++j) {
        rates[j] = xdot[N + j];
    }

    float angle = 0.0f;
    for (int j = 0; j < N; ++j) {
        angle = angle + q[j];
        absCos[j] = std::cos(angle);
        absSin[j] = std::sin(angle);
    }

    assembleMassMatrix();
    factorMassMatrix();
    float qdot[N];
    solveMassMatrix(p, qdot);

    // dT/dth_m at fixed w: -w_m sum_l a_ml sin(th_m - th_l) w_l, with
    // sin(th_m - th_l) = S_m C_l - C_m S_l.
    float w[N];
    float wc[N];
    float ws[N];
    float rate = 0.0f;
    for (int l = 0; l < N; ++l) {
        rate = rate + qdot[l];
        w[l] = rate;
        wc[l] = rate * absCos[l];
        ws[l] = rate * absSin[l];
    }

    // Spring force in the base frame: the stretch from the anchor, measured on
    // a chain of TARGET_LINK_SPACING per link, to the target; it acts at the tip.
    float forceX = 0.0f;
    float forceY = 0.0f;
    if (mouseDown == 1) {
        float anchorX = 0.0f;
        float anchorY = 0.0f;
        for (int j = 0; j < N; ++j) {
            anchorX = anchorX + static_cast<float>(TARGET_LINK_SPACING) * absCos[j];
            anchorY = anchorY + static_cast<float>(TARGET_LINK_SPACING) * absSin[j];
        }
        forceX = SPRING_STIFFNESS * (mouseTarget[0] - anchorX);
        forceY = SPRING_STIFFNESS * (mouseTarget[1] - anchorY);
    }

    // uc = a (w C) and us = a (w S), built column by column (a is symmetric).
    float uc[N] = {};
    float us[N] = {};
    for (int l = 0; l < N; ++l) {
        const float* a = coupling[l].data();
        for (int m = 0; m < N; ++m) {
            uc[m] = uc[m] + a[m] * wc[l];
            us[m] = us[m] + a[m] * ws[l];
        }
    }
    // Generalized force on each absolute angle, summed from the tip down into
    // the force on each joint angle: dp_k/dt = sum over m >= k.
    float jointSum = 0.0f;
    for (int m = N - 1; m >= 0; --m) {
        const float kinetic = -w[m] * (absSin[m] * uc[m] - absCos[m] * us[m]);
        const float weight = -weightLever[m] * absCos[m];
        const float spring = LINK_LENGTH * (absCos[m] * forceY - absSin[m] * forceX);
        const float damping = -JOINT_DAMPING * rates[m];
        jointSum = jointSum + (kinetic + weight + spring + damping);
        xdot[m] = jointSum;
    }
    for (int j = 0; j < N; ++j) {
        xdot[N + j] = qdot[j];
    }
}
