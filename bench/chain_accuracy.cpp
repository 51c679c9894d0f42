// Accuracy of the single-precision chain as it grows: for chains of 1 to 500
// links, the normwise relative error of the float state derivative, of the
// recursion and of the dense formulation alike, against the double-precision
// reference model (tests/chain_oracle.h), and cond(M). Each line gives N, then
// medians over random states (angles in [-pi, pi], joint rates in [-3, 3]
// rad/s, no damping rates, no spring): cond(M), the recursion's dq/dt and
// dp/dt errors, the dense formulation's (nan where its Cholesky factor fails).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "sim/application.h"
#include "bench/dense_chain.h"
#include "chain_oracle.h"
#include "dynamics/chain_dynamics.h"

namespace {

namespace oracle = chain_oracle;

constexpr int LINKS[] = {1, 2, 5, 10, 20, 50, 100, 200, 500};
constexpr double PI = 3.14159265358979323846;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end(), [](double a, double b) { return std::isnan(b) || a < b; });
    return v[v.size() / 2];
}

// Normwise relative error of the float half against the reference.
double relativeError(const std::vector<float>& xdot, int offset, const oracle::Vec& expected) {
    oracle::Vec measured(expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        measured[i] = xdot[offset + i];
    }
    return oracle::distance(measured, expected) / oracle::norm(expected);
}

}  // namespace

int main() {
    std::printf("# N  cond(M)  recursion_dqdt  recursion_dpdt  dense_dqdt  dense_dpdt\n");
    std::mt19937 generator(5u);
    const auto uniform = [&generator](double a, double b) {
        return a + (b - a) * (static_cast<double>(generator()) / 4294967296.0);
    };
    for (const int n : LINKS) {
        ChainDescription description;
        description.links = n;
        startChain(description);
        setupDenseChain();
        const int states = n <= 50 ? 20 : n <= 200 ? 5 : 2;
        std::vector<double> condition, recursionRate, recursionMomentum, denseRate, denseMomentum;
        for (int s = 0; s < states; ++s) {
            std::vector<float> x(2 * static_cast<std::size_t>(n));
            oracle::Vec q(n);
            oracle::Vec qdot(n);
            for (int i = 0; i < n; ++i) {
                x[n + i] = static_cast<float>(uniform(-PI, PI));
                q[i] = x[n + i];
                qdot[i] = uniform(-3.0, 3.0);
            }
            const oracle::Vec momenta = oracle::multiply(oracle::massMatrix(q), qdot);
            oracle::Vec p(n);
            for (int i = 0; i < n; ++i) {
                x[i] = static_cast<float>(momenta[i]);
                p[i] = x[i];
            }
            const oracle::Derivative expected = oracle::stateDerivative(p, q, oracle::Vec(n), {}, false, n > 20);
            const float target[2] = {0.0f, 0.0f};
            std::vector<float> recursion(x.size(), 0.0f);
            std::vector<float> dense(x.size(), 0.0f);
            computeStateDerivative(x.data(), recursion.data(), target, 0);
            computeDenseStateDerivative(x.data(), dense.data(), target, 0);
            condition.push_back(oracle::massMatrixCondition(q));
            recursionRate.push_back(relativeError(recursion, n, expected.jointRate));
            recursionMomentum.push_back(relativeError(recursion, 0, expected.momentumRate));
            denseRate.push_back(relativeError(dense, n, expected.jointRate));
            denseMomentum.push_back(relativeError(dense, 0, expected.momentumRate));
        }
        std::printf("%d %.3e %.3e %.3e %.3e %.3e\n", n, median(condition), median(recursionRate),
                    median(recursionMomentum), median(denseRate), median(denseMomentum));
        std::fflush(stdout);
    }
    return 0;
}
