#include "websocket/handshake.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>

#include "websocket/base64_encode.h"
#include "websocket/sha1.h"

namespace agent {
namespace {

constexpr std::string_view kHeadEnd = "\r\n\r\n";
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kMethod = "GET ";
constexpr std::string_view kRequiredVersion = "13";
constexpr std::string_view kConnectionToken = "upgrade";
constexpr std::string_view kUpgradeToken = "websocket";

// The request lines the parser looks at, tested in this order; the first
// prefix that matches decides.
enum class Line { kHost, kOrigin, kProtocol, kKey, kVersion, kConnection, kUpgrade };

struct LinePrefix {
  std::string_view prefix;
  Line line;
};

constexpr LinePrefix kLinePrefixes[] = {
    {"Host: ", Line::kHost},
    {"Origin: ", Line::kOrigin},
    {"Sec-WebSocket-Protocol: ", Line::kProtocol},
    {"Sec-WebSocket-Key: ", Line::kKey},
    {"Sec-WebSocket-Version: ", Line::kVersion},
    {"Connection: ", Line::kConnection},
    {"Upgrade: ", Line::kUpgrade},
};

// The first occurrence of `what` in [begin, end), or null.
const char* Find(const char* begin, const char* end, std::string_view what) {
  const std::string_view text(begin, static_cast<std::size_t>(end - begin));
  const std::size_t at = text.find(what);
  return at == std::string_view::npos ? nullptr : begin + at;
}

bool StartsWith(const char* begin, const char* end, std::string_view prefix) {
  return static_cast<std::size_t>(end - begin) >= prefix.size() &&
         std::memcmp(begin, prefix.data(), prefix.size()) == 0;
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithLowered(const char* begin, const char* end, std::string_view token) {
  if (static_cast<std::size_t>(end - begin) < token.size()) return false;
  for (std::size_t i = 0; i < token.size(); ++i) {
    if (LowerAscii(begin[i]) != token[i]) return false;
  }
  return true;
}

bool ContainsLowered(const char* begin, const char* end, std::string_view token) {
  for (const char* at = begin; at < end; ++at) {
    if (StartsWithLowered(at, end, token)) return true;
  }
  return false;
}

// The white space that ends a request target, as "%s" of scanf reads it.
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A heap copy of [begin, end) with a terminating zero, or null when memory
// runs out.
char* CopyText(const char* begin, const char* end) {
  const std::size_t length = static_cast<std::size_t>(end - begin);
  char* copy = new (std::nothrow) char[length + 1];
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, begin, length);
  copy[length] = '\0';
  return copy;
}

void ReplaceText(char*& field, char* text) {
  delete[] field;
  field = text;
}

// The flags the request lines set; the texts go straight into the record.
struct LineFlags {
  bool connection = false;
  bool upgrade = false;
  bool protocol = false;
  bool versionMismatch = false;
};

char*& TextField(Line line, WsHandshake& record) {
  if (line == Line::kHost) return record.host;
  if (line == Line::kOrigin) return record.origin;
  return record.key;
}

// Applies one recognised line whose value is [value, value_end). False when
// the value is refused or cannot be kept.
bool ApplyLine(Line line, const char* value, const char* value_end, WsHandshake& record,
               LineFlags& flags) {
  const std::size_t length = static_cast<std::size_t>(value_end - value);
  if (length > kWsMaxHeaderValueLength) return false;
  switch (line) {
    case Line::kHost:
    case Line::kOrigin:
    case Line::kKey: {
      if (line == Line::kKey && length > kWsMaxKeyLength) return false;
      char* copy = CopyText(value, value_end);
      if (copy == nullptr) return false;
      ReplaceText(TextField(line, record), copy);
      return true;
    }
    case Line::kProtocol:
      flags.protocol = true;
      return true;
    case Line::kVersion:
      if (!StartsWith(value, value_end, kRequiredVersion)) flags.versionMismatch = true;
      return true;
    case Line::kConnection:
      if (ContainsLowered(value, value_end, kConnectionToken)) flags.connection = true;
      return true;
    case Line::kUpgrade:
      if (StartsWithLowered(value, value_end, kUpgradeToken)) flags.upgrade = true;
      return true;
  }
  return false;
}

const LinePrefix* MatchLine(const char* line, const char* end) {
  for (const LinePrefix& candidate : kLinePrefixes) {
    if (StartsWith(line, end, candidate.prefix)) return &candidate;
  }
  return nullptr;
}

WsFrameType StoreVerdict(WsHandshake& record, WsFrameType verdict) {
  record.frameType = verdict;
  return verdict;
}

// Walks the request lines from `position` (just after the GET line) up to
// the empty line, and gives the verdict. Every line before it ends in CR
// LF inside [position, head_end), because the head ends in "\r\n\r\n". A
// line that begins with CR, or whose second byte is LF, ends the walk.
WsFrameType ParseLines(const char* position, const char* head_end, WsHandshake& record) {
  LineFlags flags;
  while (position + 1 < head_end && position[0] != '\r' && position[1] != '\n') {
    const char* line_end = Find(position, head_end, kLineEnd);
    if (line_end == nullptr) return StoreVerdict(record, WS_ERROR_FRAME);
    if (const LinePrefix* match = MatchLine(position, line_end)) {
      const char* value = position + match->prefix.size();
      if (!ApplyLine(match->line, value, line_end, record, flags)) {
        return StoreVerdict(record, WS_ERROR_FRAME);
      }
    }
    position = line_end + kLineEnd.size();
  }
  const bool acceptable = record.host != nullptr && record.key != nullptr && flags.connection &&
                          flags.upgrade && !flags.protocol && !flags.versionMismatch;
  return StoreVerdict(record, acceptable ? WS_OPENING_FRAME : WS_ERROR_FRAME);
}

}  // namespace

void wsResetHandshake(WsHandshake& record) {
  record.host = nullptr;
  record.origin = nullptr;
  record.key = nullptr;
  record.resource = nullptr;
  record.frameType = WS_EMPTY_FRAME;
}

void wsReleaseHandshake(WsHandshake& record) {
  delete[] record.host;
  delete[] record.origin;
  delete[] record.resource;
  delete[] record.key;
  wsResetHandshake(record);
}

char* wsCopyHeaderValue(const char* position, const char* end) {
  if (position == nullptr || end == nullptr || end < position) return nullptr;
  const char* value_end = Find(position, end, kLineEnd);
  if (value_end == nullptr) return nullptr;
  if (static_cast<std::size_t>(value_end - position) > kWsMaxHeaderValueLength) return nullptr;
  return CopyText(position, value_end);
}

WsFrameType wsParseHandshake(const char* input, std::size_t inputLength, WsHandshake& record) {
  if (input == nullptr) return WS_INCOMPLETE_FRAME;
  const char* end = input + inputLength;
  const char* head_marker = Find(input, end, kHeadEnd);
  if (head_marker == nullptr) return WS_INCOMPLETE_FRAME;
  const char* head_end = head_marker + kHeadEnd.size();

  if (!StartsWith(input, head_end, kMethod)) return WS_ERROR_FRAME;
  // The texts kept are NUL-terminated: a zero byte inside the head would
  // cut one short without notice.
  if (std::memchr(input, '\0', static_cast<std::size_t>(head_end - input)) != nullptr) {
    return WS_ERROR_FRAME;
  }
  // The request line needs a second blank after the one that ends "GET".
  const char* target = input + kMethod.size();
  if (std::memchr(target, ' ', static_cast<std::size_t>(head_end - target)) == nullptr) {
    return WS_ERROR_FRAME;
  }
  // The target starts right after "GET " and runs to the next white space;
  // the HTTP version after it is not checked. An empty target ("GET" and two
  // blanks) is refused.
  const char* target_end = target;
  while (target_end < head_end && !IsSpace(*target_end)) ++target_end;
  if (target_end == target) return WS_ERROR_FRAME;
  char* resource = CopyText(target, target_end);
  if (resource == nullptr) return WS_ERROR_FRAME;
  ReplaceText(record.resource, resource);

  const char* first_line_end = Find(input, head_end, kLineEnd);
  return ParseLines(first_line_end + kLineEnd.size(), head_end, record);
}

bool wsBuildHandshakeAnswer(const WsHandshake& record, char* output, std::size_t outputCapacity,
                            std::size_t& outputLength) {
  outputLength = 0;
  if (record.key == nullptr || output == nullptr) return false;
  if (outputCapacity < kWsHandshakeAnswerLength + 1) return false;
  std::size_t key_length = 0;
  while (key_length <= kWsMaxKeyLength && record.key[key_length] != '\0') ++key_length;
  if (key_length > kWsMaxKeyLength) return false;

  std::uint8_t joined[kWsMaxKeyLength + kWsGuidLength];
  std::memcpy(joined, record.key, key_length);
  std::memcpy(joined + key_length, kWsGuid, kWsGuidLength);
  std::uint8_t digest[kWsSha1DigestSize];
  wsSha1(joined, key_length + kWsGuidLength, digest);

  char accept[kWsAcceptKeyLength + 1];
  wsBase64Encode(accept, kWsAcceptKeyLength, digest, sizeof digest);
  accept[kWsAcceptKeyLength] = '\0';

  const int written = std::snprintf(
      output, outputCapacity,
      "HTTP/1.1 101 Switching Protocols\r\n%s%s\r\n%s%s\r\nSec-WebSocket-Accept: %s\r\n\r\n",
      "Upgrade: ", "websocket", "Connection: ", "Upgrade", accept);
  if (written != static_cast<int>(kWsHandshakeAnswerLength)) return false;
  outputLength = kWsHandshakeAnswerLength;
  return true;
}

}  // namespace agent
