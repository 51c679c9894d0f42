// Accuracy of the chain's state derivative as it grows, in float and in
// double. Each line gives N, then medians over random states (angles in
// [-pi, pi], joint rates in [-3, 3] rad/s, no damping rates, no spring):
//   cond(M);
//   the normwise relative errors of the float derivative, of the recursion
//   and of the dense formulation (nan where its Cholesky factor fails),
//   against the double-precision reference model (tests/chain_oracle.h);
//   the double recursion's, against the banded reference of
//   bench/banded_chain.h in long double;
//   the banded reference's own, run in double, against itself in long double:
//   the long double one sits about 2^11 below that.
// dq/dt and dp/dt separately. The dense models cost N^3: their columns stop
// at 500 links (nan beyond), the linear-time ones run to 10000.
//
// Before its figures, the banded reference in long double (its derivative and
// its momenta, which make the states beyond 500 links) is held to the dense
// double model on every state up to 50 links; the program stops if they
// disagree.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "sim/application.h"
#include "bench/banded_chain.h"
#include "bench/dense_chain.h"
#include "chain_oracle.h"
#include "dynamics/chain_dynamics.h"

namespace {

namespace oracle = chain_oracle;

constexpr int LINKS[] = {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000};
constexpr int DENSE_MOST_LINKS = 500;
constexpr int CHECKED_MOST_LINKS = 50;
constexpr double REFERENCE_TOLERANCE = 1e-8;
constexpr double PI = 3.14159265358979323846;
constexpr double NOT_MEASURED = std::numeric_limits<double>::quiet_NaN();

using Extended = std::vector<long double>;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end(), [](double a, double b) { return std::isnan(b) || a < b; });
    return v[v.size() / 2];
}

// Normwise relative error of values[offset .. offset + n) against the same
// range of the reference.
template <class Values, class Reference>
double relativeError(const Values& values, const Reference& reference, int offset, int n) {
    long double difference = 0.0L;
    long double size = 0.0L;
    for (int i = offset; i < offset + n; ++i) {
        const long double d = static_cast<long double>(values[i]) - static_cast<long double>(reference[i]);
        difference += d * d;
        size += static_cast<long double>(reference[i]) * reference[i];
    }
    return static_cast<double>(std::sqrt(difference / size));
}

// The states per chain length: the dense models limit how many.
int statesFor(int n) { return n <= 50 ? 20 : n <= 200 ? 5 : n <= DENSE_MOST_LINKS ? 2 : 5; }

struct Errors {
    std::vector<double> rate;
    std::vector<double> momentum;

    void add(double rateError, double momentumError) {
        rate.push_back(rateError);
        momentum.push_back(momentumError);
    }
};

struct Sample {
    std::vector<float> x;  // p, then q, as the float chain holds them
    oracle::Vec q;
};

bool disagree(const char* what, int n, double rateGap, double momentumGap) {
    if (n <= CHECKED_MOST_LINKS && !(rateGap <= REFERENCE_TOLERANCE && momentumGap <= REFERENCE_TOLERANCE)) {
        std::fprintf(stderr, "banded vs dense reference, %s, %d links: %.2e, %.2e relative: disagree\n", what, n,
                     rateGap, momentumGap);
        return true;
    }
    return false;
}

// Angles and rates drawn as (q_i, qdot_i) pairs, link by link; the momenta
// p = M(q) qdot rounded to float, from the dense model where it runs, else
// from the banded one. `agree` turns false if the two differ.
template <class Uniform>
Sample drawState(int n, Uniform& uniform, bool& agree) {
    Sample s{std::vector<float>(2 * static_cast<std::size_t>(n)), oracle::Vec(n)};
    oracle::Vec qdot(n);
    for (int i = 0; i < n; ++i) {
        s.x[n + i] = static_cast<float>(uniform(-PI, PI));
        s.q[i] = s.x[n + i];
        qdot[i] = uniform(-3.0, 3.0);
    }
    const Extended banded = jointMomenta(Extended(s.q.begin(), s.q.end()), Extended(qdot.begin(), qdot.end()));
    const bool dense = n <= DENSE_MOST_LINKS;
    const oracle::Vec momenta = dense ? oracle::multiply(oracle::massMatrix(s.q), qdot) : oracle::Vec(0);
    for (int i = 0; i < n; ++i) {
        s.x[i] = static_cast<float>(dense ? momenta[i] : static_cast<double>(banded[i]));
    }
    agree = !dense || !disagree("momenta", n, relativeError(momenta, banded, 0, n), 0.0);
    return s;
}

std::vector<float> floatDerivative(void (*derivative)(const float*, float*, const float[2], int),
                                   const std::vector<float>& x) {
    const float target[2] = {0.0f, 0.0f};
    std::vector<float> xdot(x.size(), 0.0f);
    derivative(x.data(), xdot.data(), target, 0);
    return xdot;
}

std::vector<double> doubleDerivative(const std::vector<double>& x) {
    ChainRecursion<double> recursion;
    recursion.setup(static_cast<std::int32_t>(x.size() / 2));
    std::vector<double> xdot(x.size(), 0.0);
    recursion.derivative(x.data(), xdot.data(), ChainParameters<double>{}.loads(), SpringInput<double>{});
    return xdot;
}

// The dense double model's derivative, dp/dt then dq/dt, as one array.
std::vector<double> oracleDerivative(const Sample& s, int n) {
    oracle::Vec p(n);
    for (int i = 0; i < n; ++i) {
        p[i] = s.x[i];
    }
    const oracle::Derivative d = oracle::stateDerivative(p, s.q, oracle::Vec(n), {}, false, n > 20);
    std::vector<double> xdot(d.momentumRate.begin(), d.momentumRate.end());
    xdot.insert(xdot.end(), d.jointRate.begin(), d.jointRate.end());
    return xdot;
}

}  // namespace

int main() {
    std::printf(
        "# N  cond(M)  recursion_dqdt  recursion_dpdt  dense_dqdt  dense_dpdt  double_dqdt  double_dpdt  "
        "banded_double_dqdt  banded_double_dpdt\n");
    std::mt19937 generator(5u);
    const auto uniform = [&generator](double a, double b) {
        return a + (b - a) * (static_cast<double>(generator()) / 4294967296.0);
    };
    for (const int n : LINKS) {
        const bool dense = n <= DENSE_MOST_LINKS;
        if (dense) {
            ChainDescription description;
            description.links = n;
            startChain(description);
            setupDenseChain();
        }
        std::vector<double> condition;
        Errors recursion, denseErrors, doubleErrors, bandedErrors;
        for (int state = 0; state < statesFor(n); ++state) {
            bool agree = true;
            const Sample s = drawState(n, uniform, agree);
            const std::vector<double> x(s.x.begin(), s.x.end());
            const Extended reference = bandedStateDerivative(Extended(s.x.begin(), s.x.end()));
            const std::vector<double> doubles = doubleDerivative(x);
            doubleErrors.add(relativeError(doubles, reference, n, n), relativeError(doubles, reference, 0, n));
            const std::vector<double> banded = bandedStateDerivative(x);
            bandedErrors.add(relativeError(banded, reference, n, n), relativeError(banded, reference, 0, n));
            if (!dense) {
                continue;
            }
            const std::vector<double> expected = oracleDerivative(s, n);
            const std::vector<float> fromRecursion = floatDerivative(computeStateDerivative, s.x);
            const std::vector<float> fromDense = floatDerivative(computeDenseStateDerivative, s.x);
            condition.push_back(oracle::massMatrixCondition(s.q));
            recursion.add(relativeError(fromRecursion, expected, n, n), relativeError(fromRecursion, expected, 0, n));
            denseErrors.add(relativeError(fromDense, expected, n, n), relativeError(fromDense, expected, 0, n));
            if (!agree || disagree("dq/dt, dp/dt", n, relativeError(expected, reference, n, n),
                                   relativeError(expected, reference, 0, n))) {
                return 1;
            }
        }
        const auto medianOrNan = [](const std::vector<double>& v) { return v.empty() ? NOT_MEASURED : median(v); };
        std::printf("%d %.3e %.3e %.3e %.3e %.3e %.3e %.3e %.3e %.3e\n", n, medianOrNan(condition),
                    medianOrNan(recursion.rate), medianOrNan(recursion.momentum), medianOrNan(denseErrors.rate),
                    medianOrNan(denseErrors.momentum), median(doubleErrors.rate), median(doubleErrors.momentum),
                    median(bandedErrors.rate), median(bandedErrors.momentum));
        std::fflush(stdout);
    }
    return 0;
}
