// POSIX backend of platform/http_server.h: the layer serves HTTP/1.1 on
// 127.0.0.1 itself. One I/O thread per queue sleeps in poll() on the
// listening socket, the connections that are reading a request and an
// eventfd that wakes it; it parses requests (http_parse_posix) and queues
// the complete ones, which ReceiveRequest hands out one at a time. While a
// request is with the caller, its connection belongs to the caller's
// calls: they send on it (bounded by the stall time-out) and give it back
// for the next request, or to be closed.
#include "platform/http_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "http_parse_posix.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;
using http_parse::Verdict;

constexpr uint32_t kDefaultStallMs = 10'000;
// An idle keep-alive connection may wait this many stall times for its next
// request, as long as browsers keep one open.
constexpr uint32_t kIdleStallFactor = 12;
// Connections beyond this many wait in the listen backlog.
constexpr size_t kMaxConnections = 64;
constexpr size_t kReadChunk = 16 * 1024;

std::atomic<uint32_t> g_stall_ms{kDefaultStallMs};

uint32_t FileError(int code) {
  switch (code) {
    case ENOENT:
    case ENOTDIR:
      return kHttpPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return kHttpAccessDenied;
    case ENOSPC:
    case EDQUOT:
      return kHttpDiskFull;
    case ENOMEM:
      return kHttpNotEnoughMemory;
    default:
      return kHttpGenFailure;
  }
}

// "http://127.0.0.1:<port>/" with a port of 1 to 65535 without leading
// zeros; nothing else.
std::optional<uint16_t> PortOfPrefix(const std::string& prefix) {
  constexpr std::string_view kHead = "http://127.0.0.1:";
  if (prefix.size() < kHead.size() + 2 || prefix.compare(0, kHead.size(), kHead) != 0 ||
      prefix.back() != '/') {
    return std::nullopt;
  }
  const char* first = prefix.data() + kHead.size();
  const char* last = prefix.data() + prefix.size() - 1;
  if (last - first > 5 || *first == '0') return std::nullopt;
  unsigned value = 0;
  const auto [end, error] = std::from_chars(first, last, value);
  if (error != std::errc() || end != last || value == 0 || value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

bool IsTokenChar(char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsFieldText(std::string_view text) {
  return std::none_of(text.begin(), text.end(),
                      [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
}

bool IsToken(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), IsTokenChar);
}

bool IsDigits(std::string_view text) {
  return !text.empty() && text.size() <= 19 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Sends all of `parts` (in order, as one stream), waiting at most
// `stall_ms` at a time for the peer to make room. Pieces that fit go out in
// one write, so a head and a short body leave in one segment. Advances
// `parts` past what was sent. False when the connection fails, stalls or
// was shut down.
bool SendAll(int fd, iovec* parts, size_t count, uint32_t stall_ms) {
  for (;;) {
    while (count > 0 && parts->iov_len == 0) {
      ++parts;
      --count;
    }
    if (count == 0) return true;
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = count;
    const ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      // A partial write may end inside any piece: skip the whole ones, then
      // move into the one it ended in.
      size_t done = static_cast<size_t>(sent);
      while (done >= parts->iov_len) {
        done -= parts->iov_len;
        ++parts;
        if (--count == 0) return true;
      }
      parts->iov_base = static_cast<char*>(parts->iov_base) + done;
      parts->iov_len -= done;
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd wait{fd, POLLOUT, 0};
      int ready;
      do {
        ready = poll(&wait, 1, static_cast<int>(stall_ms));
      } while (ready < 0 && errno == EINTR);
      if (ready <= 0 || (wait.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return false;
      continue;
    }
    return false;
  }
}

bool SendAll(int fd, const char* data, size_t size, uint32_t stall_ms) {
  iovec part{const_cast<char*>(data), size};
  return SendAll(fd, &part, 1, stall_ms);
}

struct Connection {
  enum class State {
    kReading,     // the I/O thread reads and parses the next request
    kWithCaller,  // a request of it is queued or with the caller
    kClosing,     // answered for the last time; the rest of its input is discarded
  };

  Connection(int socket, uint16_t port) : fd(socket), local_port(port) {}
  ~Connection() { close(fd); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const int fd;
  const uint16_t local_port;
  // Guarded by the queue's mutex.
  State state = State::kReading;
  bool resume = false;  // given back by the caller: parse what is pending
  // The I/O thread's alone, while kReading or kClosing.
  std::string pending;
  std::unique_ptr<http_parse::RequestParser> parser =
      std::make_unique<http_parse::RequestParser>();
  bool continue_sent = false;
  bool dropped = false;
  Clock::time_point deadline;
};

struct Request {
  uint64_t id = 0;
  std::shared_ptr<Connection> connection;
  http_parse::ParsedRequest parsed;
  // Guarded by the queue's mutex.
  bool refetch = false;  // reported with kHttpMoreData; wants a receive by id
  size_t body_taken = 0;
  bool head_sent = false;
  bool busy = false;  // a send of it is under way
  std::optional<uint64_t> declared_length;
  uint64_t body_sent = 0;
};

}  // namespace

struct HttpRequestQueue::Native {
  std::mutex mutex;
  std::condition_variable ready_changed;
  std::condition_variable listener_retired;
  bool closed = false;
  bool io_running = true;
  int wake_fd = -1;
  int listen_fd = -1;
  int retired_listen_fd = -1;
  std::string prefix;
  std::deque<std::shared_ptr<Request>> ready;
  std::map<uint64_t, std::shared_ptr<Request>> active;
  uint64_t next_id = 1;
  uint32_t stall_ms = kDefaultStallMs;
  // The I/O thread's alone until it has been joined.
  std::vector<std::shared_ptr<Connection>> connections;
  std::thread io;

  ~Native() {
    if (listen_fd >= 0) close(listen_fd);
    if (retired_listen_fd >= 0) close(retired_listen_fd);
    if (wake_fd >= 0) close(wake_fd);
  }

  void Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wake_fd, &one, sizeof one);
  }

  void Run();
  void Accept(int listener);
  void ReadFrom(Connection& connection);
  void Parse(const std::shared_ptr<Connection>& connection);
  void Fail(Connection& connection, Verdict verdict);
  void Finish(const std::shared_ptr<Request>& request, bool close_connection);
  std::chrono::milliseconds IdleTime() const {
    return std::chrono::milliseconds(uint64_t{stall_ms} * kIdleStallFactor);
  }
};

void HttpRequestQueue::Native::Run() {
  std::vector<pollfd> fds;
  std::vector<std::shared_ptr<Connection>> polled;
  std::vector<std::shared_ptr<Connection>> resumed;
  for (;;) {
    resumed.clear();
    {
      std::lock_guard lock(mutex);
      if (closed) return;
      if (retired_listen_fd >= 0) {
        close(retired_listen_fd);
        retired_listen_fd = -1;
        listener_retired.notify_all();
      }
      for (auto& c : connections) {
        if (c->resume) resumed.push_back(c);
        c->resume = false;
      }
    }
    // Given back by the caller: a closing one says so, a kept one parses
    // what the client sent behind its last request.
    for (auto& c : resumed) {
      if (c->state == Connection::State::kClosing) {
        shutdown(c->fd, SHUT_WR);
        c->deadline = Clock::now() + std::chrono::milliseconds(stall_ms);
      } else {
        c->deadline = Clock::now() + (c->pending.empty() ? IdleTime()
                                                         : std::chrono::milliseconds(stall_ms));
        Parse(c);
      }
    }
    fds.clear();
    polled.clear();
    fds.push_back({wake_fd, POLLIN, 0});
    int listener = -1;
    {
      std::lock_guard lock(mutex);
      listener = listen_fd;
      for (auto& c : connections) {
        if (c->state != Connection::State::kWithCaller) polled.push_back(c);
      }
    }
    // Drop what has outlived its deadline; the rest sets the poll's.
    const auto now = Clock::now();
    Clock::time_point next = Clock::time_point::max();
    for (auto& c : polled) {
      if (c->deadline <= now) {
        c->dropped = true;
      } else {
        next = std::min(next, c->deadline);
      }
    }
    std::erase_if(polled, [](const std::shared_ptr<Connection>& c) { return c->dropped; });
    std::erase_if(connections, [](const std::shared_ptr<Connection>& c) { return c->dropped; });
    if (listener >= 0 && connections.size() < kMaxConnections) {
      fds.push_back({listener, POLLIN, 0});
    }
    const size_t first_connection = fds.size();
    for (auto& c : polled) fds.push_back({c->fd, POLLIN, 0});
    int timeout = -1;
    if (next != Clock::time_point::max()) {
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
      timeout = static_cast<int>(std::clamp<int64_t>(wait, 0, 60'000));
    }
    if (poll(fds.data(), fds.size(), timeout) < 0) {
      if (errno == EINTR) continue;
      // Nothing to wait with: the callers' waits still end by Close.
      std::lock_guard lock(mutex);
      io_running = false;
      listener_retired.notify_all();
      return;
    }
    if ((fds[0].revents & POLLIN) != 0) {
      uint64_t count;
      [[maybe_unused]] const ssize_t n = read(wake_fd, &count, sizeof count);
    }
    if (first_connection == 2 && fds[1].revents != 0) Accept(listener);
    for (size_t i = first_connection; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      const auto& connection = polled[i - first_connection];
      ReadFrom(*connection);
      if (!connection->dropped && connection->state == Connection::State::kReading) {
        Parse(connection);
      }
    }
    std::erase_if(connections, [](const std::shared_ptr<Connection>& c) { return c->dropped; });
  }
}

void HttpRequestQueue::Native::Accept(int listener) {
  for (;;) {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;  // none left, or one that went before it was taken
    // Responses leave in more than one write (a head, then a body from a
    // file): without this the later write waits for the client to
    // acknowledge the earlier one, which it delays by up to 40 ms or more
    // (Nagle's algorithm). A socket that refuses the option still works,
    // only slower, so a failure is not reported.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    const uint16_t port = getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0
                              ? ntohs(local.sin_port)
                              : 0;
    auto connection = std::make_shared<Connection>(fd, port);
    connection->deadline = Clock::now() + IdleTime();
    connections.push_back(std::move(connection));
    if (connections.size() >= kMaxConnections) return;
  }
}

// Reads what the connection has; one to drop is marked for the loop to
// sweep away.
void HttpRequestQueue::Native::ReadFrom(Connection& connection) {
  char buffer[kReadChunk];
  const ssize_t got = recv(connection.fd, buffer, sizeof buffer, 0);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (got <= 0) {
    connection.dropped = true;
    return;
  }
  if (connection.state == Connection::State::kClosing) return;
  if (!connection.parser->Started() && connection.pending.empty()) {
    // A request begins: all of it must arrive within one stall time.
    connection.deadline = Clock::now() + std::chrono::milliseconds(stall_ms);
  }
  connection.pending.append(buffer, static_cast<size_t>(got));
}

void HttpRequestQueue::Native::Parse(const std::shared_ptr<Connection>& connection) {
  while (!connection->pending.empty()) {
    size_t used = 0;
    const Verdict verdict =
        connection->parser->Feed(connection->pending.data(), connection->pending.size(), &used);
    connection->pending.erase(0, used);
    if (verdict == Verdict::kNeedMore) {
      // The parser keeps back only an unfinished head (bounded by its limit)
      // or an unfinished chunk line.
      if (connection->pending.size() > http_parse::kMaxHeadBytes + kReadChunk) {
        Fail(*connection, Verdict::kHeadTooLarge);
      } else if (connection->parser->WantsContinue() && !connection->continue_sent) {
        connection->continue_sent = true;
        constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
        send(connection->fd, kContinue.data(), kContinue.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      }
      return;
    }
    if (verdict != Verdict::kComplete) {
      Fail(*connection, verdict);
      return;
    }
    auto request = std::make_shared<Request>();
    request->connection = connection;
    request->parsed = connection->parser->Take();
    connection->parser = std::make_unique<http_parse::RequestParser>();
    connection->continue_sent = false;
    {
      std::lock_guard lock(mutex);
      request->id = next_id++;
      connection->state = Connection::State::kWithCaller;
      ready.push_back(std::move(request));
    }
    ready_changed.notify_all();
    return;
  }
  if (!connection->parser->Started()) connection->deadline = Clock::now() + IdleTime();
}

// Answers a request the caller will never see, then closes the connection
// once the client has read the answer (or the stall time is over).
void HttpRequestQueue::Native::Fail(Connection& connection, Verdict verdict) {
  const std::string_view answer = http_parse::ErrorResponse(verdict);
  send(connection.fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  shutdown(connection.fd, SHUT_WR);
  connection.pending.clear();
  connection.deadline = Clock::now() + std::chrono::milliseconds(stall_ms);
  std::lock_guard lock(mutex);
  connection.state = Connection::State::kClosing;
}

// Ends the caller's part of a request: its connection goes back to the I/O
// thread for the next request, or to be closed.
void HttpRequestQueue::Native::Finish(const std::shared_ptr<Request>& request,
                                      bool close_connection) {
  {
    std::lock_guard lock(mutex);
    active.erase(request->id);
    auto& connection = *request->connection;
    const bool keep = !close_connection && request->parsed.keep_alive;
    connection.state = keep ? Connection::State::kReading : Connection::State::kClosing;
    connection.resume = true;
  }
  Wake();
}

uint32_t HttpInitializeServer() { return kHttpOk; }
void HttpTerminateServer() {}

HttpRequestQueue::HttpRequestQueue(std::unique_ptr<Native> native) : native_(std::move(native)) {}

HttpRequestQueue::~HttpRequestQueue() { Close(); }

uint32_t HttpRequestQueue::Create(std::unique_ptr<HttpRequestQueue>* queue) {
  auto native = std::make_unique<Native>();
  native->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (native->wake_fd < 0) return FileError(errno);
  native->stall_ms = g_stall_ms.load();
  Native* raw = native.get();
  try {
    native->io = std::thread([raw] { raw->Run(); });
  } catch (const std::system_error&) {
    return kHttpNotEnoughMemory;
  }
  queue->reset(new HttpRequestQueue(std::move(native)));
  return kHttpOk;
}

void HttpRequestQueue::Close() {
  auto& n = *native_;
  {
    std::lock_guard lock(n.mutex);
    if (n.closed) return;
    n.closed = true;
  }
  n.ready_changed.notify_all();
  n.listener_retired.notify_all();
  n.Wake();
  if (n.io.joinable()) n.io.join();
  std::lock_guard lock(n.mutex);
  // Ends sends under way on other threads; each fd closes with its last owner.
  for (auto& c : n.connections) shutdown(c->fd, SHUT_RDWR);
  n.connections.clear();
  n.ready.clear();
  n.active.clear();
  for (int* fd : {&n.listen_fd, &n.retired_listen_fd}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

uint32_t HttpRequestQueue::AddUrl(const std::string& prefix) {
  const auto port = PortOfPrefix(prefix);
  if (!port) return kHttpInvalidParameter;
  auto& n = *native_;
  {
    std::lock_guard lock(n.mutex);
    if (n.closed) return kHttpInvalidHandle;
    if (n.listen_fd >= 0) return kHttpAlreadyExists;
  }
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return FileError(errno);
  // An agent that replaces itself binds while the old connections linger.
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(*port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, SOMAXCONN) != 0) {
    const int code = errno;
    close(fd);
    return code == EADDRINUSE ? kHttpAlreadyExists : FileError(code);
  }
  {
    std::lock_guard lock(n.mutex);
    if (n.closed || n.listen_fd >= 0) {
      close(fd);
      return n.closed ? kHttpInvalidHandle : kHttpAlreadyExists;
    }
    n.listen_fd = fd;
    n.prefix = prefix;
  }
  n.Wake();
  return kHttpOk;
}

uint32_t HttpRequestQueue::RemoveUrl(const std::string& prefix) {
  auto& n = *native_;
  std::unique_lock lock(n.mutex);
  if (n.closed) return kHttpInvalidHandle;
  if (n.listen_fd < 0 || n.prefix != prefix) return kHttpNotFound;
  // The I/O thread may be polling the socket: it closes it itself, and the
  // port is free again when this returns.
  n.retired_listen_fd = n.listen_fd;
  n.listen_fd = -1;
  n.prefix.clear();
  n.Wake();
  n.listener_retired.wait(lock, [&] { return n.retired_listen_fd < 0 || !n.io_running || n.closed; });
  return kHttpOk;
}

uint32_t HttpRequestQueue::ReceiveRequest(uint64_t request_id, void* buffer, uint32_t size,
                                          uint32_t* bytes_returned) {
  if (bytes_returned != nullptr) *bytes_returned = 0;
  auto& n = *native_;
  std::unique_lock lock(n.mutex);
  if (n.closed) return kHttpInvalidHandle;
  std::shared_ptr<Request> request;
  if (request_id != 0) {
    const auto found = n.active.find(request_id);
    if (found == n.active.end() || !found->second->refetch) return kHttpConnectionInvalid;
    request = found->second;
    char probe;
    const ssize_t peeked =
        recv(request->connection->fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (peeked == 0 || (peeked < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
      lock.unlock();
      n.Finish(request, true);
      return kHttpConnectionInvalid;
    }
  } else {
    n.ready_changed.wait(lock, [&] { return n.closed || !n.ready.empty(); });
    if (n.closed) return kHttpOperationAborted;
    request = std::move(n.ready.front());
    n.ready.pop_front();
    n.active.emplace(request->id, request);
  }
  const auto& parsed = request->parsed;
  HttpRequestFacts facts;
  facts.verb = parsed.verb;
  facts.flags = parsed.body.empty() ? 0 : kHttpRequestFlagMoreEntityBodyExists;
  if (parsed.has_query) facts.query = parsed.query;
  facts.host = parsed.host;
  facts.origin = parsed.origin;
  facts.local_port = request->connection->local_port;
  const uint32_t result = LayOutRequestRecord(request->id, facts, buffer, size, bytes_returned);
  request->refetch = result != kHttpOk;
  if (result == kHttpInvalidParameter && request_id == 0) {
    // Not handed out: it stays first in line.
    n.active.erase(request->id);
    n.ready.push_front(request);
  }
  return result;
}

uint32_t HttpRequestQueue::ReceiveEntityBody(uint64_t request_id, void* buffer, uint32_t size,
                                             uint32_t* bytes_returned) {
  if (bytes_returned != nullptr) *bytes_returned = 0;
  if (buffer == nullptr && size != 0) return kHttpInvalidParameter;
  auto& n = *native_;
  std::lock_guard lock(n.mutex);
  if (n.closed) return kHttpInvalidHandle;
  const auto found = n.active.find(request_id);
  if (found == n.active.end() || found->second->refetch) return kHttpConnectionInvalid;
  auto& request = *found->second;
  const std::string& body = request.parsed.body;
  const size_t count = std::min<size_t>(size, body.size() - request.body_taken);
  if (count == 0) return body.size() == request.body_taken ? kHttpHandleEof : kHttpInvalidParameter;
  std::memcpy(buffer, body.data() + request.body_taken, count);
  request.body_taken += count;
  if (bytes_returned != nullptr) *bytes_returned = static_cast<uint32_t>(count);
  return kHttpOk;
}

namespace {

// The head of `response` for `request`, or kHttpInvalidParameter.
uint32_t BuildHead(const Request& request, const HttpResponse& response, bool more_data,
                   std::string* head, bool* close_after) {
  if (response.status_code < 100 || response.status_code > 999 ||
      !IsFieldText(response.reason) || !IsFieldText(response.content_type) ||
      (response.body == nullptr && response.body_size != 0)) {
    return kHttpInvalidParameter;
  }
  if (!response.content_length.empty() && (!more_data || !IsDigits(response.content_length))) {
    return kHttpInvalidParameter;
  }
  for (const auto& [name, value] : response.unknown_headers) {
    if (!IsToken(name) || !IsFieldText(value)) return kHttpInvalidParameter;
  }
  *close_after = !request.parsed.keep_alive || (more_data && response.content_length.empty());
  head->clear();
  head->append("HTTP/1.1 ").append(std::to_string(response.status_code)).append(" ");
  head->append(response.reason).append("\r\n");
  if (!response.content_type.empty()) {
    head->append("Content-Type: ").append(response.content_type).append("\r\n");
  }
  for (const auto& [name, value] : response.unknown_headers) {
    head->append(name).append(": ").append(value).append("\r\n");
  }
  if (!more_data) {
    head->append("Content-Length: ").append(std::to_string(response.body_size)).append("\r\n");
  } else if (!response.content_length.empty()) {
    head->append("Content-Length: ").append(response.content_length).append("\r\n");
  }
  if (*close_after) {
    head->append("Connection: close\r\n");
  } else if (request.parsed.http10) {
    head->append("Connection: keep-alive\r\n");
  }
  head->append("\r\n");
  return kHttpOk;
}

}  // namespace

uint32_t HttpRequestQueue::SendResponse(uint64_t request_id, const HttpResponse& response,
                                        uint32_t flags) {
  const bool more_data = (flags & kHttpSendResponseFlagMoreData) != 0;
  if ((flags & ~kHttpSendResponseFlagMoreData) != 0) return kHttpInvalidParameter;
  auto& n = *native_;
  std::shared_ptr<Request> request;
  {
    std::lock_guard lock(n.mutex);
    if (n.closed) return kHttpInvalidHandle;
    const auto found = n.active.find(request_id);
    if (found == n.active.end() || found->second->refetch) return kHttpConnectionInvalid;
    request = found->second;
    if (request->head_sent || request->busy) return kHttpInvalidParameter;
  }
  std::string head;
  bool close_after = false;
  if (const uint32_t invalid = BuildHead(*request, response, more_data, &head, &close_after)) {
    return invalid;
  }
  if (more_data && !response.content_length.empty()) {
    uint64_t length = 0;
    std::from_chars(response.content_length.data(),
                    response.content_length.data() + response.content_length.size(), length);
    request->declared_length = length;
  }
  {
    std::lock_guard lock(n.mutex);
    request->busy = true;
  }
  // The head and the body from memory in one write: sendmsg only reads
  // the pieces.
  iovec parts[] = {{head.data(), head.size()},
                   {const_cast<void*>(response.body), response.body_size}};
  if (!SendAll(request->connection->fd, parts, std::size(parts), n.stall_ms)) {
    n.Finish(request, true);
    return kHttpConnectionInvalid;
  }
  if (!more_data) {
    n.Finish(request, close_after);
    return kHttpOk;
  }
  std::lock_guard lock(n.mutex);
  request->busy = false;
  request->head_sent = true;
  request->body_sent = response.body_size;
  return kHttpOk;
}

struct HttpResponseFile::Native {
  int fd = -1;
};

uint32_t HttpRequestQueue::SendResponseBodyFromFile(uint64_t request_id, HttpResponseFile& file) {
  auto& n = *native_;
  std::shared_ptr<Request> request;
  {
    std::lock_guard lock(n.mutex);
    if (n.closed) return kHttpInvalidHandle;
    const auto found = n.active.find(request_id);
    if (found == n.active.end() || found->second->refetch) return kHttpConnectionInvalid;
    request = found->second;
    if (!request->head_sent || request->busy) return kHttpInvalidParameter;
    request->busy = true;
  }
  char buffer[kReadChunk];
  uint64_t offset = 0;
  for (;;) {
    const ssize_t got = pread(file.native().fd, buffer, sizeof buffer, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const uint32_t code = FileError(errno);
      n.Finish(request, true);
      return code;
    }
    if (got == 0) break;
    if (!SendAll(request->connection->fd, buffer, static_cast<size_t>(got), n.stall_ms)) {
      n.Finish(request, true);
      return kHttpConnectionInvalid;
    }
    offset += static_cast<uint64_t>(got);
  }
  // A body that does not match its announced length leaves the connection
  // unusable for another request.
  const uint64_t total = request->body_sent + offset;
  n.Finish(request, !request->declared_length || *request->declared_length != total);
  return kHttpOk;
}

HttpResponseFile::HttpResponseFile(std::unique_ptr<Native> native, std::string path)
    : native_(std::move(native)), path_(std::move(path)) {}

HttpResponseFile::~HttpResponseFile() {
  close(native_->fd);
  unlink(path_.c_str());
}

uint32_t HttpResponseFile::Create(const std::string& directory, const std::string& prefix,
                                  std::unique_ptr<HttpResponseFile>* file) {
  const std::string stem = prefix.substr(0, 3);
  if (directory.empty() || stem.find('/') != std::string::npos ||
      stem.find('\0') != std::string::npos || directory.find('\0') != std::string::npos) {
    return kHttpInvalidParameter;
  }
  std::string path = directory;
  if (path.back() != '/') path += '/';
  path += stem + "XXXXXX.tmp";
  auto native = std::make_unique<Native>();
  native->fd = mkostemps(path.data(), 4, O_CLOEXEC);
  if (native->fd < 0) return FileError(errno);
  file->reset(new HttpResponseFile(std::move(native), std::move(path)));
  return kHttpOk;
}

uint32_t HttpResponseFile::Write(const void* data, uint32_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = write(native_->fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return FileError(written < 0 ? errno : ENOSPC);
    bytes += written;
    size -= static_cast<uint32_t>(written);
  }
  return kHttpOk;
}

namespace testing {
void SetHttpStallTimeout(uint32_t milliseconds) {
  g_stall_ms = milliseconds == 0 ? kDefaultStallMs : milliseconds;
}
}  // namespace testing

}  // namespace platform
