// The simulation's hot path allocates nothing: this program replaces the
// global allocation functions with counting ones and runs many derivative
// evaluations and whole idle steps, for chains of several lengths.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <sstream>

#include "sim/application.h"

namespace {
long allocationCount = 0;
}  // namespace

void* operator new(std::size_t size) {
    ++allocationCount;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}
// GCC pairs new with delete when it inlines these, and takes the malloc and
// free inside them for a mismatch.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
#pragma GCC diagnostic pop

namespace {

class HotPath : public testing::TestWithParam<Precision> {
protected:
    void TearDown() override { runPrecision = Precision::Float; }
};

TEST_P(HotPath, StepsAndDerivativesAllocateNothing) {
    runPrecision = GetParam();
    for (const int links : {20, 1, 45}) {
        ChainDescription description;
        description.links = links;
        startChain(description);
        // The spring pulls the tip to (0.75, -0.25) times the chain's length.
        const float length = static_cast<float>(links) / static_cast<float>(LINK_COUNT);
        mouseDown = 1;
        mouseTarget(1, 1) = 30.0f * length;
        mouseTarget(2, 1) = -10.0f * length;
        std::ostringstream log;
        StateVector slopes{};
        const float target[2] = {-20.0f, 5.0f};

        const long before = allocationCount;
        for (int step = 0; step < 2000; ++step) {
            computeStateDerivative(currentState.data(), slopes.data(), target, 1);
            advanceSimulation(log);
        }
        EXPECT_EQ(allocationCount - before, 0) << links << " links";
        // The spring did swing the chain, so the steps were real work.
        EXPECT_GT(std::abs(runState()[links] - description.initialAngle), 0.1) << links << " links";
        EXPECT_TRUE(log.str().empty()) << links << " links";
    }
}

INSTANTIATE_TEST_SUITE_P(Precisions, HotPath, testing::Values(Precision::Float, Precision::Double));

}  // namespace
