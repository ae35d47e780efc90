#include "common/browser_reply.h"

#include <algorithm>
#include <string_view>

#include "platform/text.h"

namespace agent {

std::string ReplyForBrowser(const char* reply, std::size_t capacity) {
  const std::size_t length =
      static_cast<std::size_t>(std::find(reply, reply + capacity, '\0') - reply);
  return platform::Utf16ToUtf8(platform::Cp949ToUtf16(std::string_view(reply, length)));
}

}  // namespace agent
