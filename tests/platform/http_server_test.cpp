// The HTTP server layer through real loopback sockets: a raw client on
// 127.0.0.1 on one side, the receive / send calls on the other, as the
// AJAX request loop makes them. The request parser is also fed directly,
// at every split.
#include "platform/http_server.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "http_parse_posix.h"

namespace platform {
namespace {

// Generous bound on any wait for the other side; never an assertion on time.
constexpr int kPatienceMs = 30'000;

std::string Narrow(const char16_t* text, uint32_t units) {
  std::string out;
  for (uint32_t i = 0; i < units; ++i) out.push_back(static_cast<char>(text[i]));
  return out;
}

// A raw HTTP client on one connection.
class Client {
 public:
  // `receive_buffer` bytes, when not 0, bound the client's receive window,
  // so that a large response fills the server's send buffer.
  explicit Client(int port, int receive_buffer = 0) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (receive_buffer > 0) {
      setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    const int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  ~Client() { Close(); }
  bool connected() const { return connected_; }
  sockaddr_in LocalAddress() const {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    return address;
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  bool Send(const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // Reads until `complete` says the bytes so far are enough, or the peer
  // closes (nullopt when it closed before anything came).
  std::optional<std::string> ReadUntil(const std::function<bool(const std::string&)>& complete) {
    while (!complete(buffer_)) {
      pollfd wait{fd_, POLLIN, 0};
      if (poll(&wait, 1, kPatienceMs) <= 0) return std::nullopt;
      char chunk[4096];
      const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      buffer_.append(chunk, static_cast<size_t>(n));
    }
    if (buffer_.empty()) return std::nullopt;
    return buffer_;
  }

  // One response: status line, head and a Content-Length body. Empty when
  // the connection closed first.
  std::string ReadResponse() {
    auto ends = [](const std::string& b) -> size_t {
      const size_t head_end = b.find("\r\n\r\n");
      if (head_end == std::string::npos) return std::string::npos;
      size_t length = 0;
      const size_t field = b.find("Content-Length: ");
      if (field != std::string::npos && field < head_end) {
        length = std::strtoul(b.c_str() + field + 16, nullptr, 10);
      }
      return head_end + 4 + length <= b.size() ? head_end + 4 + length : std::string::npos;
    };
    ReadUntil([&](const std::string& b) { return ends(b) != std::string::npos; });
    const size_t end = ends(buffer_);
    if (end == std::string::npos) return {};
    std::string response = buffer_.substr(0, end);
    buffer_.erase(0, end);
    return response;
  }

  // True when the server closed the connection (after any bytes it sent).
  bool WaitClosed() {
    for (;;) {
      pollfd wait{fd_, POLLIN, 0};
      if (poll(&wait, 1, kPatienceMs) <= 0) return false;
      char chunk[4096];
      const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
      if (n < 0) return false;
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }
  const std::string& received() const { return buffer_; }

 private:
  int fd_ = -1;
  bool connected_ = false;
  std::string buffer_;
};

std::string Get(const std::string& target, const std::string& extra = "") {
  return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}

std::string Post(const std::string& body, const std::string& extra = "") {
  return "POST /x HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n" + extra + "\r\n" + body;
}

const HttpRequestRecord& Record(const std::vector<uint64_t>& storage) {
  return *reinterpret_cast<const HttpRequestRecord*>(storage.data());
}

std::string StatusOf(const std::string& response) { return response.substr(0, 12); }

// The server's end of `client`'s connection to `port`: the layer runs in
// this process, so it is the descriptor here whose peer is the client.
// -1 when there is none.
int ServerSideOf(const Client& client, int port) {
  const sockaddr_in client_address = client.LocalAddress();
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::atoi(entry.path().filename().c_str());
    sockaddr_in local{}, peer{};
    socklen_t local_size = sizeof local, peer_size = sizeof peer;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_size) != 0 ||
        getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_size) != 0 ||
        local.sin_family != AF_INET || peer.sin_family != AF_INET) {
      continue;
    }
    if (ntohs(local.sin_port) == port && peer.sin_port == client_address.sin_port &&
        peer.sin_addr.s_addr == client_address.sin_addr.s_addr) {
      return fd;
    }
  }
  return -1;
}

// A queue on a free loopback port, closed at the end of the test.
class HttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(HttpInitializeServer(), kHttpOk);
    ASSERT_EQ(HttpRequestQueue::Create(&queue_), kHttpOk);
    for (int attempt = 0; attempt < 20 && port_ == 0; ++attempt) {
      const int candidate = FreePort();
      if (queue_->AddUrl(Prefix(candidate)) == kHttpOk) port_ = candidate;
    }
    ASSERT_NE(port_, 0);
  }
  void TearDown() override {
    StopResponder();
    if (queue_) queue_->Close();
    queue_.reset();
    HttpTerminateServer();
    testing::SetHttpStallTimeout(0);
  }

  static int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
  }
  static std::string Prefix(int port) {
    return "http://127.0.0.1:" + std::to_string(port) + "/";
  }

  struct Seen {
    HttpVerb verb;
    std::string query;  // "-" when none
    std::string body;
    int pieces = 0;
  };

  // The caller's side as the request loop plays it: the record in a
  // 2520-byte buffer grown on kHttpMoreData, bodies in `piece`-byte pieces,
  // every request answered with what it carried.
  void StartResponder(uint32_t piece = 4096) {
    responder_ = std::thread([this, piece] {
      std::vector<uint64_t> storage(2520 / 8);
      uint64_t id = 0;
      for (;;) {
        uint32_t bytes = 0;
        const uint32_t result =
            queue_->ReceiveRequest(id, storage.data(), storage.size() * 8, &bytes);
        auto* record = reinterpret_cast<HttpRequestRecord*>(storage.data());
        if (result == kHttpMoreData) {
          id = record->request_id;
          storage.assign((bytes + 7) / 8, 0);
          continue;
        }
        if (result == kHttpConnectionInvalid && id != 0) {
          id = 0;
          continue;
        }
        if (result != kHttpOk) return;
        id = 0;
        Seen seen{record->verb,
                  record->query_string ? Narrow(record->query_string, record->query_string_units)
                                       : "-",
                  "", 0};
        if (record->flags & kHttpRequestFlagMoreEntityBodyExists) {
          std::vector<char> buffer(piece);
          uint32_t got = 0;
          while (queue_->ReceiveEntityBody(record->request_id, buffer.data(), piece, &got) ==
                 kHttpOk) {
            seen.body.append(buffer.data(), got);
            ++seen.pieces;
          }
        }
        HttpResponse response;
        response.reason = "OK";
        response.content_type = "text/html";
        response.unknown_headers = {{"Access-Control-Allow-Origin", "*"}};
        const std::string body = seen.query + "|" + seen.body;
        response.body = body.data();
        response.body_size = static_cast<uint32_t>(body.size());
        {
          std::lock_guard lock(seen_mutex_);
          seen_.push_back(seen);
        }
        if (queue_->SendResponse(record->request_id, response, 0) != kHttpOk) continue;
      }
    });
  }
  void StopResponder() {
    if (!responder_.joinable()) return;
    queue_->Close();
    responder_.join();
  }
  std::vector<Seen> SeenSoFar() {
    std::lock_guard lock(seen_mutex_);
    return seen_;
  }

  // Receives the next request directly into a buffer of `size` bytes.
  uint32_t Receive(std::vector<uint64_t>* storage, uint64_t id, uint32_t* bytes) {
    return queue_->ReceiveRequest(id, storage->data(),
                                  static_cast<uint32_t>(storage->size() * 8), bytes);
  }
  uint32_t Answer(uint64_t id, const std::string& body) {
    HttpResponse response;
    response.reason = "OK";
    response.body = body.data();
    response.body_size = static_cast<uint32_t>(body.size());
    return queue_->SendResponse(id, response, 0);
  }

  std::unique_ptr<HttpRequestQueue> queue_;
  int port_ = 0;
  std::thread responder_;
  std::mutex seen_mutex_;
  std::vector<Seen> seen_;
};

TEST_F(HttpServerTest, KeepAliveServesSeveralRequestsOnOneConnection) {
  StartResponder();
  Client client(port_);
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.Send(Get("/?a=1")));
  const std::string first = client.ReadResponse();
  EXPECT_EQ(StatusOf(first), "HTTP/1.1 200");
  EXPECT_NE(first.find("Content-Type: text/html\r\n"), std::string::npos);
  EXPECT_NE(first.find("Access-Control-Allow-Origin: *\r\n"), std::string::npos);
  EXPECT_NE(first.find("\r\n\r\n?a=1|"), std::string::npos);
  // The second request follows on the same connection; a third one sent
  // together with it (pipelined) waits for its turn.
  ASSERT_TRUE(client.Send(Post("hello") + Get("/path")));
  EXPECT_NE(client.ReadResponse().find("\r\n\r\n-|hello"), std::string::npos);
  EXPECT_NE(client.ReadResponse().find("\r\n\r\n-|"), std::string::npos);
  // HTTP/1.0 without keep-alive: answered, then closed.
  ASSERT_TRUE(client.Send("GET /?b HTTP/1.0\r\n\r\n"));
  const std::string last = client.ReadResponse();
  EXPECT_NE(last.find("Connection: close\r\n"), std::string::npos);
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_EQ(SeenSoFar().size(), 4u);
}

TEST_F(HttpServerTest, AcceptedConnectionsSendSmallWritesAtOnce) {
  // A head sent before its body from a file must not hold the body back
  // until the client acknowledges the head (Nagle's algorithm meeting the
  // client's delayed acknowledgement: 40 ms and more per request).
  StartResponder();
  Client client(port_);
  ASSERT_TRUE(client.Send(Get("/?nodelay")));
  ASSERT_NE(client.ReadResponse().find("?nodelay|"), std::string::npos);
  // Answered and kept: the server's end is open while the client's is.
  const int server_side = ServerSideOf(client, port_);
  ASSERT_GE(server_side, 0);
  int nodelay = 0;
  socklen_t size = sizeof nodelay;
  ASSERT_EQ(getsockopt(server_side, IPPROTO_TCP, TCP_NODELAY, &nodelay, &size), 0);
  EXPECT_NE(nodelay, 0);
}

TEST_F(HttpServerTest, LargeBodyFromMemoryArrivesWholeBehindItsHead) {
  // Far more than a small receive window and the send buffer hold: the
  // head and the body leave in many partial writes, which must neither
  // repeat nor skip a byte.
  std::string body(4 * 1024 * 1024 + 13, '\0');
  for (size_t i = 0; i < body.size(); ++i) {
    body[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
  }
  Client client(port_, 4096);
  ASSERT_TRUE(client.Send(Get("/?large")));
  std::vector<uint64_t> storage(2520 / 8);
  uint32_t bytes = 0;
  ASSERT_EQ(Receive(&storage, 0, &bytes), kHttpOk);
  const uint64_t id = Record(storage).request_id;
  std::atomic<uint32_t> sent{kHttpGenFailure};
  std::thread sender([&] {
    HttpResponse response;
    response.reason = "OK";
    response.content_type = "application/octet-stream";
    response.body = body.data();
    response.body_size = static_cast<uint32_t>(body.size());
    sent = queue_->SendResponse(id, response, 0);
  });
  const std::string response = client.ReadResponse();
  sender.join();
  EXPECT_EQ(sent.load(), kHttpOk);
  const size_t head_end = response.find("\r\n\r\n");
  ASSERT_NE(head_end, std::string::npos);
  const std::string head = response.substr(0, head_end + 4);
  EXPECT_EQ(StatusOf(head), "HTTP/1.1 200");
  EXPECT_NE(head.find("Content-Type: application/octet-stream\r\n"), std::string::npos);
  EXPECT_NE(head.find("Content-Length: " + std::to_string(body.size()) + "\r\n"),
            std::string::npos);
  ASSERT_EQ(response.size() - head.size(), body.size());
  EXPECT_TRUE(response.compare(head.size(), body.size(), body) == 0);
  // The connection stays usable for the next request.
  ASSERT_TRUE(client.Send(Get("/?after")));
  ASSERT_EQ(Receive(&storage, 0, &bytes), kHttpOk);
  ASSERT_EQ(Answer(Record(storage).request_id, "after"), kHttpOk);
  EXPECT_NE(client.ReadResponse().find("\r\n\r\nafter"), std::string::npos);
}

TEST_F(HttpServerTest, ConnectionsAreServedOneRequestAtATime) {
  Client a(port_), b(port_);
  ASSERT_TRUE(a.Send(Get("/?from=a")));
  ASSERT_TRUE(b.Send(Get("/?from=b")));
  std::vector<uint64_t> storage(2520 / 8);
  uint32_t bytes = 0;
  ASSERT_EQ(Receive(&storage, 0, &bytes), kHttpOk);
  const uint64_t first = Record(storage).request_id;
  const std::string first_query =
      Narrow(Record(storage).query_string, Record(storage).query_string_units);
  // The other connection's request is handed out while the first is still
  // unanswered, and each answer goes to its own client.
  ASSERT_EQ(Receive(&storage, 0, &bytes), kHttpOk);
  const uint64_t second = Record(storage).request_id;
  EXPECT_NE(first, second);
  EXPECT_NE(first_query, Narrow(Record(storage).query_string, Record(storage).query_string_units));
  ASSERT_EQ(Answer(second, "second"), kHttpOk);
  ASSERT_EQ(Answer(first, "first"), kHttpOk);
  Client& first_client = first_query == "?from=a" ? a : b;
  Client& second_client = first_query == "?from=a" ? b : a;
  EXPECT_NE(first_client.ReadResponse().find("\r\n\r\nfirst"), std::string::npos);
  EXPECT_NE(second_client.ReadResponse().find("\r\n\r\nsecond"), std::string::npos);
  // A finished request's id is no longer valid.
  EXPECT_EQ(Answer(first, "again"), kHttpConnectionInvalid);
}

TEST_F(HttpServerTest, ChunkedBodyArrivesInPiecesUntilEndOfFile) {
  Client client(port_);
  ASSERT_TRUE(client.Send(
      "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
      "5\r\nhello\r\n6;ext=1\r\n world\r\n0\r\nTrailer: x\r\n\r\n"));
  std::vector<uint64_t> storage(2520 / 8);
  uint32_t bytes = 0;
  ASSERT_EQ(Receive(&storage, 0, &bytes), kHttpOk);
  const HttpRequestRecord record = Record(storage);
  EXPECT_EQ(record.verb, HttpVerb::kPost);
  EXPECT_EQ(record.query_string, nullptr);
  ASSERT_EQ(record.flags & kHttpRequestFlagMoreEntityBodyExists,
            kHttpRequestFlagMoreEntityBodyExists);
  std::string body;
  std::vector<uint32_t> pieces;
  char buffer[4];
  uint32_t got = 0;
  uint32_t result;
  while ((result = queue_->ReceiveEntityBody(record.request_id, buffer, sizeof buffer, &got)) ==
         kHttpOk) {
    body.append(buffer, got);
    pieces.push_back(got);
  }
  EXPECT_EQ(result, kHttpHandleEof);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(body, "hello world");
  EXPECT_EQ(pieces, (std::vector<uint32_t>{4, 4, 3}));
  EXPECT_EQ(queue_->ReceiveEntityBody(record.request_id, buffer, sizeof buffer, &got),
            kHttpHandleEof);
  ASSERT_EQ(Answer(record.request_id, "ok"), kHttpOk);
  EXPECT_EQ(StatusOf(client.ReadResponse()), "HTTP/1.1 200");
}

TEST_F(HttpServerTest, BadAndOversizedRequestsAreAnsweredByTheLayer) {
  StartResponder();
  const struct {
    const char* name;
    std::string request;
    const char* status;
  } cases[] = {
      {"malformed request line", "GET/ HTTP/1.1\r\nHost: h\r\n\r\n", "HTTP/1.1 400"},
      {"bad header line", "GET / HTTP/1.1\r\nHost: h\r\nNo colon here\r\n\r\n", "HTTP/1.1 400"},
      {"no Host in HTTP/1.1", "GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 400"},
      {"target not a path", "GET http://x/ HTTP/1.1\r\nHost: h\r\n\r\n", "HTTP/1.1 400"},
      {"unknown version", "GET / HTTP/1.2\r\nHost: h\r\n\r\n", "HTTP/1.1 400"},
      {"bad content length", "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 1x\r\n\r\n",
       "HTTP/1.1 400"},
      {"bad chunk size", "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
       "HTTP/1.1 400"},
      {"head over 16 KiB",
       "GET / HTTP/1.1\r\nHost: h\r\nX-Pad: " + std::string(17 * 1024, 'a') + "\r\n\r\n",
       "HTTP/1.1 431"},
      {"declared body over 64 KiB",
       "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 65537\r\n\r\n", "HTTP/1.1 413"},
      {"chunked body over 64 KiB",
       "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n10000\r\n" +
           std::string(0x10000, 'b') + "\r\n1\r\nc\r\n0\r\n\r\n",
       "HTTP/1.1 413"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Client client(port_);
    ASSERT_TRUE(client.connected());
    client.Send(c.request);  // the server may close before it has all
    EXPECT_EQ(StatusOf(client.ReadResponse()), c.status);
    EXPECT_TRUE(client.WaitClosed());
  }
  // A body of exactly 64 KiB is still served, and only it reaches the caller.
  Client client(port_);
  ASSERT_TRUE(client.Send(Post(std::string(64 * 1024, 'z'))));
  EXPECT_EQ(StatusOf(client.ReadResponse()), "HTTP/1.1 200");
  const auto seen = SeenSoFar();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].body.size(), 64u * 1024);
}

TEST_F(HttpServerTest, RequestSentByteByByteIsParsedWhole) {
  StartResponder(/*piece=*/3);
  Client client(port_);
  const std::string request = Post("a=1&b=2", "X-Any: v\r\n");
  for (char c : request) ASSERT_TRUE(client.Send(std::string(1, c)));
  EXPECT_NE(client.ReadResponse().find("\r\n\r\n-|a=1&b=2"), std::string::npos);
  const auto seen = SeenSoFar();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].pieces, 3);
}

TEST_F(HttpServerTest, StalledClientIsDroppedWhileOthersAreServed) {
  // The queue reads the time-out when it is created.
  queue_.reset();
  testing::SetHttpStallTimeout(200);
  ASSERT_EQ(HttpRequestQueue::Create(&queue_), kHttpOk);
  ASSERT_EQ(queue_->AddUrl(Prefix(port_)), kHttpOk);
  StartResponder();
  Client stalled(port_);
  ASSERT_TRUE(stalled.Send("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 10\r\n\r\nabc"));
  Client other(port_);
  ASSERT_TRUE(other.Send(Get("/?ok")));
  EXPECT_NE(other.ReadResponse().find("?ok|"), std::string::npos);
  EXPECT_TRUE(stalled.WaitClosed());
  EXPECT_TRUE(stalled.received().empty());
  const auto seen = SeenSoFar();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].query, "?ok");
}

TEST_F(HttpServerTest, RecordLargerThanTheBufferIsFetchedAgainById) {
  const std::string query = "?" + std::string(3000, 'q');
  Client client(port_);
  ASSERT_TRUE(client.Send(Get("/" + query)));
  std::vector<uint64_t> storage(2520 / 8);
  uint32_t bytes = 0;
  ASSERT_EQ(Receive(&storage, 0, &bytes), kHttpMoreData);
  HttpRequestFacts facts;
  facts.query = std::u16string(query.begin(), query.end());
  facts.host = "127.0.0.1";
  EXPECT_EQ(bytes, RequestRecordSize(facts));
  const uint64_t id = Record(storage).request_id;
  ASSERT_NE(id, 0u);
  // Still too small: the same answer again.
  ASSERT_EQ(Receive(&storage, id, &bytes), kHttpMoreData);
  storage.assign((bytes + 7) / 8, 0);
  ASSERT_EQ(Receive(&storage, id, &bytes), kHttpOk);
  EXPECT_EQ(Record(storage).request_id, id);
  EXPECT_EQ(Narrow(Record(storage).query_string, Record(storage).query_string_units), query);
  EXPECT_EQ(Record(storage).query_string[query.size()], u'\0');
  EXPECT_STREQ(Record(storage).host, "127.0.0.1");
  EXPECT_EQ(Record(storage).origin, nullptr);
  EXPECT_EQ(Record(storage).local_port, port_);
  ASSERT_EQ(Answer(id, "long"), kHttpOk);
  EXPECT_NE(client.ReadResponse().find("\r\n\r\nlong"), std::string::npos);
}

TEST_F(HttpServerTest, RequestWhoseConnectionWentIsNotFetchedAgain) {
  {
    Client gone(port_);
    ASSERT_TRUE(gone.Send(Get("/?" + std::string(3000, 'g'))));
    std::vector<uint64_t> storage(2520 / 8);
    uint32_t bytes = 0;
    ASSERT_EQ(Receive(&storage, 0, &bytes), kHttpMoreData);
    const uint64_t id = Record(storage).request_id;
    gone.Close();
    storage.assign((bytes + 7) / 8, 0);
    EXPECT_EQ(Receive(&storage, id, &bytes), kHttpConnectionInvalid);
    EXPECT_EQ(Receive(&storage, id, &bytes), kHttpConnectionInvalid);
  }
  StartResponder();
  Client next(port_);
  ASSERT_TRUE(next.Send(Get("/?next")));
  EXPECT_NE(next.ReadResponse().find("?next|"), std::string::npos);
}

TEST_F(HttpServerTest, HeadWithMoreDataThenBodyFromFile) {
  const auto directory = std::filesystem::temp_directory_path() /
                         ("ovt_http_" + std::to_string(getpid()));
  std::filesystem::create_directories(directory);
  Client client(port_);
  ASSERT_TRUE(client.Send(Post("msg")));
  std::vector<uint64_t> storage(2520 / 8);
  uint32_t bytes = 0;
  ASSERT_EQ(Receive(&storage, 0, &bytes), kHttpOk);
  const uint64_t id = Record(storage).request_id;
  std::string path;
  {
    std::unique_ptr<HttpResponseFile> file;
    ASSERT_EQ(HttpResponseFile::Create(directory.string(), "New", &file), kHttpOk);
    path = file->path();
    EXPECT_EQ(std::filesystem::path(path).filename().string().rfind("New", 0), 0u);
    const std::string reply(20000, 'r');  // more than one read of the file
    ASSERT_EQ(file->Write(reply.data(), static_cast<uint32_t>(reply.size())), kHttpOk);
    HttpResponse head;
    head.reason = "OK";
    head.content_length = std::to_string(reply.size());
    head.unknown_headers = {{"Access-Control-Allow-Origin", "*"}};
    // A second response head or a body before the head is refused.
    EXPECT_EQ(queue_->SendResponseBodyFromFile(id, *file), kHttpInvalidParameter);
    ASSERT_EQ(queue_->SendResponse(id, head, kHttpSendResponseFlagMoreData), kHttpOk);
    EXPECT_EQ(queue_->SendResponse(id, head, kHttpSendResponseFlagMoreData),
              kHttpInvalidParameter);
    ASSERT_EQ(queue_->SendResponseBodyFromFile(id, *file), kHttpOk);
    const std::string response = client.ReadResponse();
    EXPECT_NE(response.find("Content-Length: 20000\r\n"), std::string::npos);
    EXPECT_EQ(response.find("Content-Type"), std::string::npos);
    EXPECT_EQ(response.substr(response.size() - reply.size()), reply);
  }
  EXPECT_FALSE(std::filesystem::exists(path));
  // The connection stays usable for the next request.
  ASSERT_TRUE(client.Send(Get("/?again")));
  ASSERT_EQ(Receive(&storage, 0, &bytes), kHttpOk);
  ASSERT_EQ(Answer(Record(storage).request_id, "again"), kHttpOk);
  EXPECT_NE(client.ReadResponse().find("again"), std::string::npos);
  std::filesystem::remove_all(directory);
}

TEST_F(HttpServerTest, ResponseTextsThatWouldSplitTheHeadAreRefused) {
  Client client(port_);
  ASSERT_TRUE(client.Send(Get("/")));
  std::vector<uint64_t> storage(2520 / 8);
  uint32_t bytes = 0;
  ASSERT_EQ(Receive(&storage, 0, &bytes), kHttpOk);
  const uint64_t id = Record(storage).request_id;
  const struct {
    const char* name;
    HttpResponse response;
    uint32_t flags;
  } cases[] = {
      {"reason with CR LF", {200, "OK\r\nX: y", "", "", {}, nullptr, 0}, 0},
      {"value with LF", {200, "OK", "", "", {{"A", "b\nc"}}, nullptr, 0}, 0},
      {"name with blank", {200, "OK", "", "", {{"A b", "c"}}, nullptr, 0}, 0},
      {"length without more data", {200, "OK", "", "5", {}, nullptr, 0}, 0},
      {"length not digits", {200, "OK", "", "5x", {}, nullptr, 0}, kHttpSendResponseFlagMoreData},
      {"status out of range", {42, "OK", "", "", {}, nullptr, 0}, 0},
      {"unknown flag", {200, "OK", "", "", {}, nullptr, 0}, 0x100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(queue_->SendResponse(id, c.response, c.flags), kHttpInvalidParameter);
  }
  ASSERT_EQ(Answer(id, "fine"), kHttpOk);
  EXPECT_NE(client.ReadResponse().find("\r\n\r\nfine"), std::string::npos);
}

TEST_F(HttpServerTest, ClosingTheQueueWakesABlockedReceive) {
  std::atomic<uint32_t> result{kHttpOk};
  std::atomic<bool> entered{false};
  std::thread waiter([&] {
    std::vector<uint64_t> storage(2520 / 8);
    uint32_t bytes = 0;
    entered = true;
    result = Receive(&storage, 0, &bytes);
  });
  while (!entered) std::this_thread::yield();
  queue_->Close();
  waiter.join();
  // Whether the close came before or during the wait, the wait ended.
  EXPECT_TRUE(result == kHttpOperationAborted || result == kHttpInvalidHandle) << result;
  std::vector<uint64_t> storage(2520 / 8);
  uint32_t bytes = 0;
  EXPECT_EQ(Receive(&storage, 0, &bytes), kHttpInvalidHandle);
  Client client(port_);
  EXPECT_FALSE(client.connected() && client.Send(Get("/")) && !client.ReadResponse().empty());
}

TEST_F(HttpServerTest, PrefixIsCheckedAndABusyPortRefused) {
  std::unique_ptr<HttpRequestQueue> other;
  ASSERT_EQ(HttpRequestQueue::Create(&other), kHttpOk);
  EXPECT_EQ(other->AddUrl(Prefix(port_)), kHttpAlreadyExists);
  for (const char* prefix :
       {"http://127.0.0.1:0/", "http://127.0.0.1:65536/", "http://127.0.0.1:/",
        "http://127.0.0.1:80", "http://127.0.0.1:080/", "http://localhost:80/",
        "https://127.0.0.1:80/", "http://127.0.0.1:80/x/", "http://0.0.0.0:80/", ""}) {
    SCOPED_TRACE(prefix);
    EXPECT_EQ(other->AddUrl(prefix), kHttpInvalidParameter);
  }
  EXPECT_EQ(queue_->AddUrl(Prefix(port_)), kHttpAlreadyExists);
  EXPECT_EQ(other->RemoveUrl(Prefix(port_)), kHttpNotFound);
  // Once removed, the port is free for another queue at once.
  ASSERT_EQ(queue_->RemoveUrl(Prefix(port_)), kHttpOk);
  ASSERT_EQ(other->AddUrl(Prefix(port_)), kHttpOk);
  Client client(port_);
  ASSERT_TRUE(client.Send(Get("/?other")));
  std::vector<uint64_t> storage(2520 / 8);
  uint32_t bytes = 0;
  ASSERT_EQ(other->ReceiveRequest(0, storage.data(), 2520, &bytes), kHttpOk);
  EXPECT_EQ(Narrow(Record(storage).query_string, Record(storage).query_string_units), "?other");
}

// The parser alone: every request of the table at every two-way split and
// byte by byte gives the same verdict and request as in one piece.
TEST(HttpRequestParserTest, VerdictDoesNotDependOnHowTheBytesArrive) {
  using http_parse::Verdict;
  const struct {
    std::string bytes;
    Verdict verdict;
    std::string body;
  } cases[] = {
      {"\r\nGET /?x=%41 HTTP/1.1\r\nHost: h\r\n\r\n", Verdict::kComplete, ""},
      {"POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nabc", Verdict::kComplete, "abc"},
      {"POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
       Verdict::kComplete, "abc"},
      // A body that is only its last chunk, and one with a trailer.
      {"POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       Verdict::kComplete, ""},
      {"POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n0\r\nX: 1\r\n\r\n",
       Verdict::kComplete, "ab"},
      // A Host in the trailer does not stand in for the head's.
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\nHost: h\r\n\r\n",
       Verdict::kBadRequest, ""},
      {"POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nab", Verdict::kNeedMore, ""},
      {"GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", Verdict::kBadRequest, ""},
      // Refused as soon as the head is whole, however the body follows.
      {"POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", Verdict::kBadRequest, ""},
      {"GET / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: gzip\r\n\r\n", Verdict::kBadRequest, ""},
      {"G\x01T / HTTP/1.1\r\nHost: h\r\n\r\n", Verdict::kBadRequest, ""},
  };
  for (const auto& c : cases) {
    for (size_t step = 1; step <= c.bytes.size(); ++step) {
      SCOPED_TRACE(c.bytes + " in pieces of " + std::to_string(step));
      http_parse::RequestParser parser;
      std::string pending;
      Verdict verdict = Verdict::kNeedMore;
      for (size_t at = 0; at < c.bytes.size() && verdict == Verdict::kNeedMore; at += step) {
        pending += c.bytes.substr(at, step);
        size_t used = 0;
        verdict = parser.Feed(pending.data(), pending.size(), &used);
        pending.erase(0, used);
      }
      ASSERT_EQ(verdict, c.verdict);
      if (verdict == Verdict::kComplete) {
        EXPECT_EQ(parser.Take().body, c.body);
      }
    }
  }
}

// Host and Origin are what the head said: a chunked body's trailer cannot
// add or replace them, and several Origin fields give one that matches
// nothing.
TEST(HttpRequestParserTest, HostAndOriginComeFromTheHeadOnly) {
  using http_parse::Verdict;
  const std::optional<std::string> none;
  const struct {
    std::string bytes;
    std::optional<std::string> host;
    std::optional<std::string> origin;
  } cases[] = {
      {"GET / HTTP/1.1\r\nHost: 127.0.0.1:9088\r\nOrigin: https://pos.example\r\n\r\n",
       "127.0.0.1:9088", "https://pos.example"},
      {"GET / HTTP/1.1\r\nHost: localhost:9088\r\n\r\n", "localhost:9088", none},
      {"GET / HTTP/1.0\r\n\r\n", none, none},
      {"GET / HTTP/1.1\r\nHost: h\r\norigin: null\r\n\r\n", "h", "null"},
      {"GET / HTTP/1.1\r\nHost: h\r\nOrigin: https://a\r\nOrigin: https://b\r\n\r\n", "h",
       ""},
      {"POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
       "1\r\nx\r\n0\r\nOrigin: https://pos.example\r\n\r\n",
       "h", none},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    http_parse::RequestParser parser;
    size_t used = 0;
    ASSERT_EQ(parser.Feed(c.bytes.data(), c.bytes.size(), &used), Verdict::kComplete);
    const http_parse::ParsedRequest request = parser.Take();
    EXPECT_EQ(request.host, c.host);
    EXPECT_EQ(request.origin, c.origin);
  }
}

TEST(HttpRequestParserTest, QueryIsTakenFromTheTargetAsUtf16) {
  const struct {
    const char* target;
    bool has_query;
    std::u16string query;
  } cases[] = {
      {"/", false, u""},
      {"/?", true, u"?"},
      {"/a?b=%20c#frag", true, u"?b=%20c"},
      {"/?k=\xED\x95\x9C", true, u"?k=\uD55C"},           // UTF-8 Hangul
      {"/?\xF0\x9F\x98\x80", true, u"?\U0001F600"},      // a pair of surrogates
      {"/?\xFF\xC3", true, u"?\u00FF\u00C3"},            // not UTF-8: byte by byte
      {"/?\xED\xA0\x80", true, u"?\u00ED\u00A0\u0080"},  // an encoded surrogate
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    std::u16string query;
    EXPECT_EQ(http_parse::QueryOf(c.target, &query), c.has_query);
    EXPECT_EQ(query, c.query);
  }
}

TEST(HttpRequestRecordTest, LayoutNeverPassesTheBufferEnd) {
  HttpRequestFacts facts;
  facts.verb = HttpVerb::kGet;
  facts.query = u"?abc";
  facts.host = "127.0.0.1:9088";
  facts.origin = "https://pos.example";
  facts.local_port = 9088;
  const uint32_t needed = RequestRecordSize(facts);
  for (uint32_t size = 0; size <= needed + 8; ++size) {
    SCOPED_TRACE(size);
    // Guard bytes behind the given size show any write past it.
    std::vector<uint64_t> storage((needed + 16) / 8 + 1, 0xA5A5A5A5A5A5A5A5ull);
    uint32_t written = 0;
    const uint32_t result =
        LayOutRequestRecord(7, facts, storage.data(), size, &written);
    const auto* bytes = reinterpret_cast<const unsigned char*>(storage.data());
    for (size_t i = size; i < storage.size() * 8; ++i) {
      ASSERT_EQ(bytes[i], 0xA5) << i;
    }
    EXPECT_EQ(result, size >= needed ? kHttpOk : kHttpMoreData);
    EXPECT_EQ(written, needed);
    if (size >= sizeof(HttpRequestRecord)) {
      EXPECT_EQ(Record(storage).request_id, 7u);
    }
    if (result == kHttpOk) {
      const HttpRequestRecord& record = Record(storage);
      EXPECT_EQ(std::u16string(record.query_string), u"?abc");
      EXPECT_STREQ(record.host, "127.0.0.1:9088");
      EXPECT_STREQ(record.origin, "https://pos.example");
      EXPECT_EQ(record.local_port, 9088);
    }
  }
  std::vector<uint64_t> storage(needed / 8 + 2);
  uint32_t written = 0;
  EXPECT_EQ(LayOutRequestRecord(1, HttpRequestFacts{},
                                reinterpret_cast<char*>(storage.data()) + 1, needed, &written),
            kHttpInvalidParameter);
}

}  // namespace
}  // namespace platform
