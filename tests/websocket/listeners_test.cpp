// The WebSocket front end through real loopback connections: the two
// listeners in a temporary data root, the real link library and print
// stand-in loaded by file name, the terminal simulator on a
// pseudo-terminal where a payment is made. The agent log is read back
// where its lines are what the behaviour leaves.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/agent_texts.h"
#include "dispatcher/agent_message.h"
#include "dispatcher/last_result.h"
#include "platform/module.h"
#include "platform/socket.h"
#include "support/full_disk.h"
#include "support/simulator.h"
#include "support/temp_root.h"
#include "websocket/listeners.h"
#include "ws_test_client.h"

namespace agent {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ovt_test::AgentLogLine;
using ovt_test::Simulator;
using ovt_test::TcpClient;

constexpr int kCom = 5;

std::string Vevu(const std::string& data) {
  return Field4(static_cast<long long>(data.size()) + 12) + "VEVU0000" +
         Field4(static_cast<long long>(data.size())) + data;
}
std::string Command(const std::string& command) { return Vevu(command); }

// The reply to a payment the terminal answered with `answer` (STX, text,
// ETX), both in code page 949.
std::string AnswerReply(const std::string& answer) {
  return Field4(static_cast<long long>(answer.size()) + 12) + "VEVU0000" +
         Field4(static_cast<long long>(answer.size())) + answer;
}

const std::string kApprovedCp949 = "\xBD\xC2\xC0\xCE";  // the Korean word "approved"
const std::string kApprovedUtf8 = "\xEC\x8A\xB9\xEC\x9D\xB8";

// catsim's answer to the payment "D1XY", as the agent stores it (code
// page 949) and as the browser gets it (UTF-8; the length fields count the
// stored bytes).
const std::string kPaymentReply = AnswerReply("\x02OK:D1XY " + kApprovedCp949 + "\x03");
const std::string kPaymentReplyUtf8 =
    std::string(kPaymentReply).replace(kPaymentReply.find(kApprovedCp949), 4, kApprovedUtf8);

std::string Repeat(const std::string& piece, int times) {
  std::string s;
  for (int i = 0; i < times; ++i) s += piece;
  return s;
}

class FrontEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_dir_ = fs::current_path();
    fs::current_path(root_.path());
    port_ = ovt_test::FreePortPair();
    ASSERT_NE(port_, 0);
    fs::create_directories(root_.path() + "/OVVarsel");
    WriteSettings("");
    platform::testing::SetModuleDirectory(OVT_MODULE_DIR);
    g_bResultSaved = 0;
    testing::ForgetLatestReply();
  }
  void TearDown() override {
    testing::SetConnectionLimits(0);
    if (front_) {
      front_->RequestStop();
      EXPECT_TRUE(front_->Join(120000));
      front_.reset();
    }
    platform::testing::SetModuleDirectory("");
    fs::current_path(previous_dir_);
  }

  // The settings file with the terminal, the port and `security` lines.
  void WriteSettings(const std::string& security) {
    ovt_test::WriteFile(root_.path() + "/OVVarsel/OVVARSEL.ini",
                        "[CAT]\r\nCatComPort=5\r\nCatComBaud=115200\r\n[HTTP]\r\n"
                        "ServerPortWebsocket=" +
                            std::to_string(port_) + "\r\n[SECURITY]\r\n" + security);
  }

  void Start() {
    front_ = std::make_unique<WebSocketFrontEnd>();
    ASSERT_TRUE(front_->Start());
  }
  // The libraries cannot be bound: DllLogic leaves every reply empty.
  void WithoutLibraries() {
    fs::create_directories(root_.path() + "/empty");
    platform::testing::SetModuleDirectory(root_.path() + "/empty");
  }

  // A connection whose handshake has been answered.
  std::unique_ptr<TcpClient> Open() {
    auto client = std::make_unique<TcpClient>(port_);
    EXPECT_TRUE(client->Connected());
    EXPECT_TRUE(client->Send(ovt_test::Handshake()));
    EXPECT_EQ(client->Read(ovt_test::HandshakeAnswer().size()), ovt_test::HandshakeAnswer());
    return client;
  }
  // One message on a connection of its own: what came back until the
  // agent closed.
  std::string Exchange(const std::string& message) {
    auto client = Open();
    EXPECT_TRUE(client->Send(ovt_test::TextFrame(message)));
    bool closed = false;
    const std::string received = client->ReadUntilClosed(&closed);
    EXPECT_TRUE(closed);
    return received;
  }

  std::vector<AgentLogLine> Log() const { return ovt_test::ReadAgentLog(root_.path()); }
  size_t Count(std::string_view label, std::string_view text) const {
    return ovt_test::CountAgentLog(root_.path(), label, text);
  }
  bool WaitForCount(std::string_view label, std::string_view text, size_t count) const {
    return ovt_test::WaitForAgentLogCount(root_.path(), label, text, count);
  }

  ovt_test::TempRoot root_;
  fs::path previous_dir_;
  int port_ = 0;
  std::unique_ptr<WebSocketFrontEnd> front_;
};

TEST_F(FrontEnd, HandshakeSplitAnywhereIsAnsweredOnceWhole) {
  Start();
  const std::string request = ovt_test::Handshake();
  for (size_t split = 1; split < request.size(); ++split) {
    SCOPED_TRACE("split at " + std::to_string(split));
    const size_t parsed = Count("clientWorker", "wsParseHandshake finished");
    TcpClient client(port_);
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Send(request.substr(0, split)));
    // The first piece has been parsed on its own before the rest leaves.
    ASSERT_TRUE(WaitForCount("clientWorker", "wsParseHandshake finished", parsed + 1));
    ASSERT_TRUE(client.Send(request.substr(split)));
    EXPECT_EQ(client.Read(ovt_test::HandshakeAnswer().size()), ovt_test::HandshakeAnswer());
    // Nothing else was sent: our closing frame is answered by exactly one.
    ASSERT_TRUE(client.Send(ovt_test::ClientFrame(0x8, "")));
    bool closed = false;
    EXPECT_EQ(client.ReadUntilClosed(&closed), ovt_test::kServerClosingFrame);
    EXPECT_TRUE(closed);
  }
}

TEST_F(FrontEnd, RefusedHandshakesGetTheirAnswerAndTheConnectionEnds) {
  const std::string not_found = "HTTP/1.1 404 Not Found\r\n\r\n";
  const std::string bad_request = "HTTP/1.1 400 Bad Request\r\nSec-WebSocket-Version: 13\r\n\r\n";
  const struct {
    std::string request;
    std::string answer;
  } cases[] = {
      {ovt_test::Handshake("/VEVU/"), not_found},
      {ovt_test::Handshake("/vevu"), not_found},
      {ovt_test::Handshake("/VEVU", "Sec-WebSocket-Protocol: chat\r\n"), bad_request},
      {ovt_test::Handshake("/VEVU", "Sec-WebSocket-Version: 8\r\n"), bad_request},
      // A head that fills the whole receive buffer without its empty line.
      {"GET /VEVU HTTP/1.1\r\nHost: x\r\n" + std::string(65535 - 29, 'a'), bad_request},
  };
  Start();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request.substr(0, 40));
    TcpClient client(port_);
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Send(c.request));
    bool closed = false;
    EXPECT_EQ(client.ReadUntilClosed(&closed), c.answer);
    EXPECT_TRUE(closed);
  }
  EXPECT_EQ(Count("clientWorker", "buffer too small"), 1u);
  EXPECT_EQ(Count("clientWorker", "Not Vevu Send"), 2u);
}

TEST_F(FrontEnd, FramesOtherThanTextEndTheConnection) {
  const struct {
    const char* name;
    std::string frame;
    std::string answer;
  } cases[] = {
      {"closing frame first", ovt_test::ClientFrame(0x8, ""), ovt_test::kServerClosingFrame},
      {"ping", ovt_test::ClientFrame(0x9, "hi"), ""},
      {"binary", ovt_test::ClientFrame(0x2, "0016VEVU00000004LAST"), ""},
  };
  Start();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = Open();
    ASSERT_TRUE(client->Send(c.frame));
    bool closed = false;
    EXPECT_EQ(client->ReadUntilClosed(&closed), c.answer);
    EXPECT_TRUE(closed);
  }
}

TEST_F(FrontEnd, UnmaskedFrameIsAnsweredWithClosingFrameAndTheClientsCloseEndsIt) {
  Start();
  auto client = Open();
  ASSERT_TRUE(client->Send(ovt_test::ClientFrame(0x1, "0016VEVU00000004LAST", false)));
  EXPECT_EQ(client->Read(2), ovt_test::kServerClosingFrame);
  // The agent waits for the client's closing frame, and answers it with
  // nothing more.
  ASSERT_TRUE(client->Send(ovt_test::ClientFrame(0x8, "")));
  bool closed = false;
  EXPECT_EQ(client->ReadUntilClosed(&closed), "");
  EXPECT_TRUE(closed);
  EXPECT_EQ(Count("clientWorker", "error in incoming frame"), 1u);
  EXPECT_EQ(Count("clientWorker", "state == WS_STATE_CLOSING"), 1u);
  EXPECT_EQ(Count("clientWorker", "TEXT_FRAME"), 0u);
}

TEST_F(FrontEnd, HandshakeNeverCompletedIsDroppedAfterTheTwentyFirstPass) {
  Start();
  TcpClient client(port_);
  ASSERT_TRUE(client.Connected());
  for (int pass = 1; pass <= 21; ++pass) {
    ASSERT_EQ(Count("clientWorker", "LoopCount > 20"), 0u) << "pass " << pass;
    ASSERT_TRUE(client.Send(pass == 1 ? "GET /VEVU HTTP/1.1\r\n" : "X-Wait: more\r\n"));
    ASSERT_TRUE(WaitForCount("clientWorker", "wsParseHandshake finished", pass));
  }
  bool closed = false;
  EXPECT_EQ(client.ReadUntilClosed(&closed), "");
  EXPECT_TRUE(closed);
  EXPECT_EQ(Count("clientWorker", "LoopCount > 20"), 1u);
  const auto log = Log();
  EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const AgentLogLine& l) {
    return l.label == "clientWorker" && l.text == "LoopCount" && l.number == 21;
  }));
}

// A client that delivers no message, or never answers the agent's closing
// frame, holds the one worker only for the connection's limit: the agent
// closes it with a log line and the browser queued behind it is served.
TEST_F(FrontEnd, SilentClientsAreClosedAtTheLimitAndTheNextBrowserIsServed) {
  testing::SetConnectionLimits(300);
  const std::string no_message = "No message within 300 ms: connection closed by the agent";
  const std::string no_close = "No closing frame within 300 ms: connection closed by the agent";
  struct Step {
    std::string sent;
    std::string answered;
  };
  const struct {
    const char* name;
    std::vector<Step> steps;
    const std::string& line;
  } cases[] = {
      {"nothing sent", {}, no_message},
      {"half a handshake", {{"GET /VEVU HTTP/1.1\r\n", ""}}, no_message},
      {"silent after the 101", {{ovt_test::Handshake(), ovt_test::HandshakeAnswer()}}, no_message},
      {"no close after the agent's closing frame",
       {{ovt_test::Handshake(), ovt_test::HandshakeAnswer()},
        {ovt_test::ClientFrame(0x1, "0016VEVU00000004LAST", false), ovt_test::kServerClosingFrame}},
       no_close},
  };
  ovt_test::WriteFile(root_.path() + "/" + kLastResultFile, kPaymentReply);
  Start();
  size_t no_message_lines = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TcpClient silent(port_);
    ASSERT_TRUE(silent.Connected());
    for (const Step& step : c.steps) {
      ASSERT_TRUE(silent.Send(step.sent));
      EXPECT_EQ(silent.Read(step.answered.size()), step.answered);
    }
    // Queued behind the silent client, a browser asks for the last reply.
    EXPECT_EQ(Exchange(Command("LAST")),
              ovt_test::ServerFrame(0x1, kPaymentReplyUtf8) + ovt_test::kServerClosingFrame);
    bool closed = false;
    EXPECT_EQ(silent.ReadUntilClosed(&closed), "");
    EXPECT_TRUE(closed);
    if (&c.line == &no_message) ++no_message_lines;
    EXPECT_EQ(Count("clientWorker", c.line), &c.line == &no_message ? no_message_lines : 1u);
  }
}

// On a full disk the reply of a payment cannot be stored; the browser still
// gets it, LAST answers it for as long as the agent runs, and the older
// reply in the file is gone rather than answered as the latest.
TEST_F(FrontEnd, FullDiskNeverMakesLastAnswerAnOlderReply) {
  ovt_test::FullDisk disk(root_.path() + "/full");
  if (!disk.Mounted()) GTEST_SKIP() << disk.Reason();
  const std::string older = "0026VEVU00000014\x02OK:D1AB " + kApprovedCp949 + "\x03";
  ovt_test::WriteFile(disk.path() + "/" + kLastResultFile, older);
  fs::current_path(disk.path());
  Simulator sim(root_, kCom, "answer");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  ASSERT_TRUE(disk.Fill(ovt_test::FullDisk::kBlocksAndFiles));
  Start();
  const std::string reply =
      ovt_test::ServerFrame(0x1, kPaymentReplyUtf8) + ovt_test::kServerClosingFrame;
  EXPECT_EQ(Exchange(Vevu("D1XY")), reply);
  EXPECT_EQ(g_bResultSaved, 0);
  EXPECT_EQ(Exchange(Command("LAST")), reply);
  EXPECT_FALSE(fs::exists(disk.path() + "/" + kLastResultFile));
  EXPECT_EQ(Count("DLL_LOGIC", "orvaResult.txt store Fail!"), 1u);
}

TEST_F(FrontEnd, ConnectionLimitsNeverCutAPayment) {
  testing::SetConnectionLimits(300);
  Simulator sim(root_, kCom, "answer", {"--delay", "1000"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  Start();
  EXPECT_EQ(Exchange(Vevu("D1XY")),
            ovt_test::ServerFrame(0x1, kPaymentReplyUtf8) + ovt_test::kServerClosingFrame);
}

// What a client makes the agent log is bounded by what it sends: per
// connection a few KiB of fixed lines, at most 3 KiB per receive pass (a
// pass needs at least one byte, and there are at most 21), and the message
// itself at most three times. Without the cut of the head dump, a head sent
// slowly in 20 pieces of 3,200 bytes was logged 20 times over its growing
// length: about 1.3 MB for 64 KB.
TEST_F(FrontEnd, LogGrowsAtMostABoundedMultipleOfWhatTheClientSends) {
  constexpr size_t kPerConnection = 4096, kPerPass = 3072, kMessageCopies = 3;
  const std::string big_message = Vevu("Z9" + std::string(60000, 'a'));
  std::vector<std::string> slow_head(20, std::string(3200, 'h'));
  slow_head.front().replace(0, 20, "GET /VEVU HTTP/1.1\r\n");
  const struct {
    const char* name;
    std::vector<std::string> pieces;  // each read in a pass of its own
  } cases[] = {
      {"a 64 KB head in 20 pieces, then one more", [&] {
         auto pieces = slow_head;
         pieces.push_back("x");
         return pieces;
       }()},
      {"one byte a pass", std::vector<std::string>(21, "G")},
      // The frame is sent once the head has been read: bytes behind a head
      // in the same receive are not kept.
      {"a 60 KB message", {ovt_test::Handshake(), ovt_test::TextFrame(big_message)}},
  };
  Start();
  const std::string log_path = root_.path() + "/ORVAlog";
  auto log_bytes = [&] {
    size_t total = 0;
    for (const auto& entry : fs::directory_iterator(log_path)) total += entry.file_size();
    return total;
  };
  size_t workers = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(WaitForCount("ReqToCatThread", "==========START==========", 1));
    const size_t before = log_bytes();
    TcpClient client(port_);
    ASSERT_TRUE(client.Connected());
    size_t sent = 0;
    size_t parsed = Count("clientWorker", "wsParseHandshake finished");
    for (const std::string& piece : c.pieces) {
      ASSERT_TRUE(client.Send(piece));
      sent += piece.size();
      if (&piece != &c.pieces.back()) {
        ASSERT_TRUE(WaitForCount("clientWorker", "wsParseHandshake finished", ++parsed));
      }
    }
    client.ReadUntilClosed();
    ASSERT_TRUE(WaitForCount("clientWorker_cnt--", "0", ++workers));
    const size_t passes = std::min<size_t>(21, sent);
    const size_t grown = log_bytes() - before;
    EXPECT_LE(grown, kPerConnection + kPerPass * passes + kMessageCopies * sent)
        << "sent " << sent << " bytes";
  }
}

// With AllowedOrigins, a page from an origin not listed is refused before
// its message can arrive; a listed origin, and a local program without an
// Origin field, are served. Without the setting every origin is served.
TEST_F(FrontEnd, AllowedOriginsRefuseOtherPages) {
  ovt_test::WriteFile(root_.path() + "/" + kLastResultFile, kPaymentReply);
  const std::string served =
      ovt_test::HandshakeAnswer() + ovt_test::ServerFrame(0x1, kPaymentReplyUtf8) +
      ovt_test::kServerClosingFrame;
  const std::string refused = "HTTP/1.1 403 Forbidden\r\n\r\n";
  const struct {
    const char* setting;
    const char* origin_line;
    const std::string& answer;
  } cases[] = {
      {"", "Origin: https://evil.test\r\n", served},
      {"AllowedOrigins=https://pos.example.com, http://localhost:3000\r\n",
       "Origin: https://pos.example.com\r\n", served},
      {"AllowedOrigins=https://pos.example.com, http://localhost:3000\r\n", "", served},
      {"AllowedOrigins=https://pos.example.com, http://localhost:3000\r\n",
       "Origin: https://evil.test\r\n", refused},
      {"AllowedOrigins=https://pos.example.com\r\n", "Origin: null\r\n", refused},
      {"AllowedOrigins=https://pos.example.com null\r\n", "Origin: null\r\n", served},
  };
  Start();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.setting) + c.origin_line);
    WriteSettings(c.setting);  // read at every handshake
    TcpClient client(port_);
    ASSERT_TRUE(client.Connected());
    std::string head = ovt_test::Handshake();
    const std::string usual_origin = "Origin: http://127.0.0.1\r\n";
    head.replace(head.find(usual_origin), usual_origin.size(), c.origin_line);
    ASSERT_TRUE(client.Send(head));
    if (&c.answer == &served) {
      EXPECT_EQ(client.Read(ovt_test::HandshakeAnswer().size()), ovt_test::HandshakeAnswer());
      ASSERT_TRUE(client.Send(ovt_test::TextFrame(Command("LAST"))));
      bool closed = false;
      EXPECT_EQ(ovt_test::HandshakeAnswer() + client.ReadUntilClosed(&closed), served);
      EXPECT_TRUE(closed);
    } else {
      bool closed = false;
      EXPECT_EQ(client.ReadUntilClosed(&closed), refused);
      EXPECT_TRUE(closed);
    }
  }
  EXPECT_EQ(Count("clientWorker", "Origin not allowed: https://evil.test"), 1u);
  EXPECT_EQ(Count("DLL_LOGIC", "LASTDATA"), 4u);
}

// With ListenAddress 127.0.0.1 the listeners take connections to the
// loopback address only (127.0.0.2 stands for every other address here);
// without it they take them on every address. Text that is no address
// keeps the listeners down, saying why, rather than listening on all.
TEST_F(FrontEnd, ListenAddressLimitsWhereTheListenersListen) {
  const auto reachable = [&](const char* address, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &to.sin_addr);
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    close(fd);
    return connected;
  };
  WriteSettings("ListenAddress=127.0.0.1\r\n");
  Start();
  ASSERT_TRUE(WaitForCount("ReqStopThread", "==========START==========", 1));
  TcpClient first(port_);  // waits until the listener is up
  ASSERT_TRUE(first.Connected());
  first.Close();
  for (int port : {port_, port_ + 1}) {
    ASSERT_TRUE(ovt_test::WaitForAgentLog(root_.path(), [&](const auto&) {
      return reachable("127.0.0.1", port);
    }));
    EXPECT_FALSE(reachable("127.0.0.2", port)) << port;
  }
  EXPECT_EQ(Count("ListenAddress", "127.0.0.1"), 2u);
  front_->RequestStop();
  ASSERT_TRUE(front_->Join(60000));
  front_.reset();

  WriteSettings("");
  Start();
  ASSERT_TRUE(ovt_test::WaitForAgentLog(root_.path(), [&](const auto&) {
    return reachable("127.0.0.2", port_) && reachable("127.0.0.2", port_ + 1);
  }));
  front_->RequestStop();
  ASSERT_TRUE(front_->Join(60000));
  front_.reset();

  WriteSettings("ListenAddress=localhost\r\n");
  Start();
  ASSERT_TRUE(WaitForCount("ReqToCatThread", "not an IPv4 address: localhost", 2));
  EXPECT_FALSE(reachable("127.0.0.1", port_));
}

TEST_F(FrontEnd, LastReplyArrivesWholeInUtf8ThenClosingFrame) {
  // The stored reply in code page 949, and what the browser must get. The
  // long one is more than 4095 bytes in UTF-8 and still arrives whole.
  const std::string header = "0016VEVU00000000";
  const struct {
    const char* name;
    std::string stored;
    std::string expected;
  } cases[] = {
      {"short", header + "\x02OK " + kApprovedCp949 + "\x03",
       header + "\x02OK " + kApprovedUtf8 + "\x03"},
      {"longer than 4095 UTF-8 bytes", header + Repeat(kApprovedCp949, 1000),
       header + Repeat(kApprovedUtf8, 1000)},
  };
  Start();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ovt_test::WriteFile(root_.path() + "/" + kLastResultFile, c.stored);
    EXPECT_EQ(Exchange(Command("LAST")),
              ovt_test::ServerFrame(0x1, c.expected) + ovt_test::kServerClosingFrame);
  }
}

TEST_F(FrontEnd, EmptyReplyIsAnEmptyTextFrame) {
  WithoutLibraries();
  Start();
  EXPECT_EQ(Exchange(Command("LAST")), std::string("\x81\x00\x88\x00", 4));
}

TEST_F(FrontEnd, PrintRequestIsLoggedOnlyToItsFirst22Bytes) {
  const std::string tail(40, 'r');
  const struct {
    std::string payload;
    bool cut;
  } cases[] = {
      {"0072VEVU00000060PRNT" + tail, true},
      {"0072VEVU000000600PRNT" + tail, true},
      {"0072VEVU0000006000PRNT" + tail, true},
      {"0072VEVU00000060000PRNT" + tail, false},
      {"0072VEVU00000060D1XY" + tail, false},
  };
  WithoutLibraries();
  Start();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.payload);
    Exchange(c.payload);
    const std::string logged = c.cut ? c.payload.substr(0, 22) : c.payload;
    EXPECT_EQ(Count("conv data", logged), 1u);
  }
}

TEST_F(FrontEnd, PaymentReplyArrivesInUtf8) {
  Simulator sim(root_, kCom, "answer");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  Start();
  EXPECT_EQ(Exchange(Vevu("D1XY")),
            ovt_test::ServerFrame(0x1, kPaymentReplyUtf8) + ovt_test::kServerClosingFrame);
  EXPECT_EQ(ovt_test::ReadFile(root_.path() + "/" + kLastResultFile), kPaymentReply);
}

TEST_F(FrontEnd, ConnectionToTheNextPortCancelsThePayment) {
  Simulator sim(root_, kCom, "ack-silent");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  Start();
  auto client = Open();
  ASSERT_TRUE(client->Send(ovt_test::TextFrame(Vevu("D1XY"))));
  // The request and our ACK after the terminal's: the answer is awaited.
  ASSERT_TRUE(sim.WaitForReceived(Simulator::RequestFrame("D1XY").size() + 1, 30s));
  {
    TcpClient stop(port_ + 1);
    ASSERT_TRUE(stop.Connected());
    bool closed = false;
    EXPECT_EQ(stop.ReadUntilClosed(&closed), "");
    EXPECT_TRUE(closed);
  }
  bool closed = false;
  const std::string received = client->ReadUntilClosed(&closed);
  EXPECT_TRUE(closed);
  // A failure reply: "0019VEVU", the result's absolute value, "0005VEVU1".
  ASSERT_EQ(received.size(), 2u + 21u + 2u);
  const std::string reply = received.substr(2, 21);
  EXPECT_TRUE(reply == "0019VEVU00030005VEVU1" || reply == "0019VEVU00040005VEVU1") << reply;
  EXPECT_EQ(Count("ReqStopThread", "lpReqStop Call!"), 1u);
}

TEST_F(FrontEnd, BrowserGoneDuringPaymentLeavesTheReplyForLast) {
  // The terminal takes its time, so the browser is gone well before the
  // reply is ready.
  Simulator sim(root_, kCom, "answer", {"--delay", "1500"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  Start();
  {
    auto client = Open();
    ASSERT_TRUE(client->Send(ovt_test::TextFrame(Vevu("D1XY"))));
    ASSERT_TRUE(sim.WaitForReceived(Simulator::RequestFrame("D1XY").size(), 30s));
    client->Reset();
  }
  ASSERT_TRUE(WaitForCount("clientWorker_cnt--", "0", 1));
  EXPECT_EQ(Count("safeSend", "Websocket Send Fail! (Browser Finish)"), 1u);
  EXPECT_EQ(Count("ClientWorker", "safeSend(clientSocket, gBuffer, frameSize) == EXIT_FAILURE_3"),
            1u);
  EXPECT_EQ(Count("clientWorker", "CLOSING_FRAME Send"), 0u);

  // The next connection is served, and LAST hands the reply over.
  EXPECT_EQ(Exchange(Command("LAST")),
            ovt_test::ServerFrame(0x1, kPaymentReplyUtf8) + ovt_test::kServerClosingFrame);
}

TEST_F(FrontEnd, PortInUsePausesBetweenRestartsAndIsTakenOnceFree) {
  // Another program holds P.
  platform::SystemError error;
  auto holder = platform::Socket::CreateTcp(&error);
  ASSERT_TRUE(holder && holder->Bind("", port_, &error) && holder->Listen(1, &error)) << error.text;
  Start();
  const std::string bind_failed = texts::Ansi(texts::kServerBindFailed);
  ASSERT_TRUE(WaitForCount("ReqToCatThread", bind_failed, 2));
  // Over the next two seconds, a restart per pause: a handful of attempts,
  // not the thousands of a loop without one.
  std::this_thread::sleep_for(2s);
  EXPECT_LE(Count("ReqToCatThread", bind_failed), 8u);
  // The stop listener on P + 1 was not held up.
  EXPECT_EQ(Count("ReqStopThread", texts::Ansi(texts::kStopServerBindFailed)), 0u);

  holder.reset();
  auto client = Open();
  EXPECT_TRUE(client->Connected());
}

TEST_F(FrontEnd, StopListenerWithoutTheLinkLibraryEndsAndClosesItsPort) {
  WithoutLibraries();
  Start();
  {
    TcpClient stop(port_ + 1);
    ASSERT_TRUE(stop.Connected());
    bool closed = false;
    stop.ReadUntilClosed(&closed);
    EXPECT_TRUE(closed);
  }
  const std::string load_failed = texts::Ansi("Telquin.dll" + std::string(texts::kLoadFailed));
  ASSERT_TRUE(WaitForCount("ReqStopThread", load_failed, 1));
  // Its listening socket went with it, and it does not come back.
  ASSERT_TRUE(ovt_test::WaitForAgentLog(root_.path(), [&](const auto&) {
    return ovt_test::ConnectionRefused(port_ + 1);
  }));
  // The request listener goes on serving; the stop listener stays gone
  // for longer than a restart pause.
  EXPECT_EQ(Exchange(Command("LAST")), std::string("\x81\x00\x88\x00", 4));
  std::this_thread::sleep_for(std::chrono::milliseconds(2 * kListenerRestartPauseMs));
  EXPECT_TRUE(ovt_test::ConnectionRefused(port_ + 1));
  EXPECT_EQ(Count("ReqStopThread", "==========START=========="), 1u);
}

TEST_F(FrontEnd, StopWakesAWorkerWaitingForData) {
  Start();
  auto client = Open();
  ASSERT_TRUE(WaitForCount("clientWorker", "Websocket Recv Start", 2));
  front_->RequestStop();
  EXPECT_TRUE(front_->Join(60000));
  bool closed = false;
  EXPECT_EQ(client->ReadUntilClosed(&closed), "");
  EXPECT_TRUE(closed);
  EXPECT_EQ(Count("ReqToCatThread", "AcceptFunc Call!"), 0u);
}

TEST_F(FrontEnd, StopLetsTheRunningPaymentFinishAndDeliverItsReply) {
  Simulator sim(root_, kCom, "answer", {"--delay", "500"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  Start();
  auto client = Open();
  ASSERT_TRUE(client->Send(ovt_test::TextFrame(Vevu("D1XY"))));
  ASSERT_TRUE(sim.WaitForReceived(Simulator::RequestFrame("D1XY").size(), 30s));
  front_->RequestStop();
  EXPECT_TRUE(front_->Join(120000));
  EXPECT_EQ(ovt_test::ReadFile(root_.path() + "/" + kLastResultFile), kPaymentReply);
  bool closed = false;
  EXPECT_EQ(client->ReadUntilClosed(&closed),
            ovt_test::ServerFrame(0x1, kPaymentReplyUtf8) + ovt_test::kServerClosingFrame);
  EXPECT_TRUE(closed);
}

// safeSend on its own, with a client that reads slowly or goes away.
class SafeSend : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SystemError error;
    listener_ = platform::Socket::CreateTcp(&error);
    ASSERT_TRUE(listener_ && listener_->Bind("", 0, &error) && listener_->Listen(1, &error))
        << error.text;
    client_ = std::make_unique<TcpClient>(listener_->LocalPort());
    ASSERT_TRUE(client_->Connected());
    bool stopped = false;
    server_ = listener_->Accept(nullptr, &stopped, &error);
    ASSERT_NE(server_, nullptr) << error.text;
    g_bResultSaved = 0;
  }
  size_t Count(std::string_view label, std::string_view text) const {
    return ovt_test::CountAgentLog(root_.path(), label, text);
  }
  static std::string Pattern(size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + i / 251);
    return data;
  }

  ovt_test::TempRoot root_;
  std::unique_ptr<platform::Socket> listener_;
  std::unique_ptr<TcpClient> client_;
  std::unique_ptr<platform::Socket> server_;
};

// More than any socket buffer holds: the system takes it in parts.
constexpr size_t kLarge = 16 * 1024 * 1024;

TEST_F(SafeSend, SendsTheRestAfterEveryPartialSend) {
  const std::string data = Pattern(kLarge);
  std::string received;
  std::thread reader([&] { received = client_->Read(kLarge, 120s); });
  const int result = safeSend(*server_, reinterpret_cast<const uint8_t*>(data.data()), data.size());
  reader.join();
  EXPECT_EQ(result, EXIT_SUCCESS);
  EXPECT_TRUE(received == data);
  EXPECT_GT(Count("safeSend", "send() return"), 1u);
  EXPECT_EQ(Count("safeSend", "return EXIT_SUCCESS"), 1u);
}

TEST_F(SafeSend, ConnectionLostMidwayReportsTheCutMessage) {
  const std::string data = Pattern(kLarge);
  std::thread reader([&] {
    client_->Read(1024 * 1024, 120s);
    client_->Reset();
  });
  const int result = safeSend(*server_, reinterpret_cast<const uint8_t*>(data.data()), data.size());
  reader.join();
  EXPECT_EQ(result, EXIT_FAILURE);
  EXPECT_EQ(Count("safeSend", "Written not all bytes"), 1u);
  EXPECT_EQ(Count("safeSend", "return EXIT_FAILURE_2"), 1u);
  EXPECT_EQ(Count("safeSend", "return EXIT_FAILURE_1"), 0u);
}

TEST_F(SafeSend, NothingSentToAClosedBrowserNamesTheStoredResult) {
  const struct {
    int saved;
    const char* line;
  } cases[] = {
      {0, "Websocket Send Fail!"},
      {1, "Websocket Send Fail! (Browser Finish)"},
  };
  client_->Reset();
  for (const auto& c : cases) {
    g_bResultSaved = c.saved;
    const uint8_t frame[] = {0x88, 0x00};
    // The reset has arrived with the first failure; the data of a send
    // made before it never reaches anyone.
    int result = EXIT_SUCCESS;
    for (int i = 0; i < 100 && result == EXIT_SUCCESS; ++i) result = safeSend(*server_, frame, 2);
    EXPECT_EQ(result, EXIT_FAILURE);
    EXPECT_EQ(Count("safeSend", c.line), 1u) << c.line;
  }
  EXPECT_EQ(Count("safeSend", "if (written == -1)"), 2u);
  EXPECT_EQ(Count("safeSend", "return EXIT_FAILURE_1"), 2u);
}

// Without sockets: the port setting and the reply conversion.
TEST(WebsocketPort, ReadFromTheSettingWithItsDefault) {
  const struct {
    const char* file;
    int port;
  } cases[] = {
      {nullptr, 8088},
      {"[HTTP]\r\nServerPortWebsocket=\r\n", 8088},
      {"[HTTP]\r\nServerPortWebsocket=9100\r\n", 9100},
      {"[HTTP]\r\nServerPortWebsocket=80x\r\n", 80},
      {"[HTTP]\r\nServerPortWebsocket=abc\r\n", 0},
  };
  ovt_test::TempRoot root;
  fs::create_directories(root.path() + "/OVVarsel");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file != nullptr ? c.file : "no file");
    if (c.file != nullptr) ovt_test::WriteFile(root.path() + "/OVVarsel/OVVARSEL.ini", c.file);
    WebsocketPortNumber = -7;
    EXPECT_EQ(ReadWebsocketPort(), c.port);
    EXPECT_EQ(WebsocketPortNumber, c.port);
  }
}

TEST(ReplyForBrowser, CodePage949BecomesPrecomposedUtf8) {
  std::string full(kReplyBufferSize, '\0');
  for (size_t i = 0; i + 1 < full.size(); i += 2) full.replace(i, 2, "\xBD\xC2");
  std::string full_utf8;
  for (size_t i = 0; i < kReplyBufferSize / 2; ++i) full_utf8 += "\xEC\x8A\xB9";
  const struct {
    const char* name;
    std::string reply;
    std::string utf8;
  } cases[] = {
      {"empty", std::string(kReplyBufferSize, '\0'), ""},
      {"ascii", "0019VEVU00030005VEVU1", "0019VEVU00030005VEVU1"},
      {"korean", "OK " + kApprovedCp949, "OK " + kApprovedUtf8},
      {"a lead byte without its trail", "A\xBD", "A\xEF\xBF\xBD"},
      // A buffer without its zero is read no further than its size.
      {"full buffer", full, full_utf8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ReplyForBrowser(c.reply.data(), std::min(c.reply.size(), kReplyBufferSize)),
              c.utf8);
  }
}

}  // namespace
}  // namespace agent
