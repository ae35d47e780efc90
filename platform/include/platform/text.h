// Text in the system's three encodings: code page 949, the Korean ANSI code
// page (logs, replies, terminal texts); UTF-16 (message boxes, configuration
// values); UTF-8 (the browser).
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Characters the target lacks become the code page's default character
// ('?' for code page 949); malformed input becomes U+FFFD in UTF-16 or
// UTF-8 and '?' in code page 949. Nothing is ever dropped silently.
std::u16string Cp949ToUtf16(std::string_view text);
std::string Utf16ToCp949(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace platform
