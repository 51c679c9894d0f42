#include "sim/state_hash.h"

namespace {

constexpr std::uint64_t FNV_PRIME = 0x100000001b3ull;

// FNV-1a over the values' bytes, lowest first.
template <class Bits, class Value>
std::uint64_t hashValues(const Value* values, std::size_t count) {
    static_assert(sizeof(Bits) == sizeof(Value));
    std::uint64_t hash = FNV_OFFSET_BASIS;
    for (std::size_t i = 0; i < count; ++i) {
        // The value's bits (std::bit_cast, which the WebAssembly build's library lacks).
        const auto bits = __builtin_bit_cast(Bits, values[i]);
        for (std::size_t byte = 0; byte < sizeof(Bits); ++byte) {
            hash ^= (bits >> (8 * byte)) & 0xffu;
            hash *= FNV_PRIME;
        }
    }
    return hash;
}

}  // namespace

std::uint64_t stateHash(const float* values, std::size_t count) { return hashValues<std::uint32_t>(values, count); }

std::uint64_t stateHash(const double* values, std::size_t count) { return hashValues<std::uint64_t>(values, count); }

std::uint64_t stateHash(StateView state) {
    const auto count = static_cast<std::size_t>(state.size());
    return state.precision() == Precision::Float ? stateHash(state.floats(), count)
                                                 : stateHash(state.doubles(), count);
}

std::uint64_t textHash(std::string_view text, std::uint64_t hash) {
    for (const char byte : text) {
        hash = (hash ^ static_cast<unsigned char>(byte)) * FNV_PRIME;
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

bool readHashText(std::string_view text, std::uint64_t& hash) {
    if (text.size() != 16) {
        return false;
    }
    hash = 0;
    for (const char digit : text) {
        const bool decimal = digit >= '0' && digit <= '9';
        if (!decimal && !(digit >= 'a' && digit <= 'f')) {
            return false;
        }
        hash = hash << 4 | static_cast<std::uint64_t>(decimal ? digit - '0' : digit - 'a' + 10);
    }
    return true;
}
