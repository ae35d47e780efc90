// libFuzzer harness for the signature decoder: arbitrary bytes as a
// compressed image and as a signature text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "sign_bmp.h"

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_sign_bmp: %s\n", what);
  std::abort();
}

// The harness's own loops need no coverage feedback; leaving them out keeps
// runs fast.
#define OVT_NO_COVERAGE __attribute__((no_sanitize("coverage")))

OVT_NO_COVERAGE int InkPixels(const uint8_t* image) {
  int ink = 0;
  for (size_t i = 0; i < telquin::kSignatureImageSize; ++i) ink += __builtin_popcount(image[i]);
  return ink;
}

// Every ink pixel is a 0 bit in the file's pixel data, and nothing else is.
OVT_NO_COVERAGE void CheckBmp(const uint8_t* image) {
  const auto bmp = telquin::BuildSignatureBmp(image);
  if (bmp[0] != 'B' || bmp[1] != 'M') Fail("bad BMP signature");
  int black = 0;
  for (size_t i = 62; i < bmp.size(); ++i) black += 8 - __builtin_popcount(bmp[i]);
  if (black != InkPixels(image)) Fail("ink pixels lost or invented");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // 1. The bytes as a compressed image (N and the run stream). The image is
  //    a heap block of exactly its size, so AddressSanitizer sees overruns.
  auto image = std::make_unique<uint8_t[]>(telquin::kSignatureImageSize);
  const bool expanded = telquin::ExpandSignatureImage(data, size, image.get());
  if (expanded) {
    CheckBmp(image.get());
    // The same bytes inside a compressed signature text decode the same.
    std::string text = "000031" "00" + std::string(40, '0');
    for (size_t i = 0; i < size; ++i) {
      text += kHex[data[i] >> 4];
      text += kHex[data[i] & 15];
    }
    auto again = std::make_unique<uint8_t[]>(telquin::kSignatureImageSize);
    if (!telquin::DecodeSignatureText(text.c_str(), text.size(), again.get()))
      Fail("text refused though its image expands");
    if (std::memcmp(image.get(), again.get(), telquin::kSignatureImageSize) != 0)
      Fail("text and bytes decode differently");
  }

  // 2. The bytes as a signature text, the way SetBmpFile sees it: a
  //    NUL-terminated copy in a block of exactly that size, measured by strlen.
  auto text = std::make_unique<char[]>(size + 1);
  std::memcpy(text.get(), data, size);
  text[size] = '\0';
  // (The bitmap of a decoded image is checked in 1 already.)
  telquin::DecodeSignatureText(text.get(), std::strlen(text.get()), image.get());
  return 0;
}
