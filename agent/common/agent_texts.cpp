#include "common/agent_texts.h"

#include "platform/text.h"

namespace agent::texts {

// Through UTF-16, the one form every conversion of the platform layer
// meets: code page 949 has no direct path from UTF-8.
std::string Ansi(std::string_view utf8) {
  return platform::Utf16ToCp949(platform::Utf8ToUtf16(utf8));
}

std::u16string Wide(std::string_view utf8) { return platform::Utf8ToUtf16(utf8); }

}  // namespace agent::texts
