// POSIX backend of platform/socket.h. Waits are poll() on the socket and
// the stop event's eventfd; the listening socket is non-blocking so that a
// connection dropped between poll and accept sends us back to poll rather
// than blocking where the stop event cannot reach.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "native_posix.h"
#include "platform/clock.h"

namespace platform {

struct Socket::Native {
  int fd = -1;
};

namespace {

SystemError ErrnoError(const char* what, int code) {
  return SystemError{code, std::string(what) + ": " + std::strerror(code)};
}

void Fail(SystemError* error, const char* what, int code) {
  if (error != nullptr) *error = ErrnoError(what, code);
}

// Linux's own flag; elsewhere SIGPIPE would have to be ignored process-wide.
#ifdef MSG_NOSIGNAL
constexpr int kNoSignal = MSG_NOSIGNAL;
#else
constexpr int kNoSignal = 0;
#endif

enum class Ready { kSocket, kStop, kTimedOut, kFailed };

// The time left of a wait that began at `start` and may last `timeout_ms`,
// as poll() takes it (-1: no limit).
int TimeLeft(uint32_t start, uint32_t timeout_ms) {
  if (timeout_ms == kSocketWaitForever) return -1;
  const uint32_t elapsed = TickCount() - start;
  if (elapsed >= timeout_ms) return 0;
  const uint32_t left = timeout_ms - elapsed;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// Sleeps until the socket reports `events` or the stop event is set, at
// most `wait_ms` (-1: no limit). With `stop_first`, a set stop event wins
// over a ready socket.
Ready WaitFor(int fd, short events, Event* stop, bool stop_first, int wait_ms,
              SystemError* error) {
  pollfd fds[2] = {{fd, events, 0}, {-1, POLLIN, 0}};
  if (stop != nullptr) fds[1].fd = stop->native().fd;
  const unsigned count = stop != nullptr ? 2 : 1;
  const int ready = PollRetrying(fds, count, wait_ms);
  if (ready < 0) {
    Fail(error, "poll", errno);
    return Ready::kFailed;
  }
  if (ready == 0) return Ready::kTimedOut;
  const bool stop_set = count == 2 && (fds[1].revents & POLLIN) != 0;
  // Errors and hang-ups count as ready: the call that follows reports them.
  const bool socket_ready = fds[0].revents != 0;
  if (stop_set && (stop_first || !socket_ready)) {
    if (!stop->native().manual) ConsumeEvent(stop->native());
    return Ready::kStop;
  }
  return Ready::kSocket;
}

bool WouldBlock(int code) { return code == EAGAIN || code == EWOULDBLOCK; }

// Connections that ended before accept took them; the next one may be fine.
bool AcceptTransient(int code) {
  return WouldBlock(code) || code == EINTR || code == ECONNABORTED || code == EPROTO;
}

int ClampCount(size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

}  // namespace

bool StartSockets(SystemError*) { return true; }
void CleanupSockets() {}

Socket::Socket(std::unique_ptr<Native> native) : native_(std::move(native)) {}

Socket::~Socket() {
  if (native_->fd >= 0) close(native_->fd);
}

std::unique_ptr<Socket> Socket::CreateTcp(SystemError* error) {
  auto native = std::make_unique<Native>();
  native->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (native->fd < 0) {
    Fail(error, "socket", errno);
    return nullptr;
  }
  return std::unique_ptr<Socket>(new Socket(std::move(native)));
}

bool Socket::Bind(const std::string& address_text, int port_number, SystemError* error) {
  in_addr host{};
  host.s_addr = htonl(INADDR_ANY);
  if (!address_text.empty() && inet_pton(AF_INET, address_text.c_str(), &host) != 1) {
    if (error != nullptr) *error = SystemError{EINVAL, "not an IPv4 address: " + address_text};
    return false;
  }
  const int on = 1;
  if (setsockopt(native_->fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    Fail(error, "setsockopt SO_REUSEADDR", errno);
    return false;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr = host;
  address.sin_port = htons(static_cast<uint16_t>(port_number & 0xFFFF));
  if (bind(native_->fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    Fail(error, "bind", errno);
    return false;
  }
  return true;
}

bool Socket::Listen(int backlog, SystemError* error) {
  if (listen(native_->fd, backlog) != 0) {
    Fail(error, "listen", errno);
    return false;
  }
  const int flags = fcntl(native_->fd, F_GETFL);
  if (flags < 0 || fcntl(native_->fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    Fail(error, "fcntl O_NONBLOCK", errno);
    return false;
  }
  return true;
}

std::unique_ptr<Socket> Socket::Accept(Event* stop, bool* stopped, SystemError* error) {
  if (stopped != nullptr) *stopped = false;
  for (;;) {
    switch (WaitFor(native_->fd, POLLIN, stop, true, -1, error)) {
      case Ready::kStop:
        if (stopped != nullptr) *stopped = true;
        return nullptr;
      case Ready::kTimedOut:
      case Ready::kFailed:
        return nullptr;
      case Ready::kSocket:
        break;
    }
    // The accepted socket blocks (accept4 does not pass O_NONBLOCK on).
    const int fd = accept4(native_->fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      // Small writes go out at once: a reply frame followed at once by a
      // closing frame must not wait for the peer's acknowledgement of the
      // first (Nagle's algorithm). A socket that refuses the option still
      // works, only slower, so a failure is not reported.
      const int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      auto native = std::make_unique<Native>();
      native->fd = fd;
      return std::unique_ptr<Socket>(new Socket(std::move(native)));
    }
    if (!AcceptTransient(errno)) {
      Fail(error, "accept", errno);
      return nullptr;
    }
  }
}

int Socket::Receive(void* buffer, size_t max, Event* stop, SystemError* error,
                    uint32_t timeout_ms) {
  const uint32_t start = TickCount();
  for (;;) {
    switch (WaitFor(native_->fd, POLLIN, stop, true, TimeLeft(start, timeout_ms), error)) {
      case Ready::kStop:
        return kSocketStopped;
      case Ready::kTimedOut:
        return kSocketTimedOut;
      case Ready::kFailed:
        return kSocketFailed;
      case Ready::kSocket:
        break;
    }
    const ssize_t n = recv(native_->fd, buffer, static_cast<size_t>(ClampCount(max)), MSG_DONTWAIT);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR || WouldBlock(errno)) continue;
    Fail(error, "recv", errno);
    return kSocketFailed;
  }
}

int Socket::Send(const void* data, size_t size, Event* stop, SystemError* error,
                 uint32_t timeout_ms) {
  if (size == 0) return 0;
  const uint32_t start = TickCount();
  const size_t count = static_cast<size_t>(ClampCount(size));
  for (;;) {
    // Try first: a socket with room sends whether or not a stop is pending.
    const ssize_t n = send(native_->fd, data, count, MSG_DONTWAIT | kNoSignal);
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || !WouldBlock(errno)) {
      Fail(error, "send", n == 0 ? EPIPE : errno);
      return kSocketFailed;
    }
    switch (WaitFor(native_->fd, POLLOUT, stop, false, TimeLeft(start, timeout_ms), error)) {
      case Ready::kStop:
        return kSocketStopped;
      case Ready::kTimedOut:
        return kSocketTimedOut;
      case Ready::kFailed:
        return kSocketFailed;
      case Ready::kSocket:
        break;
    }
  }
}

int Socket::LocalPort() const {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getsockname(native_->fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

long long Socket::Number() const { return native_->fd; }

}  // namespace platform
