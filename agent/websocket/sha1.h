// SHA-1 (FIPS 180-1), for the accept key of the opening handshake.
#pragma once

#include <cstddef>
#include <cstdint>

namespace agent {

inline constexpr std::size_t kWsSha1DigestSize = 20;

// Writes the kWsSha1DigestSize-byte digest of `length` bytes of `data`
// into `digest`: the five state words, each most significant byte first.
// `data` may be null when `length` is 0.
void wsSha1(const std::uint8_t* data, std::size_t length, std::uint8_t* digest);

}  // namespace agent
