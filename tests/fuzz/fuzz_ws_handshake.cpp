// libFuzzer harness for the opening handshake: the bytes as a head received
// so far, and the bytes as the value of one line of a browser's head (so
// that accepted heads are reached too). Whatever arrives, the parser reads
// and writes nothing outside its blocks, gives one of its three verdicts,
// keeps only texts within their limits, and an accepted head gets the
// exact 101 answer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "websocket/base64_encode.h"
#include "websocket/handshake.h"

namespace {

using namespace agent;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_ws_handshake: %s\n", what);
  std::abort();
}

bool IsFresh(const WsHandshake& r) {
  return r.host == nullptr && r.origin == nullptr && r.key == nullptr && r.resource == nullptr &&
         r.frameType == WS_EMPTY_FRAME;
}

void CheckText(const char* text, std::size_t limit, const char* what) {
  if (text == nullptr) return;
  if (std::strlen(text) > limit) Fail(what);
}

bool IsBase64(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

void CheckAnswer(const WsHandshake& record) {
  constexpr char kGuard = '\x5A';
  // One byte short of the answer and its zero: refused, nothing written.
  {
    auto small = std::make_unique<char[]>(kWsHandshakeAnswerLength);
    std::memset(small.get(), kGuard, kWsHandshakeAnswerLength);
    std::size_t length = 1;
    if (wsBuildHandshakeAnswer(record, small.get(), kWsHandshakeAnswerLength, length) || length != 0)
      Fail("answer built into a block too small");
    for (std::size_t i = 0; i < kWsHandshakeAnswerLength; ++i)
      if (small[i] != kGuard) Fail("refused answer wrote");
  }
  auto block = std::make_unique<char[]>(kWsHandshakeAnswerLength + 1);
  std::size_t length = 0;
  if (!wsBuildHandshakeAnswer(record, block.get(), kWsHandshakeAnswerLength + 1, length))
    Fail("no answer for an accepted head");
  if (length != kWsHandshakeAnswerLength || block[length] != '\0') Fail("answer length");
  const std::string_view answer(block.get(), length);
  constexpr std::string_view kStart =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Accept: ";
  constexpr std::string_view kEnd = "\r\n\r\n";
  if (answer.substr(0, kStart.size()) != kStart) Fail("answer start");
  const std::string_view accept = answer.substr(kStart.size(), kWsAcceptKeyLength);
  for (std::size_t i = 0; i + 1 < accept.size(); ++i)
    if (!IsBase64(accept[i])) Fail("accept key alphabet");
  if (accept.back() != '=') Fail("accept key padding");
  if (answer.substr(kStart.size() + kWsAcceptKeyLength) != kEnd) Fail("answer end");
}

// Parses `bytes` from an exactly sized block, as received whole and in two
// pieces, and checks the record and the verdict.
void CheckHead(const std::string& bytes) {
  const std::size_t size = bytes.size();
  auto block = std::make_unique<char[]>(size);
  std::memcpy(block.get(), bytes.data(), size);

  WsHandshake record;
  wsResetHandshake(record);
  const WsFrameType verdict = wsParseHandshake(block.get(), size, record);
  if (verdict != WS_INCOMPLETE_FRAME && verdict != WS_ERROR_FRAME && verdict != WS_OPENING_FRAME)
    Fail("verdict is not one of the three");
  const bool has_end = bytes.find("\r\n\r\n") != std::string::npos;
  if ((verdict == WS_INCOMPLETE_FRAME) == has_end) Fail("incomplete exactly without the empty line");
  if (verdict == WS_INCOMPLETE_FRAME && !IsFresh(record)) Fail("incomplete parse touched the record");
  if (record.frameType != WS_EMPTY_FRAME && record.frameType != verdict) Fail("stored verdict");
  CheckText(record.host, kWsMaxHeaderValueLength, "host too long");
  CheckText(record.origin, kWsMaxHeaderValueLength, "origin too long");
  CheckText(record.key, kWsMaxKeyLength, "key too long");
  if (record.resource != nullptr && record.resource[0] == '\0') Fail("empty resource");
  if (verdict == WS_OPENING_FRAME) {
    if (record.host == nullptr || record.key == nullptr || record.resource == nullptr)
      Fail("accepted without host, key or resource");
    CheckAnswer(record);
  }

  // Parsed again with the same record, as after another receive.
  if (wsParseHandshake(block.get(), size, record) != verdict) Fail("second parse differs");
  wsReleaseHandshake(record);
  if (!IsFresh(record)) Fail("release left something");

  // The first half first, then the whole, as the connection receives it.
  const std::size_t half = size / 2;
  auto first = std::make_unique<char[]>(half);
  std::memcpy(first.get(), bytes.data(), half);
  WsHandshake split;
  const WsFrameType early = wsParseHandshake(first.get(), half, split);
  if (early == WS_INCOMPLETE_FRAME && !IsFresh(split)) Fail("incomplete half touched the record");
  if (early == WS_INCOMPLETE_FRAME && wsParseHandshake(block.get(), size, split) != verdict)
    Fail("split parse differs");
  wsReleaseHandshake(split);
}

// A browser's head with line `which` given `value`.
std::string BrowserHead(unsigned which, const std::string& value) {
  const char* lines[] = {
      "GET /VEVU HTTP/1.1",       "Host: 127.0.0.1:8088",          "Origin: http://localhost",
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==", "Sec-WebSocket-Version: 13",
      "Connection: Upgrade",      "Upgrade: websocket",
  };
  const char* prefixes[] = {"GET ", "Host: ", "Origin: ", "Sec-WebSocket-Key: ",
                            "Sec-WebSocket-Version: ", "Connection: ", "Upgrade: "};
  std::string head;
  for (unsigned i = 0; i < 7; ++i) {
    head += i == which ? std::string(prefixes[i]) + value : std::string(lines[i]);
    head += "\r\n";
  }
  return head + "\r\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  CheckHead(bytes);
  if (size > 0) CheckHead(BrowserHead(data[0] % 7, bytes.substr(1)));
  return 0;
}
