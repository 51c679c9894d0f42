#include "app/state_hash.h"

namespace {

constexpr std::uint64_t FNV_OFFSET_BASIS = 0xcbf29ce484222325ull;
constexpr std::uint64_t FNV_PRIME = 0x100000001b3ull;

}  // namespace

std::uint64_t stateHash(const float* values, std::size_t count) {
    std::uint64_t hash = FNV_OFFSET_BASIS;
    for (std::size_t i = 0; i < count; ++i) {
        // The float's bits (std::bit_cast, which the WebAssembly build's library lacks).
        const auto bits = __builtin_bit_cast(std::uint32_t, values[i]);
        for (int byte = 0; byte < 4; ++byte) {
            hash ^= (bits >> (8 * byte)) & 0xffu;
            hash *= FNV_PRIME;
        }
    }
    return hash;
}

std::string hashText(std::uint64_t hash) {
    constexpr char DIGITS[] = "0123456789abcdef";
    std::string text(16, '0');
    for (int i = 15; i >= 0; --i) {
        text[static_cast<std::size_t>(i)] = DIGITS[hash & 0xfu];
        hash >>= 4;
    }
    return text;
}
