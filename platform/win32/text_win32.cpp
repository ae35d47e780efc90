// Windows backend of platform/text.h: MultiByteToWideChar and
// WideCharToMultiByte, each called twice (the length, then the
// conversion). Without flags the system puts its own replacements:
// U+FFFD for malformed UTF-8 and lone surrogates, the code page's default
// character ('?' for 949) for what the code page lacks.
#include <string>

#include "native_win32.h"
#include "platform/text.h"

namespace platform {
namespace {

constexpr UINT kKorean = 949;

// The conversion functions count in int. A longer text goes in pieces that
// end where a character ends; a piece ends after a byte below 0x41 in code
// page 949 (no trail byte is that low), before a byte that continues
// nothing in UTF-8, and never between the halves of a surrogate pair.
constexpr size_t kPiece = size_t{1} << 28;

size_t PieceOfBytes(UINT code_page, std::string_view text) {
  if (text.size() <= kPiece) return text.size();
  for (size_t end = kPiece; end > kPiece / 2; --end) {
    const auto byte = static_cast<unsigned char>(text[end - 1]);
    const auto next = static_cast<unsigned char>(text[end]);
    if (code_page == CP_UTF8 ? (next & 0xC0) != 0x80 : byte < 0x41) return end;
  }
  return kPiece;
}

size_t PieceOfUnits(std::u16string_view text) {
  if (text.size() <= kPiece) return text.size();
  const char16_t last = text[kPiece - 1];
  return last >= 0xD800 && last <= 0xDBFF ? kPiece - 1 : kPiece;
}

std::u16string ToUtf16(UINT code_page, std::string_view text) {
  std::u16string out;
  while (!text.empty()) {
    const size_t piece = PieceOfBytes(code_page, text);
    const int in = static_cast<int>(piece);
    const int need = MultiByteToWideChar(code_page, 0, text.data(), in, nullptr, 0);
    if (need > 0) {
      const size_t at = out.size();
      out.resize(at + static_cast<size_t>(need));
      const int got = MultiByteToWideChar(code_page, 0, text.data(), in,
                                          reinterpret_cast<wchar_t*>(&out[at]), need);
      out.resize(at + static_cast<size_t>(got > 0 ? got : 0));
    } else {
      // The code page is not there: every character a replacement.
      out.append(piece, u'\xFFFD');
    }
    text.remove_prefix(piece);
  }
  return out;
}

std::string FromUtf16(UINT code_page, std::u16string_view text) {
  std::string out;
  while (!text.empty()) {
    const size_t piece = PieceOfUnits(text);
    const int in = static_cast<int>(piece);
    const auto* units = reinterpret_cast<const wchar_t*>(text.data());
    const int need = WideCharToMultiByte(code_page, 0, units, in, nullptr, 0, nullptr, nullptr);
    if (need > 0) {
      const size_t at = out.size();
      out.resize(at + static_cast<size_t>(need));
      const int got =
          WideCharToMultiByte(code_page, 0, units, in, &out[at], need, nullptr, nullptr);
      out.resize(at + static_cast<size_t>(got > 0 ? got : 0));
    } else {
      out.append(piece, '?');
    }
    text.remove_prefix(piece);
  }
  return out;
}

}  // namespace

std::u16string Cp949ToUtf16(std::string_view text) { return ToUtf16(kKorean, text); }
std::string Utf16ToCp949(std::u16string_view text) { return FromUtf16(kKorean, text); }
std::u16string Utf8ToUtf16(std::string_view text) { return ToUtf16(CP_UTF8, text); }
std::string Utf16ToUtf8(std::u16string_view text) { return FromUtf16(CP_UTF8, text); }

}  // namespace platform
