// Blocking TCP sockets, as the agent's WebSocket listeners use them: an
// IPv4 listener on all local addresses, and the connections it accepts.
//
// Every wait (accept, receive, a send that finds the peer's window full)
// can also end because a stop Event was set, so a thread blocked in one can
// always be stopped. Sockets are never inherited by started programs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/error.h"

namespace platform {

class Event;

// Results of Receive and Send besides a byte count.
inline constexpr int kSocketFailed = -1;    // the system refused; see the error
inline constexpr int kSocketStopped = -2;   // the stop event was set first
inline constexpr int kSocketTimedOut = -3;  // the wait's time ran out first

// A wait without a time limit.
inline constexpr uint32_t kSocketWaitForever = 0xFFFFFFFF;

// The socket service of the process: WSAStartup(2.2) / WSACleanup on
// Windows, counted by the system (every successful start wants one
// cleanup). Nothing to do elsewhere: StartSockets always succeeds there.
bool StartSockets(SystemError* error);
void CleanupSockets();

// One socket; closed when the object goes. Not shared between threads,
// except that the stop event of a wait may be set from any thread.
class Socket {
 public:
  // A new IPv4 stream socket. nullptr and `error` filled when the system
  // refuses.
  static std::unique_ptr<Socket> CreateTcp(SystemError* error);
  ~Socket();
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // Binds to the IPv4 address `address` in dotted-decimal form ("127.0.0.1"),
  // or to every local IPv4 address when it is empty, on the low 16 bits of
  // `port_number` (0: a port the system picks). Text that is not such an
  // address fails the bind. On POSIX the address is reusable at once: a
  // listener that replaces another binds while the old one's connections
  // linger in TIME_WAIT. Windows binds over those anyway, and the option
  // there would let another program take the port over.
  bool Bind(const std::string& address, int port_number, SystemError* error);
  bool Listen(int backlog, SystemError* error);

  // Waits for the next connection. nullptr when `stop` (may be null) was
  // set first (`*stopped` true; an auto-reset event is consumed) or when
  // the system fails (`*stopped` false, `error` filled). A connection that
  // the peer dropped before it was taken is skipped, not reported.
  std::unique_ptr<Socket> Accept(Event* stop, bool* stopped, SystemError* error);

  // Receives at most `max` bytes (at most INT_MAX are asked for): the
  // count, 0 when the peer has closed its side, kSocketFailed,
  // kSocketStopped, or kSocketTimedOut when nothing came within
  // `timeout_ms`. The stop event wins over waiting data.
  int Receive(void* buffer, size_t max, Event* stop, SystemError* error,
              uint32_t timeout_ms = kSocketWaitForever);

  // One send: the number of bytes the system took (possibly fewer than
  // `size`; 0 only for an empty buffer), kSocketFailed or kSocketStopped. It waits only
  // while the peer's window is full; while the socket can take data, the
  // stop event does not keep it from being sent. A peer that has gone
  // makes it fail, never raises a signal. kSocketTimedOut when the window
  // stayed full for `timeout_ms`.
  int Send(const void* data, size_t size, Event* stop, SystemError* error,
           uint32_t timeout_ms = kSocketWaitForever);

  // The local port after Bind (0 when unknown).
  int LocalPort() const;

  // The system's number for the socket, for logs.
  long long Number() const;

  struct Native;

 private:
  explicit Socket(std::unique_ptr<Native> native);
  std::unique_ptr<Native> native_;
};

}  // namespace platform
