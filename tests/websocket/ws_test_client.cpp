#include "ws_test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <random>
#include <thread>

#include "support/temp_root.h"

namespace ovt_test {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

// 0 connected; otherwise the errno of the refusal.
int TryConnect(int port, int* fd_out) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  const sockaddr_in address = Loopback(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int code = errno;
    close(fd);
    return code;
  }
  *fd_out = fd;
  return 0;
}

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

bool Bindable(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

}  // namespace

TcpClient::TcpClient(int port, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    const int code = TryConnect(port, &fd_);
    if (code == 0 || code != ECONNREFUSED || Clock::now() >= deadline) return;
    std::this_thread::sleep_for(20ms);
  }
}

TcpClient::~TcpClient() { Close(); }

bool TcpClient::Send(std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string TcpClient::Read(size_t count, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  std::string data;
  while (data.size() < count) {
    pollfd p{fd_, POLLIN, 0};
    const int ready = poll(&p, 1, RemainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char chunk[65536];
    const ssize_t n = recv(fd_, chunk, std::min(sizeof chunk, count - data.size()), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.append(chunk, static_cast<size_t>(n));
  }
  return data;
}

std::string TcpClient::ReadUntilClosed(bool* closed, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  std::string data;
  if (closed != nullptr) *closed = false;
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    const int ready = poll(&p, 1, RemainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return data;
    char chunk[65536];
    const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // A reset counts as a close too: the agent closed with input unread.
      if (closed != nullptr) *closed = true;
      return data;
    }
    data.append(chunk, static_cast<size_t>(n));
  }
}

void TcpClient::Reset() {
  if (fd_ < 0) return;
  const linger abortive{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  Close();
}

void TcpClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool ConnectionRefused(int port) {
  int fd = -1;
  const int code = TryConnect(port, &fd);
  if (code == 0) close(fd);
  return code == ECONNREFUSED;
}

int FreePortPair() {
  std::random_device seed;
  std::mt19937 generator(seed());
  // Below the system's range for outgoing connections (32768 and up), so no
  // client socket of another test takes the port meanwhile.
  std::uniform_int_distribution<int> pick(20000, 32000);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const int port = pick(generator);
    if (Bindable(port) && Bindable(port + 1)) return port;
  }
  return 0;
}

std::string Handshake(std::string_view resource, std::string_view extra_lines) {
  std::string request = "GET ";
  request += resource;
  request +=
      " HTTP/1.1\r\n"
      "Host: 127.0.0.1\r\n"
      "Upgrade: websocket\r\n"
      "Connection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
      "Origin: http://127.0.0.1\r\n"
      "Sec-WebSocket-Version: 13\r\n";
  request += extra_lines;
  request += "\r\n";
  return request;
}

std::string HandshakeAnswer() {
  return "HTTP/1.1 101 Switching Protocols\r\n"
         "Upgrade: websocket\r\n"
         "Connection: Upgrade\r\n"
         "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
}

namespace {

std::string FrameHeader(uint8_t first, size_t length, uint8_t mask_bit) {
  std::string header(1, static_cast<char>(first));
  if (length <= 125) {
    header += static_cast<char>(mask_bit | length);
  } else {
    header += static_cast<char>(mask_bit | 126);
    header += static_cast<char>((length >> 8) & 0xFF);
    header += static_cast<char>(length & 0xFF);
  }
  return header;
}

}  // namespace

std::string ClientFrame(uint8_t opcode, std::string_view payload, bool masked) {
  static constexpr uint8_t kKey[4] = {0x37, 0xFA, 0x21, 0x3D};
  std::string frame = FrameHeader(static_cast<uint8_t>(0x80 | opcode), payload.size(),
                                  masked ? 0x80 : 0x00);
  if (!masked) return frame + std::string(payload);
  frame.append(reinterpret_cast<const char*>(kKey), 4);
  for (size_t i = 0; i < payload.size(); ++i) {
    frame += static_cast<char>(static_cast<uint8_t>(payload[i]) ^ kKey[i % 4]);
  }
  return frame;
}

std::string TextFrame(std::string_view payload) { return ClientFrame(0x1, payload); }

std::string ServerFrame(uint8_t opcode, std::string_view payload) {
  return FrameHeader(static_cast<uint8_t>(0x80 | opcode), payload.size(), 0) +
         std::string(payload);
}

}  // namespace ovt_test
