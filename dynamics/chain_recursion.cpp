#include "dynamics/chain_recursion.h"

#include "dynamics/chain_recursion_stages.h"

template class ChainRecursion<float>;
template class ChainRecursion<double>;
template class ChainRecursion<FloatLanes>;
template class ChainRecursion<DoubleLanes>;
