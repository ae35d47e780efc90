// SHA-1 as FIPS 180-1 describes it: 64-byte blocks, an 80-word schedule and
// four rounds of twenty steps, written out plainly for review.
#include "websocket/sha1.h"

#include <cstring>

namespace agent {
namespace {

constexpr std::size_t kBlockSize = 64;
constexpr std::size_t kLengthFieldSize = 8;  // the message length in bits
constexpr std::uint8_t kPaddingStart = 0x80;

constexpr std::uint32_t kInitialState[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476,
                                            0xC3D2E1F0};

std::uint32_t RotateLeft(std::uint32_t value, unsigned bits) {
  return (value << bits) | (value >> (32 - bits));
}

std::uint32_t ReadBigEndian32(const std::uint8_t* bytes) {
  return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
         std::uint32_t{bytes[2]} << 8 | std::uint32_t{bytes[3]};
}

void WriteBigEndian32(std::uint32_t value, std::uint8_t* bytes) {
  bytes[0] = static_cast<std::uint8_t>(value >> 24);
  bytes[1] = static_cast<std::uint8_t>(value >> 16);
  bytes[2] = static_cast<std::uint8_t>(value >> 8);
  bytes[3] = static_cast<std::uint8_t>(value);
}

// f(t; B, C, D) + K(t) of FIPS 180-1, section 5 and 6.
std::uint32_t RoundFunction(unsigned t, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
  if (t < 20) return ((b & c) | (~b & d)) + 0x5A827999;
  if (t < 40) return (b ^ c ^ d) + 0x6ED9EBA1;
  if (t < 60) return ((b & c) | (b & d) | (c & d)) + 0x8F1BBCDC;
  return (b ^ c ^ d) + 0xCA62C1D6;
}

void ProcessBlock(std::uint32_t state[5], const std::uint8_t* block) {
  std::uint32_t w[80];
  for (unsigned t = 0; t < 16; ++t) w[t] = ReadBigEndian32(block + 4 * t);
  for (unsigned t = 16; t < 80; ++t) w[t] = RotateLeft(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
  for (unsigned t = 0; t < 80; ++t) {
    const std::uint32_t temp = RotateLeft(a, 5) + RoundFunction(t, b, c, d) + e + w[t];
    e = d;
    d = c;
    c = RotateLeft(b, 30);
    b = a;
    a = temp;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
}

}  // namespace

void wsSha1(const std::uint8_t* data, std::size_t length, std::uint8_t* digest) {
  std::uint32_t state[5];
  std::memcpy(state, kInitialState, sizeof state);

  const std::size_t whole_blocks = length / kBlockSize;
  for (std::size_t i = 0; i < whole_blocks; ++i) ProcessBlock(state, data + i * kBlockSize);

  // The tail, the 0x80 byte, zeros and the 64-bit bit count fill one block,
  // or two when fewer than 9 bytes are left after the tail.
  std::uint8_t tail[2 * kBlockSize] = {};
  const std::size_t tail_length = length - whole_blocks * kBlockSize;
  if (tail_length > 0) std::memcpy(tail, data + whole_blocks * kBlockSize, tail_length);
  tail[tail_length] = kPaddingStart;
  const std::size_t tail_blocks = tail_length + 1 + kLengthFieldSize <= kBlockSize ? 1 : 2;
  const std::uint64_t bit_count = static_cast<std::uint64_t>(length) * 8;
  std::uint8_t* length_field = tail + tail_blocks * kBlockSize - kLengthFieldSize;
  WriteBigEndian32(static_cast<std::uint32_t>(bit_count >> 32), length_field);
  WriteBigEndian32(static_cast<std::uint32_t>(bit_count), length_field + 4);
  for (std::size_t i = 0; i < tail_blocks; ++i) ProcessBlock(state, tail + i * kBlockSize);

  for (unsigned i = 0; i < 5; ++i) WriteBigEndian32(state[i], digest + 4 * i);
}

}  // namespace agent
