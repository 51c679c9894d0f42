// The recursion of the AVX2 lane groups: the same stages, compiled for AVX2
// (without fused multiply-add, so that every lane rounds as in the baseline).
// Everything included before the pragma keeps the baseline's instructions.
#include <cstddef>
#include <vector>

#include "dynamics/chain_recursion.h"
#include "dynamics/sincos.h"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#pragma GCC target("avx2")
#endif

#include "dynamics/chain_recursion_stages.h"

template class ChainRecursion<FloatLanesAvx2>;
template class ChainRecursion<DoubleLanesAvx2>;
