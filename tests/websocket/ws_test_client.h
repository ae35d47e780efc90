// What the front end's tests play the browser with: a loopback TCP client,
// WebSocket requests and frames built by hand (the agent log is read back
// with support/agent_log_reader.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "support/agent_log_reader.h"

namespace ovt_test {

using namespace std::chrono_literals;

// A blocking TCP client on 127.0.0.1. Reads give up after their limit
// (generous: a limit ends a hung test, it is never a measurement).
class TcpClient {
 public:
  // Connects, trying again while the port refuses (its listener may still
  // be starting) until `limit` has passed.
  explicit TcpClient(int port, std::chrono::milliseconds limit = 20s);
  ~TcpClient();
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  bool Connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  bool Send(std::string_view bytes);
  // Exactly `count` bytes, or fewer when the peer closed or the limit
  // passed first.
  std::string Read(size_t count, std::chrono::milliseconds limit = 60s);
  // Everything up to the peer's close; `closed` (when given) tells
  // whether the close came (rather than the limit).
  std::string ReadUntilClosed(bool* closed = nullptr, std::chrono::milliseconds limit = 60s);
  // Ends the connection with a reset (SO_LINGER 1, 0): the peer's next
  // send fails.
  void Reset();
  void Close();

 private:
  int fd_ = -1;
};

// True when a connection to the port is refused right now.
bool ConnectionRefused(int port);

// Two neighbouring ports, P and P + 1, that nothing listens on, away from
// the range the system hands out to outgoing connections.
int FreePortPair();

// The opening handshake for `resource` with the sample key of RFC 6455,
// plus `extra_lines` (each ending in CR LF) before the empty line.
std::string Handshake(std::string_view resource = "/VEVU", std::string_view extra_lines = "");
// The 101 answer to it.
std::string HandshakeAnswer();

// A client frame: FIN, `opcode`, masked with a fixed key unless `masked`
// is false; 7-bit or 16-bit length.
std::string ClientFrame(uint8_t opcode, std::string_view payload, bool masked = true);
std::string TextFrame(std::string_view payload);
// A server frame as the agent builds it (unmasked).
std::string ServerFrame(uint8_t opcode, std::string_view payload);

inline constexpr char kClosingFrame[] = "\x88\x00";
inline const std::string kServerClosingFrame(kClosingFrame, 2);

}  // namespace ovt_test
