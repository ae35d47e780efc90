// libFuzzer harness for the percent-decoder: the bytes up to the first zero
// as a query or body text. The decoder writes only inside a block of the
// source's length, reads nothing past the source's zero, never writes more
// bytes than the source has, and copies every byte that is not part of a
// whole "%XY" escape as it is.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "ajax/url_decode.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_url_decode: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The source in a block of its own that ends with its zero.
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::size_t length = std::strlen(text.c_str());
  auto source = std::make_unique<char[]>(length + 1);
  std::memcpy(source.get(), text.c_str(), length + 1);
  auto target = std::make_unique<char[]>(length == 0 ? 1 : length);

  const std::size_t written = agent::UrlDecode(source.get(), target.get());
  if (written > length) Fail("more bytes written than the source has");

  // Without any "%" the text comes out as it went in.
  if (std::memchr(source.get(), '%', length) == nullptr &&
      (written != length || std::memcmp(source.get(), target.get(), length) != 0)) {
    Fail("a text without escapes changed");
  }
  // Every escape takes three bytes for one, except a cut one at the end.
  std::size_t escapes = 0;
  for (std::size_t i = 0; i < length;) {
    if (source[i] == '%' && i + 2 < length) {
      ++escapes;
      i += 3;
    } else {
      ++i;
    }
  }
  if (written != length - 2 * escapes) Fail("escape count and output length disagree");
  return 0;
}
