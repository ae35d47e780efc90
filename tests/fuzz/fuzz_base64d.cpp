// libFuzzer harness for base64d over arbitrary NUL-terminated text, and a
// base64e/base64d round trip of the raw bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base64.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_base64d: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Blocks of exactly the documented sizes: AddressSanitizer reports any
  // read past the NUL or write past 3 * ceil(len / 4).
  auto text = std::make_unique<char[]>(size + 1);
  std::memcpy(text.get(), data, size);
  text[size] = '\0';
  const size_t len = std::strlen(text.get());
  const size_t out_size = 3 * ((len + 3) / 4);
  auto out = std::make_unique<char[]>(out_size == 0 ? 1 : out_size);
  const int processed = telquin::Base64Decode(text.get(), out.get());
  if (processed != static_cast<int>((len + 3) / 4 * 4)) Fail("wrong count of characters processed");

  // Round trip: encode the bytes into exactly 4 * ceil(size / 3) characters
  // and decode them again.
  if (size > 0 && size <= 1 << 20) {
    const size_t enc_size = 4 * ((size + 2) / 3);
    auto encoded = std::make_unique<char[]>(enc_size + 1);
    telquin::Base64Encode(reinterpret_cast<const char*>(data), encoded.get(), static_cast<int>(size));
    encoded[enc_size] = '\0';
    if (std::strlen(encoded.get()) != enc_size) Fail("encoder wrote a NUL");
    auto decoded = std::make_unique<char[]>(enc_size / 4 * 3);
    if (telquin::Base64Decode(encoded.get(), decoded.get()) != static_cast<int>(enc_size))
      Fail("round trip: wrong count");
    if (std::memcmp(decoded.get(), data, size) != 0) Fail("round trip: bytes differ");
    for (size_t i = size; i < enc_size / 4 * 3; ++i)
      if (decoded[i] != 0) Fail("round trip: padding bytes not zero");
  }
  return 0;
}
