// wsSha1: the FIPS 180-1 messages, and lengths around the padding
// boundaries of a 64-byte block.
#include "websocket/sha1.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

std::string Sha1Hex(const std::string& message) {
  // An exactly sized copy, so AddressSanitizer sees any read past the end.
  auto copy = std::make_unique<std::uint8_t[]>(message.size());
  for (size_t i = 0; i < message.size(); ++i) copy[i] = static_cast<std::uint8_t>(message[i]);
  std::uint8_t digest[agent::kWsSha1DigestSize];
  agent::wsSha1(copy.get(), message.size(), digest);
  std::string hex;
  for (std::uint8_t byte : digest) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  return hex;
}

struct Vector {
  const char* what;
  std::string message;
  const char* digest;
};

TEST(Sha1, KnownDigests) {
  const Vector vectors[] = {
      {"FIPS 180-1 one block", "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"FIPS 180-1 448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {"FIPS 180-1 a million a", std::string(1000000, 'a'),
       "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
      {"empty", "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"pangram", "The quick brown fox jumps over the lazy dog",
       "2fd4e1c67a2d28fced849ee1bb76e7391b93eb12"},
      // The bit count still fits the first block at 55 bytes, not at 56.
      {"55 bytes", std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
      {"56 bytes", std::string(56, 'a'), "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
      {"63 bytes", std::string(63, 'a'), "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},
      {"64 bytes", std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
      {"65 bytes", std::string(65, 'a'), "11655326c708d70319be2610e8a57d9a5b959d3b"},
      {"119 bytes", std::string(119, 'a'), "ee971065aaa017e0632a8ca6c77bb3bf8b1dfc56"},
      {"120 bytes", std::string(120, 'a'), "f34c1488385346a55709ba056ddd08280dd4c6d6"},
  };
  for (const auto& v : vectors) EXPECT_EQ(Sha1Hex(v.message), v.digest) << v.what;
}

TEST(Sha1, NoDataForAnEmptyMessage) {
  std::uint8_t digest[agent::kWsSha1DigestSize];
  agent::wsSha1(nullptr, 0, digest);
  EXPECT_EQ(digest[0], 0xda);
  EXPECT_EQ(digest[19], 0x09);
}

}  // namespace
