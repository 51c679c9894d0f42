// The simulation's hot path allocates nothing: this program replaces the
// global allocation functions with counting ones and runs many derivative
// evaluations and whole idle steps.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <sstream>

#include "app/application.h"

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
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

TEST(HotPath, StepsAndDerivativesAllocateNothing) {
    setupUnrolledModel();
    setupMatrixModel();
    initialiseSimulation();
    mouseDown = 1;
    mouseTarget(1, 1) = 30.0f;
    mouseTarget(2, 1) = -10.0f;
    std::ostringstream log;
    StateVector slopes{};
    const float target[2] = {-20.0f, 5.0f};

    const long before = allocationCount;
    for (int step = 0; step < 2000; ++step) {
        computeStateDerivative(currentState.data(), slopes.data(), target, 1);
        advanceSimulation(log);
    }
    EXPECT_EQ(allocationCount - before, 0);
    // The spring did move the chain, so the steps were real work.
    EXPECT_GT(std::abs(currentState[0]), 1.0f);
    EXPECT_TRUE(log.str().empty());
}

}  // namespace
