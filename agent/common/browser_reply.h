// The dispatcher's reply as a browser receives it, for both front ends.
#pragma once

#include <cstddef>
#include <string>

namespace agent {

// The code page 949 text of `reply` up to its first zero byte (or
// `capacity` bytes), in UTF-8 with precomposed characters: at most three
// UTF-8 bytes per reply byte. Malformed bytes become U+FFFD, never dropped.
std::string ReplyForBrowser(const char* reply, std::size_t capacity);

}  // namespace agent
