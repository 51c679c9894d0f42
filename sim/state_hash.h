// A fingerprint of the chain's state, for telling runs apart bit for bit:
// 64-bit FNV-1a over the state's values, each as its IEEE-754 bytes (four of
// a float, eight of a double) in little-endian order, whatever the machine's
// own byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "sim/state_view.h"

// The hash of `count` floats, or doubles.
std::uint64_t stateHash(const float* values, std::size_t count);
std::uint64_t stateHash(const double* values, std::size_t count);
// The hash of a state in its own precision.
std::uint64_t stateHash(StateView state);

// FNV-1a 64 over the bytes of `text`, going on from `hash`: the hash of a
// text in parts is that of the whole.
inline constexpr std::uint64_t FNV_OFFSET_BASIS = 0xcbf29ce484222325ull;
std::uint64_t textHash(std::string_view text, std::uint64_t hash = FNV_OFFSET_BASIS);

// The hash as 16 lower-case hex digits, and back: false for a text that is
// not exactly such digits.
std::string hashText(std::uint64_t hash);
bool readHashText(std::string_view text, std::uint64_t& hash);
