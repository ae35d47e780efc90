#include "dispatcher/agent_message.h"

#include <cstdio>
#include <cstring>

namespace agent {

Request::Request(const char* text)
    : text_(text != nullptr ? text : ""), size_(std::strlen(text_)) {}

bool Request::Has(size_t offset, std::string_view what) const {
  if (offset > size_ || size_ - offset < what.size()) return false;
  return std::string_view(text_ + offset, what.size()) == what;
}

std::string_view Request::Slice(size_t offset, size_t count) const {
  if (offset >= size_) return {};
  return std::string_view(text_ + offset, std::min(count, size_ - offset));
}

std::string Field4(long long value) {
  char field[32];
  std::snprintf(field, sizeof field, "%04lld", value);
  return std::string(field, 4);
}

long long DigitsValue(const Request& request, size_t offset, size_t width) {
  long long value = 0;
  for (size_t i = 0; i < width; ++i) {
    const char c = request.At(offset + i);
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

void Reply::Append(std::string_view field) {
  const size_t room = kReplyBufferSize - 1 - text_.size();
  text_.append(field.substr(0, room));
}

void AppendFailureReply(Reply& reply, long long result) {
  reply.Append("0019");
  reply.Append(kKind);
  reply.AppendNumber(result < 0 ? -result : result);
  reply.Append("0005");
  reply.Append(kKind);
  reply.Append("1");
}

}  // namespace agent
