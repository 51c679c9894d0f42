#include "bench/dense_chain.h"

#include <algorithm>
#include <cmath>
#include <vector>

// Absolute link angles th_j = q_1 + ... + q_j make the planar chain's kinetic
// energy a quadratic form with a constant coupling matrix:
//   T = 1/2 w^T A(th) w,  A_jl = a_jl cos(th_j - th_l),  w = dth/dt,
// with a_jj = I_z + m L^2 (number of links beyond j) and, for j != l,
// a_jl = m L^2 (number of links beyond max(j, l) + 1/2). Since th = S q with S
// the lower triangle of ones, M(q) = S^T A S and dH/dq = S^T dH/dth. The
// weights of links j..N turn about joint j with the lever
// m g L (links beyond j + 1/2) per unit cos th_j.
namespace {

int N = 0;
// Square N x N arrays, row-major: element (j, l) of `a` is a[j * N + l].
using Square = std::vector<float>;

// Working storage, sized by setupDenseChain and module-level as in the
// recursion. The loops run along rows of row-major arrays so that the compiler
// can vectorise them (no reassociation is allowed, so dot products would stay
// scalar).
Square coupling;         // a_jl
std::vector<float> absCos;
std::vector<float> absSin;
Square absoluteInertia;  // A(th), symmetric
Square rowSums;          // rowSums[k][i] = sum over j >= k of A_ji
Square massMatrix;       // M(q), symmetric; overwritten by its Cholesky factor
Square factorColumns;    // factorColumns[j][i] = F_ij: the factor's columns as rows
std::vector<float> inverseDiagonal;
std::vector<float> rates;
std::vector<float> qdot;
std::vector<float> y;
std::vector<float> w;
std::vector<float> wc;
std::vector<float> ws;
std::vector<float> uc;
std::vector<float> us;

float* row(Square& a, int j) { return a.data() + static_cast<std::size_t>(j) * N; }

void assembleMassMatrix() {
    for (int j = 0; j < N; ++j) {
        for (int l = 0; l <= j; ++l) {
            const float value = row(coupling, j)[l] * (absCos[j] * absCos[l] + absSin[j] * absSin[l]);
            row(absoluteInertia, j)[l] = value;
            row(absoluteInertia, l)[j] = value;
        }
    }
    // M_kl = sum_{j >= k} sum_{i >= l} A_ji, as two passes of suffix sums; M is
    // symmetric, so the second pass may write M_lk for M_kl.
    std::copy(row(absoluteInertia, N - 1), row(absoluteInertia, N - 1) + N, row(rowSums, N - 1));
    for (int k = N - 2; k >= 0; --k) {
        const float* next = row(rowSums, k + 1);
        const float* own = row(absoluteInertia, k);
        float* sums = row(rowSums, k);
        for (int i = 0; i < N; ++i) {
            sums[i] = next[i] + own[i];
        }
    }
    for (int k = 0; k < N; ++k) {
        row(massMatrix, N - 1)[k] = row(rowSums, k)[N - 1];
    }
    for (int l = N - 2; l >= 0; --l) {
        const float* next = row(massMatrix, l + 1);
        float* out = row(massMatrix, l);
        for (int k = 0; k < N; ++k) {
            out[k] = next[k] + row(rowSums, k)[l];
        }
    }
}

// M = F F^T, F lower triangular, column by column with the trailing block
// updated at once (right-looking): the lower triangle of massMatrix becomes F.
void factorMassMatrix() {
    for (int j = 0; j < N; ++j) {
        const float root = std::sqrt(row(massMatrix, j)[j]);
        const float inverse = 1.0f / root;
        inverseDiagonal[j] = inverse;
        float* column = row(factorColumns, j);
        column[j] = root;
        for (int i = j + 1; i < N; ++i) {
            column[i] = row(massMatrix, i)[j] * inverse;
            row(massMatrix, i)[j] = column[i];
        }
        row(massMatrix, j)[j] = root;
        for (int i = j + 1; i < N; ++i) {
            const float scale = column[i];
            float* target = row(massMatrix, i);
            for (int k = j + 1; k <= i; ++k) {
                target[k] = target[k] - scale * column[k];
            }
        }
    }
}

// F y = p, then F^T qdot = y, each as a sequence of column updates.
void solveMassMatrix(const float* p) {
    for (int i = 0; i < N; ++i) {
        y[i] = p[i];
    }
    for (int j = 0; j < N; ++j) {
        const float value = y[j] * inverseDiagonal[j];
        y[j] = value;
        const float* column = row(factorColumns, j);
        for (int i = j + 1; i < N; ++i) {
            y[i] = y[i] - column[i] * value;
        }
    }
    for (int k = N - 1; k >= 0; --k) {
        const float value = y[k] * inverseDiagonal[k];
        qdot[k] = value;
        const float* factorRow = row(massMatrix, k);
        for (int i = 0; i < k; ++i) {
            y[i] = y[i] - factorRow[i] * value;
        }
    }
}

}  // namespace

void setupDenseChain() {
    N = linkCount;
    const auto n = static_cast<std::size_t>(N);
    for (Square* square : {&coupling, &absoluteInertia, &rowSums, &massMatrix, &factorColumns}) {
        square->assign(n * n, 0.0f);
    }
    for (std::vector<float>* v : {&absCos, &absSin, &inverseDiagonal, &rates, &qdot, &y, &w, &wc,
                                  &ws, &uc, &us}) {
        v->assign(n, 0.0f);
    }
    for (int j = 0; j < N; ++j) {
        for (int l = 0; l < N; ++l) {
            const int outer = j > l ? j : l;
            const float beyond = static_cast<float>(N - 1 - outer);
            row(coupling, j)[l] = j == l ? LINK_INERTIA_Z + LINK_MASS * LINK_LENGTH * LINK_LENGTH * beyond
                                         : LINK_MASS * LINK_LENGTH * LINK_LENGTH * (beyond + 0.5f);
        }
    }
}

void computeDenseStateDerivative(const float* x, float* xdot, const float mouseTarget[2], int mouseDown) {
    const float* p = x;
    const float* q = x + N;
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
    solveMassMatrix(p);

    // dT/dth_m at fixed w: -w_m sum_l a_ml sin(th_m - th_l) w_l, with
    // sin(th_m - th_l) = S_m C_l - C_m S_l.
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
        forceX = chain.stiffness * (mouseTarget[0] - anchorX);
        forceY = chain.stiffness * (mouseTarget[1] - anchorY);
    }

    // uc = a (w C) and us = a (w S), built column by column (a is symmetric).
    std::fill(uc.begin(), uc.end(), 0.0f);
    std::fill(us.begin(), us.end(), 0.0f);
    for (int l = 0; l < N; ++l) {
        const float* a = row(coupling, l);
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
        const float lever = LINK_MASS * chain.gravity * LINK_LENGTH * (static_cast<float>(N - 1 - m) + 0.5f);
        const float weight = -lever * absCos[m];
        const float spring = LINK_LENGTH * (absCos[m] * forceY - absSin[m] * forceX);
        const float damping = -chain.damping * rates[m];
        jointSum = jointSum + (kinetic + weight + spring + damping);
        xdot[m] = jointSum;
    }
    for (int j = 0; j < N; ++j) {
        xdot[N + j] = qdot[j];
    }
}
