// The request record as ReceiveRequest hands it out, on every system.
#include <cstring>
#include <limits>

#include "platform/http_server.h"

namespace platform {

uint32_t RequestRecordSize(bool has_query, size_t query_units) {
  constexpr size_t kFixed = sizeof(HttpRequestRecord);
  if (!has_query) return static_cast<uint32_t>(kFixed);
  // A query too long to describe in 32 bits asks for more than any buffer.
  const size_t limit = (std::numeric_limits<uint32_t>::max() - kFixed) / sizeof(char16_t) - 1;
  if (query_units > limit) return std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(kFixed + (query_units + 1) * sizeof(char16_t));
}

uint32_t LayOutRequestRecord(uint64_t request_id, HttpVerb verb, uint32_t flags,
                             const std::u16string* query, void* buffer, uint32_t size,
                             uint32_t* bytes_written) {
  if (bytes_written != nullptr) *bytes_written = 0;
  if (buffer == nullptr ||
      reinterpret_cast<uintptr_t>(buffer) % alignof(HttpRequestRecord) != 0) {
    return kHttpInvalidParameter;
  }
  const uint32_t needed = RequestRecordSize(query != nullptr, query ? query->size() : 0);
  HttpRequestRecord record;
  record.request_id = request_id;
  record.verb = verb;
  record.flags = flags;
  if (size < needed) {
    // The caller fetches the request again by the id of the partial record.
    if (size >= sizeof record) std::memcpy(buffer, &record, sizeof record);
    if (bytes_written != nullptr) *bytes_written = needed;
    return kHttpMoreData;
  }
  auto* bytes = static_cast<unsigned char*>(buffer);
  if (query != nullptr) {
    auto* text = reinterpret_cast<char16_t*>(bytes + sizeof record);
    std::memcpy(text, query->data(), query->size() * sizeof(char16_t));
    text[query->size()] = u'\0';
    record.query_string = text;
    record.query_string_units = static_cast<uint32_t>(query->size());
  }
  std::memcpy(bytes, &record, sizeof record);
  if (bytes_written != nullptr) *bytes_written = needed;
  return kHttpOk;
}

}  // namespace platform
