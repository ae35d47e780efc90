#include "ajax/url_decode.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace agent {

namespace {

unsigned HexDigitValue(char c) {
  const unsigned code = static_cast<unsigned char>(c);
  if (code < ':') return code - 0x30;
  if (code >= 'A' && code <= 'Z') return code - 0x37;
  return code - 0x57;
}

// Occurrences of `old_text` (non-empty, `old_length` bytes), counted the way
// ReplaceAll replaces them.
std::size_t CountOccurrences(const char* text, const char* old_text, std::size_t old_length) {
  std::size_t count = 0;
  for (const char* p = text; *p != '\0';) {
    if (std::strncmp(p, old_text, old_length) == 0) {
      ++count;
      p += old_length;
    } else {
      ++p;
    }
  }
  return count;
}

}  // namespace

std::size_t UrlDecode(const char* source, char* target) {
  std::size_t written = 0;
  const char* p = source;
  while (*p != '\0') {
    if (*p == '%' && p[1] != '\0' && p[2] != '\0') {
      const unsigned byte = HexDigitValue(p[1]) * 16u + HexDigitValue(p[2]);
      target[written++] = static_cast<char>(static_cast<std::uint8_t>(byte & 0xFFu));
      p += 3;
    } else {
      target[written++] = *p++;
    }
  }
  return written;
}

char* ReplaceAll(char* text, const char* old_text, const char* new_text) {
  const std::size_t old_length = std::strlen(old_text);
  if (old_length == 0) return text;
  const std::size_t new_length = std::strlen(new_text);
  const std::size_t text_length = std::strlen(text);

  std::size_t size = text_length + 1;
  if (new_length != old_length) {
    const std::size_t count = CountOccurrences(text, old_text, old_length);
    if (new_length > old_length) {
      const std::size_t growth = new_length - old_length;
      if (count != 0 && growth > (SIZE_MAX - size) / count) return nullptr;
      size += count * growth;
    } else {
      size -= count * (old_length - new_length);  // never below 1: matches lie in the text
    }
  }
  char* result = static_cast<char*>(std::malloc(size));
  if (result == nullptr) return nullptr;

  char* out = result;
  for (const char* p = text; *p != '\0';) {
    if (std::strncmp(p, old_text, old_length) == 0) {
      std::memcpy(out, new_text, new_length);
      out += new_length;
      p += old_length;
    } else {
      *out++ = *p++;
    }
  }
  *out = '\0';
  return result;
}

}  // namespace agent
