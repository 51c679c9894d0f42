// A fingerprint of the chain's state, for telling runs apart bit for bit:
// 64-bit FNV-1a over the state's floats, each as its four IEEE-754 bytes in
// little-endian order, whatever the machine's own byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The hash of `count` floats.
std::uint64_t stateHash(const float* values, std::size_t count);

// The hash as 16 lower-case hex digits.
std::string hashText(std::uint64_t hash);
