// Base64 encoding (RFC 4648, standard alphabet, "=" padding) into a buffer
// of known capacity, for the accept key of the opening handshake.
#pragma once

#include <cstddef>
#include <cstdint>

namespace agent {

// Inputs longer than this would need more characters than a size_t counts.
inline constexpr std::size_t kWsBase64MaxInputLength = static_cast<std::size_t>(-1) / 4 * 3;

// The number of characters `inputLength` bytes encode to:
// (inputLength + 2) / 3 * 4. Longer inputs than kWsBase64MaxInputLength
// give SIZE_MAX.
std::size_t wsBase64EncodedLength(std::size_t inputLength);

// Encodes `inputLength` bytes of `input` into `output` when
// `outputCapacity` holds the needed number of characters; otherwise
// nothing is written. No terminating zero is written. Returns the needed
// length in both cases. `input` may be null when `inputLength` is 0.
std::size_t wsBase64Encode(char* output, std::size_t outputCapacity, const std::uint8_t* input,
                           std::size_t inputLength);

}  // namespace agent
