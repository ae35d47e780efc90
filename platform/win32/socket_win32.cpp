// Windows backend of platform/socket.h: WinSock 2.2. A socket stays in
// plain blocking mode except inside a wait: there WSAEventSelect ties it to
// its own event (and makes it non-blocking), the call is tried, and only
// when it would block do we sleep on that event together with the stop
// event. The failed try re-enables the socket's event, so the data or
// connection that arrives after it always wakes the sleep.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <string>

#include "native_win32.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace platform {

struct Socket::Native {
  SOCKET socket = INVALID_SOCKET;
  WSAEVENT ready = WSA_INVALID_EVENT;  // manual-reset, from WSACreateEvent
};

namespace {

void Fail(SystemError* error, const char* what, int code) {
  if (error != nullptr) *error = MakeSystemError(static_cast<DWORD>(code), what);
}

int ClampCount(size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

bool StopSet(Event* stop) {
  return stop != nullptr && WaitForSingleObject(stop->native().handle, 0) == WAIT_OBJECT_0;
}

// Ties the socket to its event for `events`; the socket is non-blocking
// until Unselect.
bool Select(Socket::Native& n, long events, SystemError* error) {
  WSAResetEvent(n.ready);
  if (WSAEventSelect(n.socket, n.ready, events) == SOCKET_ERROR) {
    Fail(error, "WSAEventSelect", WSAGetLastError());
    return false;
  }
  return true;
}

// Back to plain blocking mode.
void Unselect(SOCKET socket) {
  WSAEventSelect(socket, nullptr, 0);
  u_long blocking = 0;
  ioctlsocket(socket, FIONBIO, &blocking);
}

enum class Ready { kSocket, kStop, kTimedOut, kFailed };

// The time left of a wait that began at `start` and may last `timeout_ms`.
DWORD TimeLeft(uint32_t start, uint32_t timeout_ms) {
  if (timeout_ms == kSocketWaitForever) return INFINITE;
  const uint32_t elapsed = TickCount() - start;
  return elapsed >= timeout_ms ? 0 : timeout_ms - elapsed;
}

// Sleeps until the socket's event or the stop event is set, at most
// `wait_ms`. The stop event's own rules apply: an auto-reset one is
// consumed when it ends the wait, a manual-reset one stays set.
Ready WaitFor(Socket::Native& n, Event* stop, DWORD wait_ms, SystemError* error) {
  HANDLE handles[2] = {n.ready, nullptr};
  DWORD count = 1;
  if (stop != nullptr) handles[count++] = stop->native().handle;
  const DWORD result = WaitForMultipleObjects(count, handles, FALSE, wait_ms);
  if (result == WAIT_TIMEOUT) return Ready::kTimedOut;
  if (result == WAIT_OBJECT_0) {
    WSAResetEvent(n.ready);
    return Ready::kSocket;
  }
  if (stop != nullptr && result == WAIT_OBJECT_0 + 1) return Ready::kStop;
  Fail(error, "WaitForMultipleObjects", static_cast<int>(GetLastError()));
  return Ready::kFailed;
}

}  // namespace

bool StartSockets(SystemError* error) {
  WSADATA data;
  const int code = WSAStartup(MAKEWORD(2, 2), &data);
  if (code != 0) {
    Fail(error, "WSAStartup", code);
    return false;
  }
  return true;
}

void CleanupSockets() { WSACleanup(); }

Socket::Socket(std::unique_ptr<Native> native) : native_(std::move(native)) {}

Socket::~Socket() {
  if (native_->socket != INVALID_SOCKET) closesocket(native_->socket);
  if (native_->ready != WSA_INVALID_EVENT) WSACloseEvent(native_->ready);
}

std::unique_ptr<Socket> Socket::CreateTcp(SystemError* error) {
  auto native = std::make_unique<Native>();
  native->socket = socket(AF_INET, SOCK_STREAM, 0);
  if (native->socket == INVALID_SOCKET) {
    Fail(error, "socket", WSAGetLastError());
    return nullptr;
  }
  native->ready = WSACreateEvent();
  if (native->ready == WSA_INVALID_EVENT) {
    Fail(error, "WSACreateEvent", WSAGetLastError());
    closesocket(native->socket);
    return nullptr;
  }
  return std::unique_ptr<Socket>(new Socket(std::move(native)));
}

bool Socket::Bind(const std::string& address_text, int port_number, SystemError* error) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!address_text.empty() && inet_pton(AF_INET, address_text.c_str(), &address.sin_addr) != 1) {
    if (error != nullptr) {
      *error = MakeSystemError(WSAEINVAL, "not an IPv4 address: " + address_text);
    }
    return false;
  }
  address.sin_port = htons(static_cast<u_short>(port_number & 0xFFFF));
  if (bind(native_->socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
      SOCKET_ERROR) {
    Fail(error, "bind", WSAGetLastError());
    return false;
  }
  return true;
}

bool Socket::Listen(int backlog, SystemError* error) {
  if (listen(native_->socket, backlog) == SOCKET_ERROR) {
    Fail(error, "listen", WSAGetLastError());
    return false;
  }
  return true;
}

std::unique_ptr<Socket> Socket::Accept(Event* stop, bool* stopped, SystemError* error) {
  if (stopped != nullptr) *stopped = false;
  if (!Select(*native_, FD_ACCEPT, error)) return nullptr;
  SOCKET accepted = INVALID_SOCKET;
  for (;;) {
    if (StopSet(stop)) {
      if (stopped != nullptr) *stopped = true;
      break;
    }
    accepted = accept(native_->socket, nullptr, nullptr);
    if (accepted != INVALID_SOCKET) break;
    const int code = WSAGetLastError();
    // A connection reset before it was taken is skipped.
    if (code != WSAEWOULDBLOCK && code != WSAECONNRESET) {
      Fail(error, "accept", code);
      break;
    }
    const Ready ready = WaitFor(*native_, stop, INFINITE, error);
    if (ready == Ready::kSocket) continue;
    if (ready == Ready::kStop && stopped != nullptr) *stopped = true;
    break;
  }
  Unselect(native_->socket);
  if (accepted == INVALID_SOCKET) return nullptr;
  // The new socket inherits the listener's selection and mode.
  Unselect(accepted);
  // Small writes go out at once: a reply frame followed at once by a
  // closing frame must not wait for the peer's acknowledgement of the
  // first (Nagle's algorithm). A socket that refuses the option still
  // works, only slower, so a failure is not reported.
  const BOOL on = TRUE;
  setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  auto native = std::make_unique<Native>();
  native->socket = accepted;
  native->ready = WSACreateEvent();
  if (native->ready == WSA_INVALID_EVENT) {
    Fail(error, "WSACreateEvent", WSAGetLastError());
    closesocket(accepted);
    return nullptr;
  }
  return std::unique_ptr<Socket>(new Socket(std::move(native)));
}

int Socket::Receive(void* buffer, size_t max, Event* stop, SystemError* error,
                    uint32_t timeout_ms) {
  const uint32_t start = TickCount();
  if (!Select(*native_, FD_READ | FD_CLOSE, error)) return kSocketFailed;
  int result = kSocketStopped;
  for (;;) {
    if (StopSet(stop)) break;
    const int n = recv(native_->socket, static_cast<char*>(buffer), ClampCount(max), 0);
    if (n != SOCKET_ERROR) {
      result = n;
      break;
    }
    const int code = WSAGetLastError();
    if (code != WSAEWOULDBLOCK) {
      Fail(error, "recv", code);
      result = kSocketFailed;
      break;
    }
    const Ready ready = WaitFor(*native_, stop, TimeLeft(start, timeout_ms), error);
    if (ready == Ready::kSocket) continue;
    result = ready == Ready::kStop       ? kSocketStopped
             : ready == Ready::kTimedOut ? kSocketTimedOut
                                         : kSocketFailed;
    break;
  }
  Unselect(native_->socket);
  return result;
}

int Socket::Send(const void* data, size_t size, Event* stop, SystemError* error,
                 uint32_t timeout_ms) {
  if (size == 0) return 0;
  const uint32_t start = TickCount();
  if (!Select(*native_, FD_WRITE | FD_CLOSE, error)) return kSocketFailed;
  int result = kSocketFailed;
  for (;;) {
    // Tried first: a socket with room sends whether or not a stop is pending.
    const int n = send(native_->socket, static_cast<const char*>(data), ClampCount(size), 0);
    if (n != SOCKET_ERROR) {
      result = n;
      break;
    }
    const int code = WSAGetLastError();
    if (code != WSAEWOULDBLOCK) {
      Fail(error, "send", code);
      break;
    }
    const Ready ready = WaitFor(*native_, stop, TimeLeft(start, timeout_ms), error);
    if (ready == Ready::kSocket) continue;
    result = ready == Ready::kStop       ? kSocketStopped
             : ready == Ready::kTimedOut ? kSocketTimedOut
                                         : kSocketFailed;
    break;
  }
  Unselect(native_->socket);
  return result;
}

int Socket::LocalPort() const {
  sockaddr_in address{};
  int length = sizeof address;
  if (getsockname(native_->socket, reinterpret_cast<sockaddr*>(&address), &length) ==
      SOCKET_ERROR) {
    return 0;
  }
  return ntohs(address.sin_port);
}

long long Socket::Number() const { return static_cast<long long>(native_->socket); }

}  // namespace platform
