// wsBase64Encode: RFC 4648 vectors, the needed length, and every output
// capacity.
#include "websocket/base64_encode.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr char kGuard = '\x5A';

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

struct Vector {
  std::string plain;
  std::string encoded;
};

// RFC 4648, section 10, and bytes that need the last two characters and
// unsigned reading.
const Vector kVectors[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
    {"\xFF\xFE\xFD", "//79"},
    {"\xFB\xEF", "++8="},
    {std::string("\0\0\0\0", 4), "AAAAAA=="},
};

TEST(WsBase64Encode, VectorsAtEveryCapacity) {
  for (const auto& v : kVectors) {
    const auto input = Bytes(v.plain);
    const size_t needed = v.encoded.size();
    EXPECT_EQ(agent::wsBase64EncodedLength(input.size()), needed) << v.encoded;
    for (size_t capacity = 0; capacity <= needed + 2; ++capacity) {
      // The capacity is the block's exact size, plus guard bytes checked
      // by hand; AddressSanitizer sees a write past the block.
      auto out = std::make_unique<char[]>(capacity + 1);
      for (size_t i = 0; i <= capacity; ++i) out[i] = kGuard;
      const size_t result = agent::wsBase64Encode(out.get(), capacity, input.data(), input.size());
      EXPECT_EQ(result, needed) << v.encoded << " capacity " << capacity;
      if (capacity < needed) {
        for (size_t i = 0; i <= capacity; ++i) EXPECT_EQ(out[i], kGuard) << "written below capacity";
      } else {
        EXPECT_EQ(std::string(out.get(), needed), v.encoded) << "capacity " << capacity;
        for (size_t i = needed; i <= capacity; ++i) EXPECT_EQ(out[i], kGuard) << "written past the text";
      }
    }
  }
}

TEST(WsBase64Encode, NeededLengthOfEveryGroupEnding) {
  const size_t lengths[][2] = {{0, 0}, {1, 4}, {2, 4}, {3, 4}, {4, 8}, {20, 28}, {65535, 87380}};
  for (const auto& [input, needed] : lengths) EXPECT_EQ(agent::wsBase64EncodedLength(input), needed);
}

TEST(WsBase64Encode, InputTooLongToCountWritesNothing) {
  const size_t too_long = agent::kWsBase64MaxInputLength + 1;
  EXPECT_EQ(agent::wsBase64EncodedLength(agent::kWsBase64MaxInputLength),
            agent::kWsBase64MaxInputLength / 3 * 4);
  EXPECT_EQ(agent::wsBase64EncodedLength(too_long), static_cast<size_t>(-1));
  char out[4] = {kGuard, kGuard, kGuard, kGuard};
  const std::uint8_t byte = 0;
  // Never read: the length alone refuses it.
  EXPECT_EQ(agent::wsBase64Encode(out, static_cast<size_t>(-1), &byte, too_long), static_cast<size_t>(-1));
  for (char c : out) EXPECT_EQ(c, kGuard);
}

TEST(WsBase64Encode, NoOutputWritesNothing) {
  const auto input = Bytes("foo");
  EXPECT_EQ(agent::wsBase64Encode(nullptr, 4, input.data(), input.size()), 4u);
  EXPECT_EQ(agent::wsBase64Encode(nullptr, 0, nullptr, 0), 0u);
}

}  // namespace
