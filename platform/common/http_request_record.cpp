// The request record as ReceiveRequest hands it out, on every system.
#include <cstring>
#include <limits>

#include "platform/http_server.h"

namespace platform {

namespace {

constexpr uint64_t kTooLarge = std::numeric_limits<uint32_t>::max();

// The bytes of what follows the fixed record, each text with its zero.
uint64_t TrailingBytes(const HttpRequestFacts& facts) {
  uint64_t bytes = 0;
  if (facts.query) bytes += (uint64_t{facts.query->size()} + 1) * sizeof(char16_t);
  if (facts.host) bytes += uint64_t{facts.host->size()} + 1;
  if (facts.origin) bytes += uint64_t{facts.origin->size()} + 1;
  return bytes;
}

// Copies `text` and its zero to `at`; returns the copy and moves `at` on.
const char* PutText(const std::string& text, unsigned char*& at) {
  char* copy = reinterpret_cast<char*>(at);
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  at += text.size() + 1;
  return copy;
}

}  // namespace

uint32_t RequestRecordSize(const HttpRequestFacts& facts) {
  const uint64_t total = sizeof(HttpRequestRecord) + TrailingBytes(facts);
  return static_cast<uint32_t>(total > kTooLarge ? kTooLarge : total);
}

uint32_t LayOutRequestRecord(uint64_t request_id, const HttpRequestFacts& facts, void* buffer,
                             uint32_t size, uint32_t* bytes_written) {
  if (bytes_written != nullptr) *bytes_written = 0;
  if (buffer == nullptr ||
      reinterpret_cast<uintptr_t>(buffer) % alignof(HttpRequestRecord) != 0) {
    return kHttpInvalidParameter;
  }
  const uint64_t needed = sizeof(HttpRequestRecord) + TrailingBytes(facts);
  HttpRequestRecord record;
  record.request_id = request_id;
  record.verb = facts.verb;
  record.flags = facts.flags;
  record.local_port = facts.local_port;
  if (size < needed) {
    // The caller fetches the request again by the id of the partial record.
    if (size >= sizeof record) std::memcpy(buffer, &record, sizeof record);
    if (bytes_written != nullptr) *bytes_written = static_cast<uint32_t>(
        needed > kTooLarge ? kTooLarge : needed);
    return kHttpMoreData;
  }
  auto* bytes = static_cast<unsigned char*>(buffer);
  unsigned char* at = bytes + sizeof record;
  if (facts.query) {
    // Right behind the record, which keeps it aligned for char16_t.
    auto* text = reinterpret_cast<char16_t*>(at);
    std::memcpy(text, facts.query->data(), facts.query->size() * sizeof(char16_t));
    text[facts.query->size()] = u'\0';
    record.query_string = text;
    record.query_string_units = static_cast<uint32_t>(facts.query->size());
    at += (facts.query->size() + 1) * sizeof(char16_t);
  }
  if (facts.host) record.host = PutText(*facts.host, at);
  if (facts.origin) record.origin = PutText(*facts.origin, at);
  std::memcpy(bytes, &record, sizeof record);
  if (bytes_written != nullptr) *bytes_written = static_cast<uint32_t>(needed);
  return kHttpOk;
}

}  // namespace platform
