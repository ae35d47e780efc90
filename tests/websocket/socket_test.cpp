// The socket layer where it has behaviour of its own: waits that a stop
// event ends, an address reusable at once after a connection, accepted
// sockets that send small writes at once, and sockets that a started
// program never inherits.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "platform/socket.h"
#include "platform/sync.h"
#include "ws_test_client.h"

namespace platform {
namespace {

std::unique_ptr<Socket> Listening(int port = 0) {
  SystemError error;
  auto socket = Socket::CreateTcp(&error);
  if (!socket || !socket->Bind("", port, &error) || !socket->Listen(1, &error)) {
    ADD_FAILURE() << "listener on " << port << ": " << error.text;
    return nullptr;
  }
  return socket;
}

// A listener with one accepted connection and the client's end of it.
struct Connection {
  std::unique_ptr<Socket> listener = Listening();
  std::unique_ptr<ovt_test::TcpClient> client;
  std::unique_ptr<Socket> accepted;

  Connection() {
    if (!listener) return;
    client = std::make_unique<ovt_test::TcpClient>(listener->LocalPort());
    bool stopped = true;
    SystemError error;
    accepted = listener->Accept(nullptr, &stopped, &error);
    EXPECT_FALSE(stopped);
    EXPECT_NE(accepted, nullptr) << error.text;
  }
};

TEST(Socket, StopEventEndsAWaitingAccept) {
  auto listener = Listening();
  ASSERT_NE(listener, nullptr);
  for (const auto mode : {Event::Mode::kManualReset, Event::Mode::kAutoReset}) {
    Event stop(mode);
    bool stopped = false;
    std::unique_ptr<Socket> none;
    std::thread waiter([&] {
      SystemError error;
      none = listener->Accept(&stop, &stopped, &error);
    });
    stop.Set();
    waiter.join();
    EXPECT_TRUE(stopped);
    EXPECT_EQ(none, nullptr);
    // The event keeps its own rules: an auto-reset one was consumed.
    EXPECT_EQ(stop.Wait(0), mode == Event::Mode::kManualReset);
  }
}

TEST(Socket, StopEventEndsAWaitingReceive) {
  Connection c;
  ASSERT_NE(c.accepted, nullptr);
  Event stop(Event::Mode::kManualReset);
  int received = 0;
  std::thread waiter([&] {
    SystemError error;
    char byte;
    received = c.accepted->Receive(&byte, 1, &stop, &error);
  });
  stop.Set();
  waiter.join();
  EXPECT_EQ(received, kSocketStopped);
}

TEST(Socket, ReceiveTellsDataFromThePeersClose) {
  Connection c;
  ASSERT_NE(c.accepted, nullptr);
  ASSERT_TRUE(c.client->Send("abc"));
  char buffer[8] = {};
  SystemError error;
  EXPECT_EQ(c.accepted->Receive(buffer, sizeof buffer, nullptr, &error), 3);
  EXPECT_EQ(std::string(buffer, 3), "abc");
  c.client->Close();
  EXPECT_EQ(c.accepted->Receive(buffer, sizeof buffer, nullptr, &error), 0);
}

// A limited wait ends with kSocketTimedOut when the peer stays silent or
// reads nothing, and still returns what is there at once.
TEST(Socket, LimitedWaitsEndWhenThePeerStaysSilentOrReadsNothing) {
  Connection c;
  ASSERT_NE(c.accepted, nullptr);
  char buffer[8] = {};
  SystemError error;
  EXPECT_EQ(c.accepted->Receive(buffer, sizeof buffer, nullptr, &error, 50), kSocketTimedOut);
  ASSERT_TRUE(c.client->Send("abc"));
  EXPECT_EQ(c.accepted->Receive(buffer, sizeof buffer, nullptr, &error, 50000), 3);

  // A client that reads nothing: the buffers fill, then the send waits.
  const std::string block(64 * 1024, 'x');
  int result = 0;
  int sends = 0;
  do {
    result = c.accepted->Send(block.data(), block.size(), nullptr, &error, 50);
  } while (result > 0 && ++sends < 4096);
  EXPECT_EQ(result, kSocketTimedOut);
}

TEST(Socket, BindsTheGivenAddressOnlyAndRefusesTextThatIsNone) {
  SystemError error;
  auto loopback = Socket::CreateTcp(&error);
  ASSERT_TRUE(loopback && loopback->Bind("127.0.0.1", 0, &error) && loopback->Listen(1, &error))
      << error.text;
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ASSERT_EQ(getsockname(static_cast<int>(loopback->Number()),
                        reinterpret_cast<sockaddr*>(&address), &length),
            0);
  EXPECT_EQ(ntohl(address.sin_addr.s_addr), INADDR_LOOPBACK);

  for (const char* text : {"localhost", "127.0.0", "127.0.0.256", "::1", " 127.0.0.1"}) {
    auto other = Socket::CreateTcp(&error);
    ASSERT_NE(other, nullptr);
    error = SystemError{};
    EXPECT_FALSE(other->Bind(text, 0, &error)) << text;
    EXPECT_NE(error.text.find("not an IPv4 address"), std::string::npos) << error.text;
  }
}

TEST(Socket, SendToAResetPeerFailsWithoutASignal) {
  Connection c;
  ASSERT_NE(c.accepted, nullptr);
  c.client->Reset();
  SystemError error;
  int result = 0;
  // The first send may still be taken before the reset is seen.
  for (int i = 0; i < 100 && result >= 0; ++i) result = c.accepted->Send("x", 1, nullptr, &error);
  EXPECT_EQ(result, kSocketFailed);
  EXPECT_TRUE(error.code == EPIPE || error.code == ECONNRESET) << error.text;
}

TEST(Socket, AddressIsReusableWhileAConnectionWaitsInTimeWait) {
  int port = 0;
  {
    Connection c;
    ASSERT_NE(c.accepted, nullptr);
    port = c.listener->LocalPort();
    // The side that closes first keeps the connection in TIME_WAIT.
    c.accepted.reset();
    bool closed = false;
    c.client->ReadUntilClosed(&closed);
    ASSERT_TRUE(closed);
    c.client->Close();
  }
  // Without the option the port is still taken...
  const int plain = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(port));
  EXPECT_NE(bind(plain, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(errno, EADDRINUSE);
  close(plain);
  // ...while a listener of ours binds it at once.
  EXPECT_NE(Listening(port), nullptr);
}

// Whether Nagle's algorithm is off on `socket` (TCP_NODELAY set).
bool NoDelay(const Socket& socket) {
  int value = 0;
  socklen_t length = sizeof value;
  const int got = getsockopt(static_cast<int>(socket.Number()), IPPROTO_TCP, TCP_NODELAY, &value,
                             &length);
  EXPECT_EQ(got, 0) << std::strerror(errno);
  return got == 0 && value != 0;
}

TEST(Socket, AnAcceptedSocketSendsSmallWritesAtOnce) {
  Connection c;
  ASSERT_NE(c.accepted, nullptr);
  // A reply frame followed at once by a closing frame must not wait for
  // the peer's acknowledgement of the first.
  EXPECT_TRUE(NoDelay(*c.accepted));
}

// The socket links ("socket:[inode]") that a program started from here
// finds open.
std::string OpenSocketsOfAStartedProgram() {
  int out[2];
  if (pipe(out) != 0) return "pipe failed";
  const pid_t child = fork();
  if (child == 0) {
    dup2(out[1], STDOUT_FILENO);
    execl("/bin/sh", "sh", "-c", "for f in /proc/self/fd/*; do readlink \"$f\"; done",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string listing;
  char chunk[4096];
  for (ssize_t n; (n = read(out[0], chunk, sizeof chunk)) > 0;) listing.append(chunk, n);
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return listing;
}

std::string SocketLink(const Socket& socket) {
  char target[256] = {};
  const std::string path = "/proc/self/fd/" + std::to_string(socket.Number());
  const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, n) : "";
}

TEST(Socket, StartedProgramsInheritNoSocket) {
  Connection c;
  ASSERT_NE(c.accepted, nullptr);
  const std::string listener = SocketLink(*c.listener);
  const std::string accepted = SocketLink(*c.accepted);
  ASSERT_EQ(listener.rfind("socket:", 0), 0u) << listener;
  ASSERT_EQ(accepted.rfind("socket:", 0), 0u) << accepted;
  const std::string inherited = OpenSocketsOfAStartedProgram();
  EXPECT_EQ(inherited.find(listener + "\n"), std::string::npos) << inherited;
  EXPECT_EQ(inherited.find(accepted + "\n"), std::string::npos) << inherited;
}

}  // namespace
}  // namespace platform
