// POSIX backend of platform/text.h: glibc's iconv, one conversion
// descriptor per call (the functions are called from any thread, and a
// descriptor keeps state between calls, so none is shared).
//
// iconv stops at the first input it cannot take (EILSEQ: malformed, or a
// character the target lacks; EINVAL: a sequence cut off by the end of the
// input). Such input is skipped here, one replacement per character, and
// the conversion goes on, so nothing is dropped silently.
#include <iconv.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/text.h"

namespace platform {
namespace {

constexpr const char* kUtf16 =
    std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

// The length of the piece of input that iconv refused at `p`, which gets
// one replacement; at least 1, at most `left`.
using SkipLength = size_t (*)(const unsigned char* p, size_t left);

// A code page 949 byte that cannot start a character: only that byte goes,
// and a trail byte after it is read afresh (it may be ASCII).
size_t SkipCp949(const unsigned char*, size_t) { return 1; }

// UTF-16 in native byte order: a surrogate pair is one character (one that
// the target lacks), anything else one unit.
size_t SkipUtf16(const unsigned char* p, size_t left) {
  if (left < 2) return left;
  char16_t first;
  std::memcpy(&first, p, 2);
  if (first >= 0xD800 && first <= 0xDBFF && left >= 4) {
    char16_t second;
    std::memcpy(&second, p + 2, 2);
    if (second >= 0xDC00 && second <= 0xDFFF) return 4;
  }
  return 2;
}

// UTF-8: the maximal subpart of an ill-formed sequence (the longest start
// of a well-formed sequence), the unit the Unicode standard replaces by one
// U+FFFD; a byte that starts nothing goes alone.
size_t SkipUtf8(const unsigned char* p, size_t left) {
  const unsigned char lead = p[0];
  size_t trail;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the first trail byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    trail = 1;
  } else if (lead == 0xE0) {
    trail = 2, low = 0xA0;
  } else if (lead == 0xED) {
    trail = 2, high = 0x9F;
  } else if (lead >= 0xE1 && lead <= 0xEF) {
    trail = 2;
  } else if (lead == 0xF0) {
    trail = 3, low = 0x90;
  } else if (lead == 0xF4) {
    trail = 3, high = 0x8F;
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    trail = 3;
  } else {
    return 1;
  }
  size_t length = 1;
  while (length <= trail && length < left && p[length] >= low && p[length] <= high) {
    ++length;
    low = 0x80, high = 0xBF;
  }
  return length;
}

// Appends `bytes` at `used`, growing `out` as needed.
void Put(std::string& out, size_t& used, std::string_view bytes) {
  if (out.size() - used < bytes.size()) out.resize(used + bytes.size());
  std::memcpy(out.data() + used, bytes.data(), bytes.size());
  used += bytes.size();
}

// One descriptor of each conversion stays open for the process's life, so
// glibc loads the code page's module once rather than loading and
// unloading it around every call. (Around every call, ThreadSanitizer,
// blind to glibc's own lock, also takes the loads for races.) The array
// keeps them reachable.
void KeepConvertersLoaded() {
  static const iconv_t kept[] = {
      iconv_open(kUtf16, "CP949"),
      iconv_open("CP949", kUtf16),
      iconv_open(kUtf16, "UTF-8"),
      iconv_open("UTF-8", kUtf16),
  };
  (void)kept;
}

// Converts `size` bytes at `in` from `from` to `to`, giving each refused
// piece (as measured by `skip`) the bytes of `replacement`.
std::string Convert(const char* to, const char* from, const void* in, size_t size, SkipLength skip,
                    std::string_view replacement) {
  std::string out;
  size_t used = 0;
  KeepConvertersLoaded();
  const iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    // No converter (a system without the code page's module): every piece
    // becomes a replacement, so the text's length and shape still show.
    const auto* p = static_cast<const unsigned char*>(in);
    for (size_t left = size; left > 0;) {
      const size_t n = std::min(left, skip(p, left));
      Put(out, used, replacement);
      p += n, left -= n;
    }
    out.resize(used);
    return out;
  }

  out.resize(size * 2 + 16);
  char* input = const_cast<char*>(static_cast<const char*>(in));
  size_t input_left = size;
  for (;;) {
    char* output = out.data() + used;
    size_t output_left = out.size() - used;
    const bool flushing = input_left == 0;
    const size_t result = flushing ? iconv(cd, nullptr, nullptr, &output, &output_left)
                                   : iconv(cd, &input, &input_left, &output, &output_left);
    const int error = errno;
    used = static_cast<size_t>(output - out.data());
    if (result != static_cast<size_t>(-1)) {
      if (flushing) break;
      continue;  // all input taken; the next round flushes
    }
    if (error == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    // EILSEQ, EINVAL (a cut-off sequence at the end: it is one piece) or
    // anything unforeseen: replace the piece and go on after it.
    size_t n = error == EINVAL
                   ? input_left
                   : skip(reinterpret_cast<const unsigned char*>(input), input_left);
    if (n == 0 || n > input_left) n = input_left;
    Put(out, used, replacement);
    input += n;
    input_left -= n;
  }
  iconv_close(cd);
  out.resize(used);
  return out;
}

std::u16string BytesToUtf16(const std::string& bytes) {
  std::u16string text(bytes.size() / 2, u'\0');
  std::memcpy(text.data(), bytes.data(), text.size() * 2);
  return text;
}

constexpr char16_t kReplacementChar = 0xFFFD;
const std::string_view kReplacementUtf16(reinterpret_cast<const char*>(&kReplacementChar), 2);
constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";
// What Windows puts for a character that code page 949 lacks.
constexpr std::string_view kCp949Default = "?";

}  // namespace

std::u16string Cp949ToUtf16(std::string_view text) {
  return BytesToUtf16(
      Convert(kUtf16, "CP949", text.data(), text.size(), SkipCp949, kReplacementUtf16));
}

std::string Utf16ToCp949(std::u16string_view text) {
  return Convert("CP949", kUtf16, text.data(), text.size() * 2, SkipUtf16, kCp949Default);
}

std::u16string Utf8ToUtf16(std::string_view text) {
  return BytesToUtf16(
      Convert(kUtf16, "UTF-8", text.data(), text.size(), SkipUtf8, kReplacementUtf16));
}

std::string Utf16ToUtf8(std::u16string_view text) {
  return Convert("UTF-8", kUtf16, text.data(), text.size() * 2, SkipUtf16, kReplacementUtf8);
}

}  // namespace platform
