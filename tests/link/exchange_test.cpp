// Whole exchanges through the exported functions, against the terminal
// simulator on a pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Telquin.h"
#include "link_timing.h"
#include "support/simulator.h"
#include "support/temp_root.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ovt_test::Simulator;
using std::chrono::milliseconds;

constexpr int kCom = 5;
constexpr int kBaud = 115200;
constexpr uint8_t kAck = 0x06, kEot = 0x04;

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}
Bytes Repeat(uint8_t b, size_t n) { return Bytes(n, b); }
std::string Text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// Lines written by the caller's thread, and those of the reader thread;
// each in its own order (the two threads interleave freely).
struct SplitLog {
  std::vector<std::string> caller, reader;
};
SplitLog Split(const std::vector<std::string>& entries) {
  SplitLog log;
  for (const std::string& e : entries) {
    const bool reader = e.rfind("STEPBYSTEP|", 0) == 0 || e.rfind("ResutSign|", 0) == 0;
    (reader ? log.reader : log.caller).push_back(e);
  }
  return log;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Exchanges with shortened waits: the answer time-out is 1.5 s instead of
// 100 s and Close_Port sleeps 100 ms, so a failing path takes a moment.
class Exchange : public ::testing::Test {
 protected:
  void SetUp() override {
    telquin::LinkTimings fast;
    fast.answer_timeout_ms = 1500;
    fast.eot_spacing_ms = 100;
    fast.close_sleep_ms = 100;
    telquin::testing::SetTimings(fast);
    std::memset(response_, 'U', sizeof response_);
  }
  void TearDown() override { telquin::testing::SetTimings(telquin::LinkTimings{}); }

  bool ResponseUntouched() const {
    return std::all_of(std::begin(response_), std::end(response_), [](char c) { return c == 'U'; });
  }

  ovt_test::TempRoot root_;
  char response_[TELQUIN_RESPONSE_SIZE + 16];
};

TEST_F(Exchange, AnswerIsHandedBackAndAcknowledged) {
  Simulator sim(root_.path(), kCom, "answer");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  ASSERT_EQ(ReqToCat_WS(kCom, kBaud, "ABC", response_, 5), 1);

  const std::string answer = Text(Simulator::AnswerFrame(Simulator::DefaultAnswer("ABC")));
  const std::string frame = answer.substr(0, answer.size() - 1);  // without the LRC
  EXPECT_EQ(std::string(response_), frame);
  EXPECT_EQ(response_[frame.size()], '\0');

  // The request frame, the ACK for the terminal's ACK, and ACK ACK ACK.
  const Bytes expected = Concat({Simulator::RequestFrame("ABC"), Repeat(kAck, 4)});
  ASSERT_TRUE(sim.WaitForReceived(expected.size(), milliseconds(2000)));
  EXPECT_EQ(sim.Received(), expected);
  EXPECT_TRUE(Contains(sim.RecordLines(), "LRC OK"));

  const SplitLog log = Split(root_.LinkLogEntries());
  const std::string rule(63, '=');
  const std::vector<std::string> caller = {
      "=========|" + rule, "DLLVER|4.0.0.4", "DLLDATE|22.7.13.1", "ReqToCat_WS|Start!",
      "Port|5", "Baud|115200", "SenBuf|ABC", "m_bConnected Chk|Start!",
      "m_bConnected Chk|OK!", "Initial RecvMsg|", "OpenPort Chk|Start!", "OpenPort Chk|OK!",
      "SendMsg|ABC", "send_packet Chk|Start!", "send_packet Chk|OK!", "RecvAck Chk|Start!",
      "RecvAck|RecvAck Start!", "RecvAck|RecvAck Start while Loop!", "RecvAck|RecvAck",
      "RecvAck|RecvAck End while Loop!", "RecvAck|RecvAck Finish!", "RecvAck Chk|OK!",
      "*** Chk|Start!", "*** Chk|NO!", "ReadAnal Chk|Start!", "ReadAnal|ReadAnal Start!",
      "ReadAnal|ReadAnal sendack 2,3,4", "ReadAnal|ReadAnal Finish!", "ReadAnal Chk|OK!",
      "ETX Chk|Start!", "ETX Chk|OK!",
      "RecvMsg Length|Length [" + std::to_string(frame.size()) + "]",
      "Final RecvMsg|" + frame, "Close_Port|1 Close OK!", "Return|1", "ReqToCat_WS|End!",
      "=========|" + rule};
  EXPECT_EQ(log.caller, caller);
  const std::vector<std::string> reader = {
      "STEPBYSTEP|CASE10 recv ack", "STEPBYSTEP|CASE11 recv stx", "STEPBYSTEP|CASE15 recv etx",
      "STEPBYSTEP|CASE15 send ack", "ResutSign|ResutSign input rtn 1 OK!"};
  EXPECT_EQ(log.reader, reader);

  // The port numbers on the lines that carry them.
  const auto lines = root_.LinkLogLines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
    return l.substr(20, 29) == "[000005] [Close_Port       ] " &&
           l.substr(49) == "[1 Close OK!]";
  }));
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
    return l.substr(20) == "[009999] [Return           ] [1]";
  }));
}

TEST_F(Exchange, ReqToCatNamesItselfAndPortsFromTenUseTheLongName) {
  Simulator sim(root_.path(), 12, "answer", {"--answer", "HI"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  ASSERT_EQ(ReqToCat(12, 9600, "X", response_), 1);
  EXPECT_EQ(std::string(response_), "\x02HI\x03");
  const auto entries = root_.LinkLogEntries();
  EXPECT_TRUE(Contains(entries, "ReqToCat|Start!"));
  EXPECT_TRUE(Contains(entries, "ReqToCat|End!"));
}

struct Outcome {
  const char* scenario;
  int ack_seconds;
  int code;
  std::string error_line;    // the ERROR line's text ("" for success)
  Bytes after_request;       // what the terminal receives after the request
  std::string response;      // on success: the response text
};

void PrintTo(const Outcome& o, std::ostream* os) { *os << o.scenario; }

class Outcomes : public Exchange, public ::testing::WithParamInterface<Outcome> {};

TEST_P(Outcomes, ReturnCodeBytesOnTheLineAndLog) {
  const Outcome& o = GetParam();
  Simulator sim(root_.path(), kCom, o.scenario, {"--answer", "DATA1234"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  EXPECT_EQ(ReqToCat_WS(kCom, kBaud, "REQ", response_, o.ack_seconds), o.code);

  const Bytes expected = Concat({Simulator::RequestFrame("REQ"), o.after_request});
  sim.WaitForReceived(expected.size() + 1, milliseconds(300));  // nothing more may come
  EXPECT_EQ(sim.Received(), expected);

  const auto entries = root_.LinkLogEntries();
  EXPECT_TRUE(Contains(entries, "Return|" + std::to_string(o.code)));
  if (o.code == 1) {
    EXPECT_EQ(std::string(response_), o.response);
    EXPECT_TRUE(Contains(entries, "Close_Port|1 Close OK!"));
  } else {
    EXPECT_TRUE(Contains(entries, "ERROR|" + o.error_line));
    EXPECT_TRUE(ResponseUntouched());
  }
}

const Bytes kFrameAck = {kAck};
const Bytes kEots = {kEot, kEot, kEot};

INSTANTIATE_TEST_SUITE_P(
    Scenarios, Outcomes,
    ::testing::Values(
        Outcome{"nak", 2, -3, "-3 Ack error!", {}, ""},
        Outcome{"eot", 2, -3, "-3 Ack error!", {}, ""},
        Outcome{"silent", 0, -3, "-3 Ack error!", {}, ""},
        Outcome{"ack-eot", 2, -4, "-4 lrc, cancel!", Concat({kFrameAck, kEots}), ""},
        // A NAK after the acknowledgement is ignored: nothing usable comes.
        Outcome{"ack-nak", 2, -4, "-4 lrc, cancel!", Concat({kFrameAck, kEots}), ""},
        Outcome{"ack-silent", 2, -4, "-4 lrc, cancel!", Concat({kFrameAck, kEots}), ""},
        Outcome{"ack-partial", 2, 0, "0 Time Out!", Concat({kFrameAck, kEots}), ""},
        Outcome{"at-ack", 2, 1, "", Repeat(kAck, 4), "\x02" "DATA1234\x03"},
        Outcome{"noise", 2, 1, "", Repeat(kAck, 4), "\x02" "DATA1234\x03"},
        // Trailing bytes after the ETX are dropped; ACK ACK ACK goes once.
        Outcome{"trailing", 2, 1, "", Repeat(kAck, 4), "\x02" "DATA1234\x03"},
        Outcome{"ack-then-answer-one-write", 2, 1, "", Repeat(kAck, 4), "\x02" "DATA1234\x03"}),
    [](const auto& info) {
      std::string name = info.param.scenario;
      std::replace(name.begin(), name.end(), '-', '_');
      return name;
    });

TEST_F(Exchange, EotAfterTheAckIsNoticedAndLogged) {
  Simulator sim(root_.path(), kCom, "ack-eot");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  ASSERT_EQ(ReqToCat_WS(kCom, kBaud, "REQ", response_, 2), -4);
  const SplitLog log = Split(root_.LinkLogEntries());
  EXPECT_TRUE(Contains(log.reader, "STEPBYSTEP|CASE11 recv eot"));
  EXPECT_TRUE(Contains(log.reader, "ResutSign|ResutSign input rtn 3 (recv eot) , sendack 3"));
  // The caller's last lines; no Close_Port line is written on a failure.
  const std::vector<std::string> expected = {
      "ReadAnal|ReadAnal Start!", "ReadAnal|ReadAnal ackrecv != 1", "ReadAnal|ReadAnal itimeover",
      "ReadAnal|eot - Cat Cancel (sendack 3)", "ReadAnal|ReadAnal return 0",
      "ReadAnal Chk|Fail!", "ERROR|-4 lrc, cancel!", "Return|-4", "RecvMsg Length|Length [0]",
      "RecvMsg|"};
  ASSERT_GE(log.caller.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(log.caller.end() - expected.size(), log.caller.end()),
            expected);
}

TEST_F(Exchange, PartialAnswerTimesOutWithWhatArrivedInTheLog) {
  Simulator sim(root_.path(), kCom, "ack-partial", {"--answer", "ABCDEFGH"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  ASSERT_EQ(ReqToCat_WS(kCom, kBaud, "REQ", response_, 2), 0);
  const auto entries = root_.LinkLogEntries();
  EXPECT_TRUE(Contains(entries, "ReadAnal|ReadAnal return -1"));
  EXPECT_TRUE(Contains(entries, "RecvMsg Length|Length [5]"));
  EXPECT_TRUE(Contains(entries, "RecvMsg|\x02" "ABCD"));
}

TEST_F(Exchange, RawCommandReturnsWhatArrivedWithoutAcknowledging) {
  Simulator sim(root_.path(), kCom, "answer");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  ASSERT_EQ(ReqToCat_WS(kCom, kBaud, "***VER", response_, 2), 1);
  // The terminal's ACK ends the wait and is not part of the answer.
  EXPECT_EQ(std::string(response_), "TQSIM OK");
  sim.WaitForReceived(7, milliseconds(300));
  EXPECT_EQ(Text(sim.Received()), "***VER");
  const auto entries = root_.LinkLogEntries();
  EXPECT_TRUE(Contains(entries, "RecvMsg Length|Length [8]"));
  EXPECT_TRUE(Contains(entries, "RecvMsg|TQSIM OK"));
  EXPECT_FALSE(Contains(entries, "*** Chk|NO!"));
}

TEST_F(Exchange, PortThatCannotBeOpened) {
  ASSERT_EQ(ReqToCat_WS(kCom, kBaud, "REQ", response_, 2), -1);
  EXPECT_TRUE(ResponseUntouched());
  const auto entries = root_.LinkLogEntries();
  EXPECT_TRUE(Contains(entries, "ERROR|-1 port open error!"));
  EXPECT_TRUE(Contains(entries, "Return|-1"));
}

TEST_F(Exchange, DeviceHeldByAnotherProgramThenFree) {
  {
    Simulator holder(root_.path(), kCom, "answer", {"--hold"});
    ASSERT_TRUE(holder.Ready()) << holder.Error();
    EXPECT_EQ(ReqToCat_WS(kCom, kBaud, "REQ", response_, 2), -1);
    EXPECT_TRUE(ResponseUntouched());
  }
  Simulator sim(root_.path(), kCom, "answer");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  EXPECT_EQ(ReqToCat_WS(kCom, kBaud, "REQ", response_, 2), 1);
}

TEST_F(Exchange, RequestsThatCannotBeSentAreRefusedBeforeThePort) {
  Simulator sim(root_.path(), kCom, "answer");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const std::string framed_max(1020, 'F');
  const std::string framed_over = framed_max + "F";
  const std::string raw_over = "***" + std::string(1022, 'R');
  struct {
    const char* request;
    int baud;
    int code;
    const char* error;
  } cases[] = {
      {nullptr, kBaud, -1, "-1 null argument!"},
      {framed_over.c_str(), kBaud, -1, "-1 request too long!"},
      {raw_over.c_str(), kBaud, -1, "-1 request too long!"},
      {"REQ", 0, -1, "-1 port open error!"},
      {"REQ", -115200, -1, "-1 port open error!"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReqToCat_WS(kCom, c.baud, c.request, response_, 2), c.code) << c.error;
    EXPECT_TRUE(Contains(root_.LinkLogEntries(), std::string("ERROR|") + c.error)) << c.error;
  }
  EXPECT_TRUE(ResponseUntouched());
  EXPECT_TRUE(sim.Received().empty());
  // The longest requests that fit still go out whole.
  ASSERT_EQ(ReqToCat_WS(kCom, kBaud, framed_max.c_str(), response_, 2), 1);
  ASSERT_TRUE(sim.WaitForReceived(1024, milliseconds(2000)));
  const Bytes received = sim.Received();
  EXPECT_EQ(Bytes(received.begin(), received.begin() + 1024), Simulator::RequestFrame(framed_max));
}

TEST_F(Exchange, ASecondCallWhileOneRunsIsRefusedAtOnce) {
  Simulator sim(root_.path(), kCom, "answer", {"--delay", "600"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  std::atomic<int> first{99};
  std::thread runner([&] {
    char own[TELQUIN_RESPONSE_SIZE];
    first = ReqToCat_WS(kCom, kBaud, "ONE", own, 5);
  });
  ASSERT_TRUE(sim.WaitForReceived(Simulator::RequestFrame("ONE").size(), milliseconds(5000)));
  EXPECT_EQ(ReqToCat_WS(kCom, kBaud, "TWO", response_, 5), -2);
  EXPECT_TRUE(ResponseUntouched());
  runner.join();
  EXPECT_EQ(first, 1) << "the running exchange is left untouched";
  EXPECT_TRUE(Contains(root_.LinkLogEntries(), "ERROR|-2 m_bConnected == TRUE"));
}

TEST_F(Exchange, OfTwoCallsStartedTogetherOneIsRefused) {
  Simulator sim(root_.path(), kCom, "answer");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  for (int round = 0; round < 5; ++round) {
    std::atomic<int> go{0};
    int codes[2] = {0, 0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 2; ++i) {
      callers.emplace_back([&, i] {
        char own[TELQUIN_RESPONSE_SIZE];
        go.fetch_add(1);
        while (go.load() < 2) std::this_thread::yield();
        codes[i] = ReqToCat_WS(kCom, kBaud, "SAME", own, 5);
      });
    }
    for (auto& t : callers) t.join();
    std::sort(std::begin(codes), std::end(codes));
    EXPECT_EQ(codes[0], -2) << "round " << round;
    EXPECT_EQ(codes[1], 1) << "round " << round;
  }
}

TEST_F(Exchange, ReqStopWhileWaitingForTheAck) {
  Simulator sim(root_.path(), kCom, "silent");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  std::atomic<int> code{99};
  std::thread runner([&] { code = ReqToCat_WS(kCom, kBaud, "REQ", response_, 3); });
  ASSERT_TRUE(sim.WaitForReceived(Simulator::RequestFrame("REQ").size(), milliseconds(5000)));
  EXPECT_EQ(ReqStop(), 1);
  runner.join();
  EXPECT_EQ(code, -3);
  EXPECT_TRUE(ResponseUntouched());
  // ReqStop's EOT; the exchange's own closing finds the port closed.
  sim.WaitForReceived(7, milliseconds(300));
  EXPECT_EQ(sim.Received(), Concat({Simulator::RequestFrame("REQ"), {kEot}}));
}

TEST_F(Exchange, ReqStopWhileWaitingForTheAnswer) {
  Simulator sim(root_.path(), kCom, "ack-silent");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  telquin::LinkTimings slow_answer = telquin::Timings();
  slow_answer.answer_timeout_ms = 60000;
  telquin::testing::SetTimings(slow_answer);
  std::atomic<int> code{99};
  std::thread runner([&] { code = ReqToCat_WS(kCom, kBaud, "REQ", response_, 5); });
  const Bytes sent = Concat({Simulator::RequestFrame("REQ"), {kAck}});
  ASSERT_TRUE(sim.WaitForReceived(sent.size(), milliseconds(5000)));
  EXPECT_EQ(ReqStop(), 1);
  runner.join();
  EXPECT_EQ(code, -4);
  sim.WaitForReceived(sent.size() + 2, milliseconds(300));
  EXPECT_EQ(sim.Received(), Concat({sent, {kEot}}));
}

TEST_F(Exchange, ReqStopWithoutAnExchangeChangesNothing) {
  EXPECT_EQ(ReqStop(), 1);
  Simulator sim(root_.path(), kCom, "answer");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  EXPECT_EQ(ReqStop(), 1);
  EXPECT_TRUE(sim.Received().empty());
  EXPECT_EQ(ReqToCat_WS(kCom, kBaud, "REQ", response_, 2), 1);
}

TEST_F(Exchange, SimulatorGoneMidAnswer) {
  // The far end disappears while the library waits: the reader must sleep,
  // not spin, and the exchange ends by its time-out.
  Simulator sim(root_.path(), kCom, "ack-silent");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  std::atomic<int> code{99};
  std::thread runner([&] { code = ReqToCat_WS(kCom, kBaud, "REQ", response_, 5); });
  ASSERT_TRUE(sim.WaitForReceived(Simulator::RequestFrame("REQ").size() + 1, milliseconds(5000)));
  sim.Stop();
  runner.join();
  EXPECT_EQ(code, -4);
}

// The product's own waits, once: a terminal that never acknowledges.
TEST(ExchangeOnProductTimings, AckTimeoutOnRealTime) {
  telquin::testing::SetTimings(telquin::LinkTimings{});
  ovt_test::TempRoot root;
  Simulator sim(root.path(), kCom, "silent");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  char response[TELQUIN_RESPONSE_SIZE];
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ReqToCat_WS(kCom, kBaud, "REQ", response, 1), -3);
  const auto took = std::chrono::steady_clock::now() - start;
  // Not a timing assertion: the 1-second ack wait and the 1-second close
  // cannot both have been skipped.
  EXPECT_GE(took, milliseconds(2000));
  const auto entries = root.LinkLogEntries();
  EXPECT_TRUE(Contains(entries, "RecvAck|TimeOut"));
  EXPECT_TRUE(Contains(entries, "RecvAck|RecvAck TimeOut Finish!"));
}

}  // namespace
