#include "websocket/base64_encode.h"

namespace agent {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPadding = '=';

}  // namespace

std::size_t wsBase64EncodedLength(std::size_t inputLength) {
  if (inputLength > kWsBase64MaxInputLength) return static_cast<std::size_t>(-1);
  return inputLength / 3 * 4 + (inputLength % 3 == 0 ? 0 : 4);
}

std::size_t wsBase64Encode(char* output, std::size_t outputCapacity, const std::uint8_t* input,
                           std::size_t inputLength) {
  const std::size_t needed = wsBase64EncodedLength(inputLength);
  if (inputLength > kWsBase64MaxInputLength || output == nullptr || outputCapacity < needed) {
    return needed;
  }
  std::size_t o = 0;
  for (std::size_t i = 0; i < inputLength; i += 3) {
    const std::size_t have = inputLength - i < 3 ? inputLength - i : 3;
    const std::uint32_t b0 = input[i];
    const std::uint32_t b1 = have > 1 ? input[i + 1] : 0;
    const std::uint32_t b2 = have > 2 ? input[i + 2] : 0;
    const std::uint32_t bits = b0 << 16 | b1 << 8 | b2;
    output[o++] = kAlphabet[(bits >> 18) & 0x3F];
    output[o++] = kAlphabet[(bits >> 12) & 0x3F];
    output[o++] = have > 1 ? kAlphabet[(bits >> 6) & 0x3F] : kPadding;
    output[o++] = have > 2 ? kAlphabet[bits & 0x3F] : kPadding;
  }
  return needed;
}

}  // namespace agent
