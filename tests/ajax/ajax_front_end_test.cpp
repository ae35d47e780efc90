// The AJAX front end through real loopback connections: both servers in a
// temporary data root, the real link library and print stand-in loaded by
// file name, the terminal simulator on a pseudo-terminal where a payment
// is made. Requests are written by hand and the responses compared byte
// for byte; the agent log is read back where its lines are what the
// behaviour leaves.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ajax/ajax_server.h"
#include "dispatcher/agent_message.h"
#include "dispatcher/last_result.h"
#include "platform/module.h"
#include "support/full_disk.h"
#include "support/simulator.h"
#include "support/temp_root.h"
#include "websocket/ws_test_client.h"

namespace agent {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ovt_test::Simulator;
using ovt_test::TcpClient;

constexpr int kCom = 5;

std::string Vevu(const std::string& data) {
  return Field4(static_cast<long long>(data.size()) + 12) + "VEVU0000" +
         Field4(static_cast<long long>(data.size())) + data;
}

const std::string kApprovedCp949 = "\xBD\xC2\xC0\xCE";  // the Korean word "approved"
const std::string kApprovedUtf8 = "\xEC\x8A\xB9\xEC\x9D\xB8";
// catsim's answer to the payment "D1XY" as the agent stores it (code page
// 949) and as the browser gets it (UTF-8; the length fields count the
// stored bytes).
const std::string kPaymentAnswer = "\x02OK:D1XY " + kApprovedCp949 + "\x03";
const std::string kPaymentReply = Field4(static_cast<long long>(kPaymentAnswer.size()) + 12) +
                                  "VEVU0000" +
                                  Field4(static_cast<long long>(kPaymentAnswer.size())) +
                                  kPaymentAnswer;
const std::string kPaymentReplyUtf8 =
    std::string(kPaymentReply).replace(kPaymentReply.find(kApprovedCp949), 4, kApprovedUtf8);

const std::string kRefusal = "0019VEVU00990005VEVU1";
const std::string kNoCommand = "0022VEVU00140010NO COMMAND";

// The heads the servers give, as the layer writes them for a request that
// asked for "Connection: close".
std::string TextHead(const std::string& status, size_t length) {
  return "HTTP/1.1 " + status +
         "\r\nContent-Type: text/html\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: " +
         std::to_string(length) + "\r\nConnection: close\r\n\r\n";
}
std::string PostHead(size_t length) {
  return "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: " +
         std::to_string(length) + "\r\nConnection: close\r\n\r\n";
}

std::string Request(const std::string& method, const std::string& target,
                    const std::string* body = nullptr) {
  std::string request = method + " " + target +
                        " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  if (body != nullptr) request += "Content-Length: " + std::to_string(body->size()) + "\r\n";
  request += "\r\n";
  if (body != nullptr) request += *body;
  return request;
}

// Every character of `text` as a percent escape, in upper or lower case.
std::string PercentEncoded(const std::string& text, bool lower = false) {
  static const char* kUpper = "0123456789ABCDEF";
  static const char* kLower = "0123456789abcdef";
  const char* digits = lower ? kLower : kUpper;
  std::string out;
  for (unsigned char c : text) {
    out += '%';
    out += digits[c >> 4];
    out += digits[c & 0xF];
  }
  return out;
}

// A listening socket on 127.0.0.1:port, held while the object lives.
class PortHolder {
 public:
  explicit PortHolder(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    held_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            listen(fd_, 1) == 0;
  }
  ~PortHolder() {
    if (fd_ >= 0) close(fd_);
  }
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;
  bool held() const { return held_; }

 private:
  int fd_ = -1;
  bool held_ = false;
};

class AjaxFrontEndTest : public ::testing::Test {
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
    cErrcnt = 0;
  }
  void TearDown() override {
    if (front_) {
      front_->RequestStop();
      EXPECT_TRUE(front_->Join(120000));
      front_.reset();
    }
    platform::testing::SetModuleDirectory("");
    fs::current_path(previous_dir_);
    cErrcnt = 0;
  }

  // The settings file with WebMode 1, the port and `extra_http` lines.
  void WriteSettings(const std::string& extra_http) {
    ovt_test::WriteFile(root_.path() + "/OVVarsel/OVVARSEL.ini",
                        "[CAT]\r\nCatComPort=5\r\nCatComBaud=115200\r\n[HTTP]\r\nWebMode=1\r\n"
                        "ServerPortAjax=" +
                            std::to_string(port_) + "\r\n" + extra_http);
  }
  void AllowGet() { WriteSettings("GET=Y\r\n"); }
  // The libraries cannot be bound: DllLogic leaves every reply empty.
  void WithoutLibraries() {
    fs::create_directories(root_.path() + "/empty");
    platform::testing::SetModuleDirectory(root_.path() + "/empty");
  }

  void Start() {
    front_ = std::make_unique<AjaxFrontEnd>();
    ASSERT_TRUE(front_->Start());
  }

  // One request on a connection of its own: everything that came back
  // until the server closed.
  std::string Exchange(const std::string& request, int offset = 0) {
    TcpClient client(port_ + offset);
    EXPECT_TRUE(client.Connected());
    EXPECT_TRUE(client.Send(request));
    bool closed = false;
    std::string received = client.ReadUntilClosed(&closed);
    EXPECT_TRUE(closed);
    return received;
  }
  std::string Post(const std::string& body, int offset = 0) {
    return Exchange(Request("POST", "/", &body), offset);
  }

  // Files named like staged responses, left in the working directory once
  // `posts` POST requests have been handled to their end (the client may
  // see its response before the server is done with the file).
  std::vector<std::string> StagedFiles(size_t posts) const {
    EXPECT_TRUE(ovt_test::WaitForAgentLogCount(root_.path(), "PostResponse", "Done End", posts));
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(root_.path())) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("New", 0) == 0) names.push_back(name);
    }
    return names;
  }

  std::vector<ovt_test::AgentLogLine> Log() const { return ovt_test::ReadAgentLog(root_.path()); }
  size_t Count(std::string_view label, std::string_view text) const {
    return ovt_test::CountAgentLog(root_.path(), label, text);
  }
  // The texts of the lines with this label, in order.
  std::vector<std::string> Texts(std::string_view label) const {
    std::vector<std::string> texts;
    for (const auto& line : Log()) {
      if (line.label == label) texts.push_back(line.text);
    }
    return texts;
  }

  ovt_test::TempRoot root_;
  fs::path previous_dir_;
  int port_ = 0;
  std::unique_ptr<AjaxFrontEnd> front_;
};

TEST_F(AjaxFrontEndTest, OtherMethodsGetNotImplementedWithTheCorsHeaderOnBothPorts) {
  Start();
  for (int offset : {0, 1}) {
    for (const char* method : {"OPTIONS", "PUT", "DELETE"}) {
      SCOPED_TRACE(std::string(method) + " on P + " + std::to_string(offset));
      EXPECT_EQ(Exchange(Request(method, "/"), offset), TextHead("503 Not Implemented", 0));
    }
  }
  EXPECT_EQ(Count("DoReceive", "Default request"), 6u);
  EXPECT_EQ(Count("AcceptFunc_AJAX", "HttpAddUrl End"), 1u);
  EXPECT_EQ(Count("AcceptFunc_AJAX2", "HttpAddUrl End"), 1u);
}

TEST_F(AjaxFrontEndTest, GetIsServedOnlyWhenTheSettingBeginsWithUpperCaseY) {
  // A stored reply that LAST hands back, in code page 949.
  ovt_test::WriteFile(root_.path() + "/" + kLastResultFile, kPaymentReply);
  const std::string last = "/?" + PercentEncoded(Vevu("LAST"));
  const struct {
    const char* name;
    const char* lines;
    bool served;
  } cases[] = {
      {"absent", "", false},     {"N", "GET=N\r\n", false}, {"lower-case y", "GET=y\r\n", false},
      {"empty", "GET=\r\n", false}, {"Y second", "GET=NY\r\n", false},
      {"Y", "GET=Y\r\n", true},  {"Yes", "GET=Yes\r\n", true},
  };
  Start();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteSettings(c.lines);  // read at every request
    const std::string& body = c.served ? kPaymentReplyUtf8 : kRefusal;
    const size_t dispatched = Texts("DLL_LOGIC").size();
    EXPECT_EQ(Exchange(Request("GET", last)), TextHead("200 OK", body.size()) + body);
    // A refused request never reaches the dispatcher.
    EXPECT_EQ(Texts("DLL_LOGIC").size() > dispatched, c.served);
  }
  EXPECT_EQ(Count("DoReceive", "GET INI FAIL"), 5u);
}

TEST_F(AjaxFrontEndTest, GetQueriesArePercentDecodedBeforeTheDispatcher) {
  AllowGet();
  Start();
  // The query as sent, and the message the dispatcher is handed (the
  // "TEST1234" line).
  const struct {
    std::string query;
    std::string message;
  } cases[] = {
      {"", ""},  // no query at all
      {"?", ""},
      {"?0000XXXX%41%4a", "0000XXXXAJ"},
      {"?0000XXXX" + PercentEncoded("ab", true), "0000XXXXab"},
      {"?0000XXXX+a+b", "0000XXXX+a+b"},
      {"?0000XXXX%00tail", "0000XXXX"},
      {"?0000XXXX\\u0000\\u0000", "0000XXXX\\u0008\\u0008"},
      {"?0000XXXX%5Cu0000", "0000XXXX\\u0008"},  // decoded first, then replaced
      {"?0000XXXX%4", "0000XXXX%4"},
      {"?0000XXXX%", "0000XXXX%"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("query \"" + c.query + "\"");
    const size_t before = Texts("TEST1234").size();
    EXPECT_EQ(Exchange(Request("GET", "/" + c.query)),
              TextHead("200 OK", kNoCommand.size()) + kNoCommand);
    const std::vector<std::string> messages = Texts("TEST1234");
    ASSERT_EQ(messages.size(), before + 1);
    EXPECT_EQ(messages.back(), c.message);
  }
}

TEST_F(AjaxFrontEndTest, LongGetIsFetchedAgainAndDispatchedWhole) {
  AllowGet();
  Start();
  // Longer than the first request buffer and than a 4095-byte message.
  const std::string message = "0000XXXX" + std::string(5000, 'a');
  EXPECT_EQ(Exchange(Request("GET", "/?" + message)),
            TextHead("200 OK", kNoCommand.size()) + kNoCommand);
  EXPECT_EQ(Count("DoReceive", "ERROR_MORE_DATA End"), 1u);
  EXPECT_EQ(Texts("TEST1234"), std::vector<std::string>{message});
  // The next request comes in the larger buffer, as usual.
  EXPECT_EQ(Exchange(Request("GET", "/?0000XXXX")),
            TextHead("200 OK", kNoCommand.size()) + kNoCommand);
}

TEST_F(AjaxFrontEndTest, PostWithAndWithoutBody) {
  ovt_test::WriteFile(root_.path() + "/" + kLastResultFile, kPaymentReply);
  Start();
  // A body: its reply in UTF-8, its length, no Content-Type.
  EXPECT_EQ(Post(Vevu("LAST")), PostHead(kPaymentReplyUtf8.size()) + kPaymentReplyUtf8);
  // Percent escapes in a body are decoded too; "+" stays.
  EXPECT_EQ(Post(PercentEncoded(Vevu("LAST"))),
            PostHead(kPaymentReplyUtf8.size()) + kPaymentReplyUtf8);
  // No body: 200 without one, and the dispatcher is not called.
  const size_t dispatched = Texts("DLL_LOGIC").size();
  EXPECT_EQ(Exchange(Request("POST", "/")), PostHead(0));
  EXPECT_EQ(Texts("DLL_LOGIC").size(), dispatched);
  EXPECT_EQ(Count("PostResponse", "ELSE"), 1u);
  EXPECT_TRUE(StagedFiles(3).empty());
}

TEST_F(AjaxFrontEndTest, ZeroByteInAPostBodyReachesTheDispatcherAs0x08) {
  Start();
  const std::string body = Vevu(std::string("D1\0X", 4));
  const std::string received = Post(body);
  EXPECT_EQ(received.rfind(PostHead(21), 0), 0u) << received;  // a failure reply
  std::vector<std::string> sent = Texts("orvaSend");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], "D1\x08X");
  EXPECT_EQ(Texts("recievedString"), std::vector<std::string>{"0016VEVU00000004D1\x08X"});
  EXPECT_TRUE(StagedFiles(1).empty());
}

TEST_F(AjaxFrontEndTest, EmptyReplyGivesAnEmptyBody) {
  WithoutLibraries();
  AllowGet();
  Start();
  EXPECT_EQ(Post(Vevu("LAST")), PostHead(0));
  EXPECT_EQ(Exchange(Request("GET", "/?" + Vevu("LAST"))), TextHead("200 OK", 0));
  EXPECT_TRUE(StagedFiles(1).empty());
}

TEST_F(AjaxFrontEndTest, PaymentByPostAndStopOnTheNextPort) {
  {
    Simulator sim(root_, kCom, "answer");
    ASSERT_TRUE(sim.Ready()) << sim.Error();
    Start();
    EXPECT_EQ(Post(Vevu("D1XY")), PostHead(kPaymentReplyUtf8.size()) + kPaymentReplyUtf8);
    EXPECT_EQ(ovt_test::ReadFile(root_.path() + "/" + kLastResultFile), kPaymentReply);
  }
  Simulator sim(root_, kCom, "ack-silent");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  TcpClient payment(port_);
  ASSERT_TRUE(payment.Connected());
  const std::string body = Vevu("D1XY");
  ASSERT_TRUE(payment.Send(Request("POST", "/", &body)));
  // The request and our ACK after the terminal's: the answer is awaited.
  ASSERT_TRUE(sim.WaitForReceived(Simulator::RequestFrame("D1XY").size() + 1, 30s));
  EXPECT_EQ(Post(Vevu("STOP"), 1), PostHead(23) + "0019VEVU00070007REQSTOP");
  bool closed = false;
  const std::string received = payment.ReadUntilClosed(&closed);
  EXPECT_TRUE(closed);
  EXPECT_TRUE(received == PostHead(21) + "0019VEVU00030005VEVU1" ||
              received == PostHead(21) + "0019VEVU00040005VEVU1")
      << received;
  EXPECT_TRUE(StagedFiles(3).empty());
}

TEST_F(AjaxFrontEndTest, StopLetsAPaymentFinishAndIsNotCounted) {
  Simulator sim(root_, kCom, "answer", {"--delay", "1500"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  Start();
  TcpClient payment(port_);
  ASSERT_TRUE(payment.Connected());
  const std::string body = Vevu("D1XY");
  ASSERT_TRUE(payment.Send(Request("POST", "/", &body)));
  ASSERT_TRUE(sim.WaitForReceived(Simulator::RequestFrame("D1XY").size(), 30s));
  front_->RequestStop();
  bool closed = false;
  EXPECT_EQ(payment.ReadUntilClosed(&closed),
            PostHead(kPaymentReplyUtf8.size()) + kPaymentReplyUtf8);
  EXPECT_TRUE(closed);
  EXPECT_TRUE(front_->Join(120000));
  EXPECT_EQ(cErrcnt, 0);
  EXPECT_EQ(Count("AcceptFunc_AJAX", "CleanUp End"), 0u);
  EXPECT_EQ(Count("AcceptFunc_AJAX2", "CleanUp End"), 0u);
  EXPECT_EQ(Texts("cErrcnt"), (std::vector<std::string>{"0", "0"}));
  EXPECT_TRUE(ovt_test::ConnectionRefused(port_));
  EXPECT_TRUE(ovt_test::ConnectionRefused(port_ + 1));
}

// A body longer than one piece of the transfer (12,288 bytes) is joined
// and dispatched as one message: a five-digit PRNT of about 15,000 bytes is
// printed whole and answered once.
TEST_F(AjaxFrontEndTest, PostBodyInSeveralPiecesIsOneMessage) {
  Simulator sim(root_, kCom, "printer");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  std::string text;
  while (text.size() < 14980) text += "RECEIPT LINE " + std::to_string(text.size()) + "\n";
  const std::string length = std::to_string(text.size() + 4);
  ASSERT_EQ(length.size(), 5u);
  const std::string body = "0000VEVU0000" + length + "PRNT" + text;
  ASSERT_GT(body.size(), 12288u);
  Start();
  EXPECT_EQ(Post(body), PostHead(16) + "0012VEVU00000000");
  const std::string job = "\x1b@" + text + "\n\n\n\x1dV\x01";
  ASSERT_TRUE(sim.WaitForReceived(job.size(), 30s));
  const std::vector<uint8_t> printed = sim.Received();
  EXPECT_TRUE(printed == std::vector<uint8_t>(job.begin(), job.end()))
      << printed.size() << " bytes printed of " << job.size();
  EXPECT_EQ(Count("DLL_LOGIC", "VEVU - OrvaprintV105 call"), 1u);
}

// A browser that goes away (a tab closed during a payment, a request left
// waiting in the queue) ends its own request, never the server: the port
// keeps answering however many there are, nothing is counted, and the
// payment's reply waits for LAST.
TEST_F(AjaxFrontEndTest, ClientsThatGoAwayAreNotServerFailures) {
  Simulator sim(root_, kCom, "answer", {"--delay", "800"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  Start();
  const std::string last = Vevu("LAST");
  for (int round = 1; round <= 4; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string payment = Vevu("D1R" + std::to_string(round));
    TcpClient paying(port_);
    ASSERT_TRUE(paying.Connected());
    ASSERT_TRUE(paying.Send(Request("POST", "/", &payment)));
    ASSERT_TRUE(sim.WaitForLines("LRC OK", static_cast<size_t>(round), 30s));
    TcpClient queued(port_);
    ASSERT_TRUE(queued.Connected());
    ASSERT_TRUE(queued.Send(Request("POST", "/", &last)));
    paying.Reset();
    queued.Reset();
    // The payment ends with its reply stored, though nobody receives it.
    const std::string answer = Simulator::DefaultAnswer("D1R" + std::to_string(round));
    const std::string stored = Field4(static_cast<long long>(answer.size()) + 14) + "VEVU0000" +
                               Field4(static_cast<long long>(answer.size()) + 2) + "\x02" +
                               answer + "\x03";
    EXPECT_TRUE(ovt_test::WaitForAgentLog(root_.path(), [&](const auto&) {
      return ovt_test::ReadFile(root_.path() + "/" + kLastResultFile) == stored;
    }));
  }
  ASSERT_TRUE(ovt_test::WaitForAgentLogCount(root_.path(), "DoReceive",
                                             "client gone: request ended", 4));
  // Still served, and LAST hands over the last payment nobody received.
  const std::string received = Post(last);
  EXPECT_NE(received.find("OK:D1R4"), std::string::npos) << received;
  EXPECT_EQ(cErrcnt, 0);
  EXPECT_EQ(Count("AcceptFunc_AJAX", "CleanUp Start"), 0u);
}

// On a full disk the temp file of a POST response cannot be made or
// written and the reply cannot be stored; the payment happened all the
// same, so its reply still reaches the browser (from memory), LAST answers
// it, and the server goes on. Once there is room again, replies are staged
// and stored as before.
TEST_F(AjaxFrontEndTest, FullDiskStillAnswersEveryPayment) {
  ovt_test::FullDisk disk(root_.path() + "/full");
  if (!disk.Mounted()) GTEST_SKIP() << disk.Reason();
  Simulator sim(root_, kCom, "answer");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  // The working directory (temp files, the last result) is on the full
  // disk; the log is not, so that what the agent logs can be read.
  fs::current_path(disk.path());
  Start();
  const struct {
    const char* name;
    ovt_test::FullDisk::Fullness fullness;
    const char* line;
  } cases[] = {
      {"no room for a byte", ovt_test::FullDisk::kBlocks,
       "WriteFile Fail: the response is sent from memory"},
      {"no room for a file", ovt_test::FullDisk::kBlocksAndFiles,
       "GetTempFileName Fail: the response is sent from memory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(disk.Fill(c.fullness));
    const size_t lines = Count("PostResponse", c.line);
    EXPECT_EQ(Post(Vevu("D1XY")), PostHead(kPaymentReplyUtf8.size()) + kPaymentReplyUtf8);
    EXPECT_EQ(Count("PostResponse", c.line), lines + 1);
    EXPECT_EQ(Post(Vevu("LAST")), PostHead(kPaymentReplyUtf8.size()) + kPaymentReplyUtf8);
    EXPECT_FALSE(fs::exists(disk.path() + "/" + kLastResultFile));
    disk.Free();
  }
  EXPECT_EQ(Count("DLL_LOGIC", "orvaResult.txt store Fail!"), 2u);
  EXPECT_EQ(cErrcnt, 0);
  EXPECT_EQ(Post(Vevu("D1XY")), PostHead(kPaymentReplyUtf8.size()) + kPaymentReplyUtf8);
  EXPECT_EQ(ovt_test::ReadFile(disk.path() + "/" + kLastResultFile), kPaymentReply);
}

// With AllowedOrigins, a request from a page of another origin, or one
// whose Host is not this server on the loopback address or localhost (a
// host name of an attacker that resolves here), is answered 403 and never
// reaches the dispatcher. Without the setting, any Origin and Host are
// served as before.
TEST_F(AjaxFrontEndTest, AllowedOriginsRefuseOtherPagesAndHosts) {
  ovt_test::WriteFile(root_.path() + "/" + kLastResultFile, kPaymentReply);
  const std::string served = PostHead(kPaymentReplyUtf8.size()) + kPaymentReplyUtf8;
  const std::string refused = TextHead("403 Forbidden", 0);
  const std::string here = "127.0.0.1:" + std::to_string(port_);
  const std::string listed = "AllowedOrigins=https://pos.example.com http://localhost:3000\r\n";
  const struct {
    std::string setting;
    std::string host;
    std::string origin;  // "" for none
    const std::string& answer;
  } cases[] = {
      {"", "evil.test:" + std::to_string(port_), "https://evil.test", served},
      {listed, here, "https://pos.example.com", served},
      {listed, "localhost:" + std::to_string(port_), "http://localhost:3000", served},
      {listed, here, "", served},
      {listed, here, "https://evil.test", refused},
      {listed, here, "null", refused},
      {listed, "evil.test:" + std::to_string(port_), "https://pos.example.com", refused},
      {listed, "evil.test:" + std::to_string(port_), "", refused},
      {listed, "127.0.0.1:" + std::to_string(port_ + 1), "https://pos.example.com", refused},
  };
  Start();
  const std::string body = Vevu("LAST");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting + c.host + " " + c.origin);
    WriteSettings("[SECURITY]\r\n" + c.setting);  // read at every request
    std::string request = "POST / HTTP/1.1\r\nHost: " + c.host + "\r\nConnection: close\r\n";
    if (!c.origin.empty()) request += "Origin: " + c.origin + "\r\n";
    request += "Content-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\n\r\n" + body;
    EXPECT_EQ(Exchange(request), c.answer);
  }
  EXPECT_EQ(Count("DLL_LOGIC", "LASTDATA"), 4u);
  EXPECT_EQ(Count("DoReceive", "Origin or Host not allowed: 403"), 5u);
  EXPECT_EQ(cErrcnt, 0);
}

TEST_F(AjaxFrontEndTest, ThirdCountedEndIsNotFollowedByARestart) {
  // Both ports held by another program: every run fails to register its
  // URL. The servers end by themselves, without a stop.
  PortHolder first(port_);
  PortHolder second(port_ + 1);
  ASSERT_TRUE(first.held() && second.held());
  Start();
  ASSERT_TRUE(front_->Join(120000));
  // Two runs that ran again (counts 1 and 2), and the last run of each
  // server (counts 3 and 4).
  EXPECT_EQ(Texts("cErrcnt"), (std::vector<std::string>{"1", "2", "3", "4"}));
  EXPECT_EQ(Count("AcceptFunc_AJAX", "Start") + Count("AcceptFunc_AJAX2", "Start"), 4u);
  EXPECT_EQ(Count("AcceptFunc_AJAX", "CleanUp End") + Count("AcceptFunc_AJAX2", "CleanUp End"),
            2u);
  EXPECT_EQ(Count("AcceptFunc_AJAX", "HttpAddUrl Fail") +
                Count("AcceptFunc_AJAX2", "HttpAddUrl Fail"),
            4u);
  EXPECT_EQ(Texts("cDoResult"), (std::vector<std::string>{"183", "183", "183", "183"}));
  EXPECT_EQ(cErrcnt, 4);
}

}  // namespace
}  // namespace agent
