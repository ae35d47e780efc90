// base64e / base64d: RFC 4648 base64, standard alphabet, "=" padding, no
// line breaks, no NUL written.
#include "base64.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace telquin {
namespace {

constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of every byte 0..255. Bytes outside the alphabet (those above 0x7F
// included) count as 63, as they always have; the decoder rejects nothing.
constexpr uint8_t kOutsideAlphabet = 63;

constexpr std::array<uint8_t, 256> MakeDecodeTable() {
  std::array<uint8_t, 256> table{};
  for (auto& value : table) value = kOutsideAlphabet;
  for (uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  return table;
}

constexpr std::array<uint8_t, 256> kDecodeTable = MakeDecodeTable();

}  // namespace

void Base64Encode(const char* input, char* output, int length) {
  // Nothing to read or nowhere to write: nothing is written.
  if (length <= 0 || input == nullptr || output == nullptr) return;
  const auto* in = reinterpret_cast<const unsigned char*>(input);
  const size_t n = static_cast<size_t>(length);
  size_t o = 0;
  for (size_t i = 0; i < n; i += 3) {
    const size_t have = n - i < 3 ? n - i : 3;
    const uint32_t b0 = in[i];
    const uint32_t b1 = have > 1 ? in[i + 1] : 0;
    const uint32_t b2 = have > 2 ? in[i + 2] : 0;
    const uint32_t bits = b0 << 16 | b1 << 8 | b2;
    output[o++] = kAlphabet[(bits >> 18) & 0x3F];
    output[o++] = kAlphabet[(bits >> 12) & 0x3F];
    output[o++] = have > 1 ? kAlphabet[(bits >> 6) & 0x3F] : '=';
    output[o++] = have > 2 ? kAlphabet[bits & 0x3F] : '=';
  }
}

int Base64Decode(const char* input, char* output) {
  // No text, or nowhere to write: nothing processed, nothing written.
  if (input == nullptr || output == nullptr) return 0;
  const auto* in = reinterpret_cast<const unsigned char*>(input);
  const size_t length = std::strlen(input);
  size_t o = 0;
  size_t i = 0;
  for (; i < length; i += 4) {
    uint32_t bits = 0;
    for (size_t k = 0; k < 4; ++k) {
      uint32_t value = 0;
      // A text whose length is not a multiple of four ends in a short group:
      // its missing characters are zero bits (nothing past the NUL is read).
      // "=" is padding only in the third and fourth place; in the first two
      // it is outside the alphabet like any other stray byte.
      if (i + k < length && !(k >= 2 && in[i + k] == '=')) value = kDecodeTable[in[i + k]];
      bits = bits << 6 | value;
    }
    output[o++] = static_cast<char>(bits >> 16);
    output[o++] = static_cast<char>(bits >> 8);
    output[o++] = static_cast<char>(bits);
  }
  // The length rounded up to four.
  return static_cast<int>(i);
}

}  // namespace telquin
