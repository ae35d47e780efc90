// Code page 949, UTF-16 and UTF-8 conversions.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/text.h"

namespace platform {
namespace {

std::string Hex(std::string_view bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (!out.empty()) out += ' ';
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

TEST(Cp949, KoreanTextRoundTrips) {
  struct Case {
    const char* utf8;
    size_t cp949_size;
    const char* cp949_start;  // the first bytes, in hex
  };
  const Case cases[] = {
      {"결과데이터 파일을 열수 없습니다.", 32, "B0 E1 B0 FA"},
      {"승인", 4, "BD C2 C0 CE"},
      {"프로그램 재실행 중 오류가 발생했습니다.\n다시 실행해주시길 바랍니다.", 67, "C7 C1"},
      {"OK:0200PAY0000001000", 20, "4F 4B"},
      {"€", 2, "A2 E6"},
      {"갂", 2, "81 41"},  // an extended (non-KS X 1001) syllable
      {"", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.utf8);
    const std::string cp949 = Utf16ToCp949(Utf8ToUtf16(c.utf8));
    EXPECT_EQ(cp949.size(), c.cp949_size);
    EXPECT_EQ(Hex(cp949).substr(0, std::string(c.cp949_start).size()), c.cp949_start);
    EXPECT_EQ(Utf16ToUtf8(Cp949ToUtf16(cp949)), c.utf8);
  }
}

TEST(Cp949, CharactersItLacksBecomeQuestionMarks) {
  const std::pair<std::u16string, std::string> cases[] = {
      {u"a\U0001F600b", "a?b"},             // outside the BMP: one '?' for the pair
      {u"\u0E01", "?"},                     // Thai, not in code page 949
      {u"\u0E01\uC2B9", "?\xBD\xC2"},       // the text goes on after it
      {u"x\xD800y", "x?y"},                 // a lone high surrogate
      {u"x\xDC00", "x?"},                   // a lone low surrogate
      {u"\xD83D", "?"},                     // a pair cut off by the end
  };
  for (const auto& [utf16, cp949] : cases) {
    EXPECT_EQ(Hex(Utf16ToCp949(utf16)), Hex(cp949)) << Hex(Utf16ToUtf8(utf16));
  }
}

TEST(Cp949, MalformedInputBecomesReplacementCharacters) {
  const std::pair<std::string, std::u16string> cases[] = {
      {"a\xFF" "b", u"a\uFFFDb"},             // no character starts with 0xFF
      {"a\xB0", u"a\uFFFD"},                  // a lead byte cut off by the end
      {"\xB0 b", u"\uFFFD b"},                // a lead byte before ASCII: the ASCII stays
      {"\xBD\xC2\xFF\xC0\xCE", u"\uC2B9\uFFFD\uC778"},
  };
  for (const auto& [cp949, utf16] : cases) {
    EXPECT_EQ(Cp949ToUtf16(cp949), utf16) << Hex(cp949);
  }
}

TEST(Utf8, MalformedInputBecomesReplacementCharacters) {
  const std::pair<std::string, std::u16string> cases[] = {
      {"a\xFF" "b", u"a\uFFFDb"},
      {"\xE2\x82", u"\uFFFD"},                    // cut off by the end: one piece
      {"\xE2\x82x", u"\uFFFDx"},                  // cut off by ASCII
      {"\xC0\xAF", u"\uFFFD\uFFFD"},              // overlong: nothing starts with C0
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},    // an encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xF0\x9F\x98", u"\uFFFD"},                // a four-byte sequence cut off
      {"\x80", u"\uFFFD"},                        // a lone continuation byte
      {"\xF0\x9F\x98\x80", u"\U0001F600"},        // well-formed: a surrogate pair
      {"\xEC\x8A\xB9\xEC\x9D\xB8", u"\uC2B9\uC778"},
  };
  for (const auto& [utf8, utf16] : cases) {
    EXPECT_EQ(Utf8ToUtf16(utf8), utf16) << Hex(utf8);
  }
}

TEST(Utf8, LoneSurrogatesBecomeReplacementCharacters) {
  const std::pair<std::u16string, std::string> cases[] = {
      {u"a\xD800" u"b", "a\xEF\xBF\xBD" "b"},
      {u"\xDFFF", "\xEF\xBF\xBD"},
      {u"a\xD83D", "a\xEF\xBF\xBD"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
  };
  for (const auto& [utf16, utf8] : cases) {
    EXPECT_EQ(Hex(Utf16ToUtf8(utf16)), Hex(utf8));
  }
}

// Far more output than a first guess of room holds, and a malformed byte
// in the middle of it: the conversion grows its buffer and goes on.
TEST(Text, LongTextsConvertWhole) {
  std::string utf8;
  for (int i = 0; i < 50000; ++i) utf8 += "승인";
  utf8 += "\xFF";
  for (int i = 0; i < 50000; ++i) utf8 += "결과";
  const std::u16string utf16 = Utf8ToUtf16(utf8);
  ASSERT_EQ(utf16.size(), 200001u);
  EXPECT_EQ(utf16[100000], u'\uFFFD');
  const std::string cp949 = Utf16ToCp949(utf16);
  ASSERT_EQ(cp949.size(), 400001u);
  EXPECT_EQ(cp949[200000], '?');
  EXPECT_EQ(Cp949ToUtf16(cp949).size(), 200001u);
  EXPECT_EQ(Utf16ToUtf8(utf16).size(), utf8.size() + 2);  // FF became EF BF BD
}

TEST(Text, ThreadsConvertAtOnce) {
  const std::string utf8 = "결과데이터 파일을 열수 없습니다.";
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(Utf16ToUtf8(Cp949ToUtf16(Utf16ToCp949(Utf8ToUtf16(utf8)))), utf8);
      }
    });
  }
  for (auto& thread : threads) thread.join();
}

}  // namespace
}  // namespace platform
