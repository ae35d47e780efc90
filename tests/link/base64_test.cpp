// base64e / base64d: RFC 4648 vectors, padding, the lengths written, and
// text that is not clean base64.
#include "base64.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// Output buffers carry a guard of this byte past what may be written.
constexpr char kGuard = '\x5A';
constexpr size_t kGuardSize = 16;

std::string Encode(const std::string& input) {
  const size_t out_size = 4 * ((input.size() + 2) / 3);
  std::vector<char> out(out_size + kGuardSize, kGuard);
  telquin::Base64Encode(input.data(), out.data(), static_cast<int>(input.size()));
  for (size_t i = out_size; i < out.size(); ++i) EXPECT_EQ(out[i], kGuard) << "written past the end";
  return std::string(out.data(), out_size);
}

struct Decoded {
  int processed;
  std::string bytes;  // exactly 3 * ceil(L / 4) bytes
};

// The text is copied into a heap block of exactly its length + NUL, so
// AddressSanitizer sees any read past the NUL.
Decoded Decode(const std::string& text) {
  auto copy = std::make_unique<char[]>(text.size() + 1);
  std::memcpy(copy.get(), text.c_str(), text.size() + 1);
  const size_t out_size = 3 * ((text.size() + 3) / 4);
  std::vector<char> out(out_size + kGuardSize, kGuard);
  const int processed = telquin::Base64Decode(copy.get(), out.data());
  for (size_t i = out_size; i < out.size(); ++i) EXPECT_EQ(out[i], kGuard) << "written past the end";
  return {processed, std::string(out.data(), out_size)};
}

struct Vector {
  std::string plain;
  std::string encoded;
};

// RFC 4648, section 10.
const Vector kRfcVectors[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
};

TEST(Base64, RfcVectorsEncode) {
  for (const auto& v : kRfcVectors) EXPECT_EQ(Encode(v.plain), v.encoded) << v.plain;
}

TEST(Base64, RfcVectorsDecodeWithZeroPadding) {
  // Every group gives three bytes; the bytes padding stands for are 0.
  for (const auto& v : kRfcVectors) {
    const Decoded d = Decode(v.encoded);
    std::string expected = v.plain;
    expected.resize(3 * (v.encoded.size() / 4), '\0');
    EXPECT_EQ(d.processed, static_cast<int>(v.encoded.size())) << v.encoded;
    EXPECT_EQ(d.bytes, expected) << v.encoded;
  }
}

TEST(Base64, EveryByteValueRoundTrips) {
  // Bytes above 0x7F must be taken as unsigned; lengths cover all three
  // group endings.
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(255 - i);
  for (size_t len : {size_t{254}, size_t{255}, size_t{256}}) {
    const std::string plain = all.substr(0, len);
    const std::string text = Encode(plain);
    ASSERT_EQ(text.size(), 4 * ((len + 2) / 3));
    for (char c : text) {
      ASSERT_TRUE(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' || c == '=')
          << "bad character " << static_cast<int>(static_cast<unsigned char>(c));
    }
    const Decoded d = Decode(text);
    EXPECT_EQ(d.processed, static_cast<int>(text.size()));
    EXPECT_EQ(d.bytes.substr(0, len), plain);
  }
  EXPECT_EQ(Encode("\xFF\xFE\xFD"), "//79");
  EXPECT_EQ(Encode("\xFB\xEF"), "++8=");
}

TEST(Base64, EncodeWritesNothingWithoutInput) {
  char out[8];
  std::memset(out, kGuard, sizeof out);
  telquin::Base64Encode("abc", out, 0);
  telquin::Base64Encode("abc", out, -3);
  telquin::Base64Encode(nullptr, out, 3);
  telquin::Base64Encode("abc", nullptr, 3);  // must not crash
  for (char c : out) EXPECT_EQ(c, kGuard);
}

TEST(Base64, DecodeTextThatIsNotCleanBase64) {
  struct Case {
    const char* what;
    std::string text;
    int processed;
    std::string bytes;
  };
  const Case cases[] = {
      {"one \"=\": three bytes, the last 0", "Zm8=", 4, std::string("fo\0", 3)},
      {"\"=\" only in the third place", "Zm=v", 4, std::string("f\x60\x2F", 3)},
      {"\"=\" in the first two places is outside the alphabet (63)", "==AA",
       4, std::string("\xFF\xF0\x00", 3)},
      {"short last group: missing characters are zero bits", "Zg", 4, std::string("f\0\0", 3)},
      {"one character", "/", 4, std::string("\xFC\0\0", 3)},
      {"five characters", "Zm9vY", 8, std::string("foo`\0\0", 6)},
      {"outside the alphabet: 63", "*A-A", 4, std::string("\xFC\x0F\xC0", 3)},
      {"bytes above 0x7F: 63", "\x80\xFF\xC3\xA9", 4, std::string("\xFF\xFF\xFF", 3)},
      {"a blank and a line break are not skipped", "Zm9v\r\n", 8,
       std::string("foo\xFF\xF0\x00", 6)},
      {"empty text", "", 0, ""},
  };
  for (const auto& c : cases) {
    const Decoded d = Decode(c.text);
    EXPECT_EQ(d.processed, c.processed) << c.what;
    EXPECT_EQ(d.bytes, c.bytes) << c.what;
  }
}

TEST(Base64, DecodeOfNoTextWritesNothing) {
  char out[8];
  std::memset(out, kGuard, sizeof out);
  EXPECT_EQ(telquin::Base64Decode(nullptr, out), 0);
  EXPECT_EQ(telquin::Base64Decode("Zm9v", nullptr), 0);
  for (char c : out) EXPECT_EQ(c, kGuard);
}

}  // namespace
