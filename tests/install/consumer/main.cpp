// Steps the default 20-link chain 1000 times and prints its state hash.
#include <cstdio>

#include "sim/chain.h"
#include "sim/state_hash.h"

int main() {
    Chain<float> chain(ChainDescription{});
    for (int i = 0; i < 1000; ++i) {
        chain.step();
    }
    std::printf("%s\n", hashText(stateHash(chain.state)).c_str());
}
