// The percent-decoder and the text replacer of the AJAX front end: tables
// of inputs and the exact bytes that come out.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ajax/url_decode.h"

namespace agent {
namespace {

// Decodes into a block of exactly strlen(source) bytes (plus a guard byte
// that must stay untouched), so AddressSanitizer sees any write past the
// contract.
std::string Decode(const std::string& source) {
  std::vector<char> target(source.size() + 1, '\x7F');
  const std::size_t written = UrlDecode(source.c_str(), target.data());
  EXPECT_LE(written, source.size());
  EXPECT_EQ(target[source.size()], '\x7F') << "guard byte overwritten";
  return std::string(target.data(), written);
}

TEST(UrlDecode, Table) {
  struct Case {
    std::string source;
    std::string decoded;
  };
  const std::vector<Case> cases = {
      {"", ""},
      {"abc", "abc"},
      {"%41", "A"},
      {"%4a", "\x4A"},
      {"%4A", "\x4A"},
      {"%4A%4a", "JJ"},
      {"a+b", "a+b"},  // "+" is not a blank here
      {"%2B", "+"},
      {"%20x", " x"},
      {"%EC%8A%B9", "\xEC\x8A\xB9"},  // UTF-8 bytes pass through as they came
      {"%ec%8a%b9", "\xEC\x8A\xB9"},
      {"A%00B", std::string("A\0B", 3)},  // a zero byte, written; it ends a C string
      // No validation: each character counts by its range.
      {"%G0", std::string(1, static_cast<char>(('G' - 0x37) * 16))},   // 'G' = 16
      {"%zz", std::string(1, static_cast<char>((('z' - 0x57) * 16 + ('z' - 0x57)) & 0xFF))},
      {"%!1", std::string(1, static_cast<char>((('!' - 0x30) * 16 + 1) & 0xFF))},  // below '0'
      {"%\xFF" "0", std::string(1, static_cast<char>(((0xFF - 0x57) * 16) & 0xFF))},
      {"%%41", std::string(1, static_cast<char>((('%' - 0x30) * 16 + 4) & 0xFF)) + "1"},
      // Fewer than two characters after "%": copied as they are.
      {"%", "%"},
      {"%4", "%4"},
      {"ab%", "ab%"},
      {"ab%4", "ab%4"},
      {"%41%", "A%"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("source \"" + c.source + "\"");
    EXPECT_EQ(Decode(c.source), c.decoded);
  }
}

TEST(UrlDecode, StopsAtTheTerminatingZeroOfTheSource) {
  // "%4" then the zero, then bytes the decoder must never look at.
  const char source[] = {'%', '4', '\0', '1', 'X'};
  char target[2] = {};
  EXPECT_EQ(UrlDecode(source, target), 2u);
  EXPECT_EQ(std::string(target, 2), "%4");
}

// The replaced text as a string, released; the same pointer is reported.
std::string Replace(const std::string& text, const char* old_text, const char* new_text,
                    bool* same_pointer = nullptr) {
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  char* result = ReplaceAll(buffer.data(), old_text, new_text);
  EXPECT_NE(result, nullptr);
  if (result == nullptr) return "<null>";
  std::string out(result);
  if (same_pointer != nullptr) *same_pointer = (result == buffer.data());
  if (result != buffer.data()) std::free(result);
  return out;
}

TEST(ReplaceAll, Table) {
  struct Case {
    std::string text;
    const char* old_text;
    const char* new_text;
    std::string replaced;
  };
  const std::vector<Case> cases = {
      {"", "a", "b", ""},
      {"abc", "x", "yy", "abc"},
      {"aaa", "aa", "b", "ba"},    // the search goes on after a match
      {"aaaa", "aa", "b", "bb"},
      {"aaa", "aa", "aaaa", "aaaaa"},
      {"abab", "ab", "ba", "baba"},  // same length
      {"xabyabz", "ab", "", "xyz"},  // shorter: removed
      {"ab", "ab", "", ""},
      {"a.b.c", ".", "::", "a::b::c"},  // longer
      {"abc", "abcd", "x", "abc"},     // old longer than the text
      {"\\u0000", "\\u0000", "\\u0008", "\\u0008"},
      {"0012VEVU\\u0000X\\u0000", "\\u0000", "\\u0008", "0012VEVU\\u0008X\\u0008"},
      {"\\u000", "\\u0000", "\\u0008", "\\u000"},  // a cut occurrence stays
      {"\\\\u0000", "\\u0000", "\\u0008", "\\\\u0008"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("text \"" + c.text + "\" old \"" + c.old_text + "\" new \"" + c.new_text + "\"");
    bool same = true;
    EXPECT_EQ(Replace(c.text, c.old_text, c.new_text, &same), c.replaced);
    EXPECT_FALSE(same) << "a non-empty old text gives a new text";
  }
}

TEST(ReplaceAll, EmptyOldTextGivesTheSameText) {
  bool same = false;
  EXPECT_EQ(Replace("abc", "", "x", &same), "abc");
  EXPECT_TRUE(same);
}

}  // namespace
}  // namespace agent
