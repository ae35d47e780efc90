// bench_ws_client.h: the browser's side of a WebSocket message as the
// benchmarks make it against the agent: the opening handshake for /VEVU
// with a fresh key, the masked client frames, and the checks of what the
// server sends back (the 101 answer with its accept key, the reply frame).
//
// The accept key is computed with the agent's own SHA-1 and base64, so a
// bench that includes this header links ovt_websocket.
#ifndef OVT_BENCH_BENCH_WS_CLIENT_H
#define OVT_BENCH_BENCH_WS_CLIENT_H

#include <array>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>

#include "bench_agent.h"
#include "websocket/base64_encode.h"
#include "websocket/sha1.h"

namespace bench {

// A browser's opening handshake, in the order and with the lines a current
// browser sends (the permessage-deflate offer included; neither server
// takes it). %d is the port, %s the key.
constexpr const char* kHandshakeFormat =
    "GET /VEVU HTTP/1.1\r\n"
    "Host: 127.0.0.1:%d\r\n"
    "Connection: Upgrade\r\n"
    "Pragma: no-cache\r\n"
    "Cache-Control: no-cache\r\n"
    "User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like "
    "Gecko) Chrome/124.0.0.0 Safari/537.36\r\n"
    "Upgrade: websocket\r\n"
    "Origin: http://localhost\r\n"
    "Sec-WebSocket-Version: 13\r\n"
    "Accept-Encoding: gzip, deflate, br, zstd\r\n"
    "Accept-Language: ko-KR,ko;q=0.9,en-US;q=0.8,en;q=0.7\r\n"
    "Sec-WebSocket-Key: %s\r\n"
    "Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits\r\n"
    "\r\n";
constexpr char kGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

// What one connection sends, made before its clock starts: a fresh key
// with the accept value it must get back, and fresh masking keys.
struct Prepared {
  std::string handshake;
  std::string accept;
  std::string text_frame;
  std::string close_frame;
};

inline std::string AcceptFor(const std::string& key) {
  const std::string joined = key + kGuid;
  std::uint8_t digest[agent::kWsSha1DigestSize];
  agent::wsSha1(reinterpret_cast<const std::uint8_t*>(joined.data()), joined.size(), digest);
  char text[32] = {};
  const size_t length = agent::wsBase64Encode(text, sizeof text, digest, sizeof digest);
  return std::string(text, length);
}

// A masked client frame with FIN set: the 7-bit or 16-bit length form.
inline std::string ClientFrame(std::uint8_t opcode, std::string_view payload,
                               const std::array<std::uint8_t, 4>& mask) {
  std::string frame;
  frame += static_cast<char>(0x80 | opcode);
  if (payload.size() <= 125) {
    frame += static_cast<char>(0x80 | payload.size());
  } else {
    frame += static_cast<char>(0x80 | 126);
    frame += static_cast<char>(payload.size() >> 8);
    frame += static_cast<char>(payload.size() & 0xFF);
  }
  for (std::uint8_t b : mask) frame += static_cast<char>(b);
  for (size_t i = 0; i < payload.size(); ++i)
    frame += static_cast<char>(static_cast<std::uint8_t>(payload[i]) ^ mask[i % 4]);
  return frame;
}

// The handshake for 127.0.0.1:`port`, the text frame carrying `message`
// and the closing frame of one connection.
inline Prepared Prepare(std::mt19937& random, int port, std::string_view message) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::uint8_t nonce[16];
  for (auto& b : nonce) b = static_cast<std::uint8_t>(byte(random));
  char key[32] = {};
  const size_t key_length = agent::wsBase64Encode(key, sizeof key, nonce, sizeof nonce);
  Prepared p;
  const std::string key_text(key, key_length);
  char head[1024];
  std::snprintf(head, sizeof head, kHandshakeFormat, port, key_text.c_str());
  p.handshake = head;
  p.accept = AcceptFor(key_text);
  std::array<std::uint8_t, 4> mask{};
  for (auto& b : mask) b = static_cast<std::uint8_t>(byte(random));
  p.text_frame = ClientFrame(0x1, message, mask);
  for (auto& b : mask) b = static_cast<std::uint8_t>(byte(random));
  // A browser answers a closing frame without a status code with one
  // without a payload.
  p.close_frame = ClientFrame(0x8, "", mask);
  return p;
}

// The size of a complete unmasked server frame at the start, or 0.
inline size_t ServerFrameSize(std::string_view bytes) {
  if (bytes.size() < 2) return 0;
  const auto* b = reinterpret_cast<const std::uint8_t*>(bytes.data());
  size_t header = 2, length = b[1] & 0x7F;
  if (length == 126) {
    if (bytes.size() < 4) return 0;
    header = 4;
    length = (size_t{b[2]} << 8) | b[3];
  } else if (length == 127) {
    if (bytes.size() < 10) return 0;
    header = 10;
    length = 0;
    for (int i = 2; i < 10; ++i) length = (length << 8) | b[i];
  }
  if (b[1] & 0x80) header += 4;  // a server must not mask; refused below
  return bytes.size() >= header + length ? header + length : 0;
}

// The 101 answer: its status line, Upgrade, Connection and the accept key.
inline bool CheckUpgrade(std::string_view head, const std::string& accept, std::string* error) {
  static constexpr std::string_view kStatus = "HTTP/1.1 101 Switching Protocols\r\n";
  if (head.substr(0, kStatus.size()) != kStatus) {
    *error = "status line: \"" + Visible(head.substr(0, head.find("\r\n"))) + "\"";
    return false;
  }
  bool upgrade = false, connection = false, accepted = false;
  ForEachHeaderLine(head, kStatus.size(), [&](const std::string& name, std::string_view value) {
    if (name == "upgrade") upgrade = Lower(value) == "websocket";
    if (name == "connection") connection = Lower(value).find("upgrade") != std::string::npos;
    if (name == "sec-websocket-accept") accepted = value == accept;
    return true;
  });
  if (upgrade && connection && accepted) return true;
  *error = std::string("101 answer lacks ") +
           (!upgrade      ? "Upgrade: websocket"
            : !connection ? "Connection: Upgrade"
                          : "the right Sec-WebSocket-Accept") +
           ": \"" + Visible(head) + "\"";
  return false;
}

// The payload of a reply frame (a whole frame, as ServerFrameSize found
// it), which must be one unmasked text frame.
inline bool ReplyPayload(std::string_view frame, std::string* payload, std::string* error) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(frame.data());
  const size_t header = (b[1] & 0x7F) == 126 ? 4 : (b[1] & 0x7F) == 127 ? 10 : 2;
  if (b[0] != 0x81 || (b[1] & 0x80) != 0) {
    *error = "reply frame is not one unmasked text frame: \"" + Visible(frame.substr(0, 16)) + "\"";
    return false;
  }
  *payload = std::string(frame.substr(header));
  return true;
}

inline bool CheckReplyFrame(std::string_view frame, std::string_view expected,
                            std::string* error) {
  std::string payload;
  if (!ReplyPayload(frame, &payload, error)) return false;
  if (payload != expected) {
    *error = "reply payload \"" + Visible(payload) + "\"";
    return false;
  }
  return true;
}

}  // namespace bench

#endif  // OVT_BENCH_BENCH_WS_CLIENT_H
