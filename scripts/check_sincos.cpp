// Exhaustive check of sinCos: every one of the 2^32 float bit patterns against
// sin and cos in 113-bit precision (libquadmath) rounded to float, and
// sinCosMany against sinCos bit for bit.
//
// The reference is that of tests/sincos_reference.h, which the unit tests
// share: glibc's double sin and cos, or sinq and cosq where that double lies
// near a float midpoint. Prints every mismatch, the hardest cases (true value closest to a
// midpoint, in float ulps) and the count of mismatches; exits 1 if any.

#include <quadmath.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "dynamics/sincos.h"
#include "tests/sincos_reference.h"

namespace {

constexpr std::uint64_t PATTERNS = 1ull << 32;
constexpr std::uint32_t CHUNK = 1u << 16;
constexpr std::size_t HARDEST_KEPT = 6;

struct Hard {
    double distance;  // |true - midpoint| in float ulps
    std::uint32_t x;
};

struct Results {
    std::mutex lock;
    std::uint64_t mismatches = 0;
    std::uint64_t manyMismatches = 0;
    std::uint64_t quadEvaluations = 0;
    std::vector<Hard> hardest[2];
};

// The float nearest to the 113-bit value, and how far that value lies from
// the midpoint between the two floats around it, in float ulps.
float roundQuad(__float128 value, double& distance) {
    const float nearest = static_cast<float>(value);
    const __float128 q = nearest;
    const float other = std::nextafter(nearest, value > q ? INFINITY : -INFINITY);
    const __float128 gap = fabsq(static_cast<__float128>(other) - q);
    const __float128 midpoint = (q + static_cast<__float128>(other)) / 2;
    distance = static_cast<double>(fabsq(value - midpoint) / gap);
    return nearest;
}

void keepHardest(std::vector<Hard>& list, Hard h) {
    list.push_back(h);
    std::sort(list.begin(), list.end(), [](const Hard& a, const Hard& b) { return a.distance < b.distance; });
    if (list.size() > HARDEST_KEPT) {
        list.pop_back();
    }
}

// Correctly rounded sin (which = 0) or cos (which = 1) of x.
float reference(float x, double wide, int which, std::vector<Hard>& hardest, std::uint64_t& quads) {
    if (!sincos_reference::nearMidpoint(wide)) {
        return static_cast<float>(wide);
    }
    ++quads;
    const __float128 q = x;
    double distance = 0.0;
    const float result = roundQuad(which == 0 ? sinq(q) : cosq(q), distance);
    keepHardest(hardest, {distance, std::bit_cast<std::uint32_t>(x)});
    return result;
}

bool sameBits(float a, float b) {
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b) || (std::isnan(a) && std::isnan(b));
}

void checkChunk(std::uint32_t first, Results& results) {
    std::vector<float> x(CHUNK), s(CHUNK), c(CHUNK);
    for (std::uint32_t i = 0; i < CHUNK; ++i) {
        x[i] = std::bit_cast<float>(first + i);
    }
    sinCosMany(x.data(), s.data(), c.data(), CHUNK);
    std::uint64_t mismatches = 0;
    std::uint64_t manyMismatches = 0;
    std::uint64_t quads = 0;
    std::vector<Hard> hardest[2];
    for (std::uint32_t i = 0; i < CHUNK; ++i) {
        float gotS = 0.0f;
        float gotC = 0.0f;
        sinCos(x[i], gotS, gotC);
        if (!sameBits(gotS, s[i]) || !sameBits(gotC, c[i])) {
            ++manyMismatches;
        }
        float wantS = NAN;
        float wantC = NAN;
        if (std::isfinite(x[i])) {
            double wideS = 0.0;
            double wideC = 0.0;
            ::sincos(static_cast<double>(x[i]), &wideS, &wideC);
            wantS = reference(x[i], wideS, 0, hardest[0], quads);
            wantC = reference(x[i], wideC, 1, hardest[1], quads);
        }
        if (!sameBits(gotS, wantS) || !sameBits(gotC, wantC)) {
            ++mismatches;
            std::printf("mismatch x=%a (0x%08x): sin %a want %a, cos %a want %a  {0x%08x, 0x%08x, 0x%08x},\n",
                        static_cast<double>(x[i]), first + i, static_cast<double>(gotS), static_cast<double>(wantS),
                        static_cast<double>(gotC), static_cast<double>(wantC), first + i,
                        std::bit_cast<std::uint32_t>(wantS), std::bit_cast<std::uint32_t>(wantC));
            std::fflush(stdout);
        }
    }
    const std::lock_guard<std::mutex> guard(results.lock);
    results.mismatches += mismatches;
    results.manyMismatches += manyMismatches;
    results.quadEvaluations += quads;
    for (int which = 0; which < 2; ++which) {
        for (const Hard& h : hardest[which]) {
            keepHardest(results.hardest[which], h);
        }
    }
}

}  // namespace

int main() {
    Results results;
    std::atomic<std::uint64_t> next{0};
    auto work = [&] {
        for (std::uint64_t first = next.fetch_add(CHUNK); first < PATTERNS; first = next.fetch_add(CHUNK)) {
            checkChunk(static_cast<std::uint32_t>(first), results);
        }
    };
    const unsigned threads = std::max(2u, std::thread::hardware_concurrency());
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) {
        pool.emplace_back(work);
    }
    for (std::thread& t : pool) {
        t.join();
    }
    const char* names[2] = {"sin", "cos"};
    for (int which = 0; which < 2; ++which) {
        std::printf("hardest %s arguments (true value from the midpoint, float ulps):\n", names[which]);
        for (const Hard& h : results.hardest[which]) {
            std::printf("  x = %a (0x%08x): %.3e\n", static_cast<double>(std::bit_cast<float>(h.x)), h.x, h.distance);
        }
    }
    std::printf("arguments decided in 113-bit precision: %llu\n",
                static_cast<unsigned long long>(results.quadEvaluations));
    std::printf("sinCosMany differing from sinCos: %llu\n", static_cast<unsigned long long>(results.manyMismatches));
    std::printf("mismatches against the correctly rounded sin and cos: %llu\n",
                static_cast<unsigned long long>(results.mismatches));
    return results.mismatches == 0 && results.manyMismatches == 0 ? 0 : 1;
}
