// libFuzzer harness for the text replacer: the input split at its first two
// zero bytes into text, old and new. The result is the text itself when old
// is empty, otherwise a new text that holds exactly the text with every
// occurrence found from the start replaced, and reading it back from the
// start with the same search finds the new text where the old one was.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ajax/url_decode.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_replace_all: %s\n", what);
  std::abort();
}

// The three parts, each ending at a zero byte or the end of the input.
std::vector<std::string> Split(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> parts(3);
  std::size_t part = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      if (++part == parts.size()) break;
      continue;
    }
    parts[part].push_back(static_cast<char>(data[i]));
  }
  return parts;
}

// The same replacement, written plainly over std::string.
std::string Expected(const std::string& text, const std::string& old_text,
                     const std::string& new_text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (text.compare(i, old_text.size(), old_text) == 0) {
      out += new_text;
      i += old_text.size();
    } else {
      out += text[i++];
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> parts = Split(data, size);
  // Each part in a block of exactly its size, so a read past a zero shows.
  std::vector<char> text(parts[0].begin(), parts[0].end());
  text.push_back('\0');
  std::vector<char> old_text(parts[1].begin(), parts[1].end());
  old_text.push_back('\0');
  std::vector<char> new_text(parts[2].begin(), parts[2].end());
  new_text.push_back('\0');

  char* result = agent::ReplaceAll(text.data(), old_text.data(), new_text.data());
  if (result == nullptr) Fail("null result");
  if (parts[1].empty()) {
    if (result != text.data()) Fail("empty old text did not give the text itself");
    return 0;
  }
  if (result == text.data()) Fail("the text itself for a non-empty old text");
  const bool same = Expected(parts[0], parts[1], parts[2]) == result;
  std::free(result);
  if (!same) Fail("replacement differs from the plain one");
  return 0;
}
