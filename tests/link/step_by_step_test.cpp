#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catcomm_protocol.h"

namespace telquin {
namespace {

struct RecordingEffects final : StepEffects {
  std::vector<std::string> logs;
  int answer_acks = 0;
  int queue_emptied = 0;
  void Log(const char* text) override { logs.emplace_back(text); }
  void SendAnswerAck() override { ++answer_acks; }
  void EmptyQueue() override { ++queue_emptied; }
};

struct Machine {
  RecvState state;
  RecordingEffects fx;
  std::vector<int> outcomes;

  explicit Machine(const std::string& bytes) {
    state.ResetLink();
    for (unsigned char b : bytes) outcomes.push_back(StepByStep(state, b, fx));
  }
  std::string Received() const {
    std::string s(static_cast<size_t>(state.m_nRecvLen.load()), '\0');
    state.m_szRecvMsg.CopyOut(s.data(), state.m_nRecvLen);
    return s;
  }
  int LastOutcome() const { return outcomes.empty() ? 0 : outcomes.back(); }
};

struct Case {
  const char* name;
  std::string bytes;
  int step, ack, result, last_outcome, acks_sent;
  std::string received;
  std::vector<std::string> logs;
};

const std::string kAck = "\x06", kNak = "\x15", kEot = "\x04", kStx = "\x02", kEtx = "\x03";

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class StepByStepTable : public ::testing::TestWithParam<Case> {};

TEST_P(StepByStepTable, EndsInTheExpectedState) {
  const Case& c = GetParam();
  Machine run(c.bytes);
  EXPECT_EQ(run.state.m_nStep, c.step);
  EXPECT_EQ(run.state.m_nAckStatus, c.ack);
  EXPECT_EQ(run.state.m_nResult, c.result);
  EXPECT_EQ(run.LastOutcome(), c.last_outcome);
  EXPECT_EQ(run.fx.answer_acks, c.acks_sent);
  EXPECT_EQ(run.fx.queue_emptied, c.acks_sent);
  EXPECT_EQ(run.Received(), c.received);
  EXPECT_EQ(run.fx.logs, c.logs);
}

INSTANTIATE_TEST_SUITE_P(
    Transitions, StepByStepTable,
    ::testing::Values(
        Case{"answer", kAck + kStx + "AB" + kEtx, 10, 1, 2, 1, 1, kStx + "AB" + kEtx,
             {"CASE10 recv ack", "CASE11 recv stx", "CASE15 recv etx", "CASE15 send ack"}},
        Case{"answer_without_ack", kStx + "AB" + kEtx, 10, 0, 2, 1, 1, kStx + "AB" + kEtx,
             {"CASE10 recv stx", "CASE15 recv etx", "CASE15 send ack"}},
        Case{"noise_before_stx_is_discarded", "ZZ" + kStx + "A" + kEtx, 10, 0, 2, 1, 1,
             kStx + "A" + kEtx, {"CASE10 recv stx", "CASE15 recv etx", "CASE15 send ack"}},
        Case{"at_sign_acknowledges_and_stays", "@", 10, 1, 0, 0, 0, "@", {}},
        Case{"bytes_after_at_sign_are_kept", "X@Y", 10, 1, 0, 0, 0, "X@Y", {}},
        Case{"nak_refuses", kNak, 0, 2, 0, 4, 0, "", {"CASE10 recv nak"}},
        Case{"after_nak_everything_is_ignored", kNak + kAck + kStx + "A" + kEtx, 0, 2, 0, 0, 0,
             "", {"CASE10 recv nak"}},
        Case{"eot_before_ack_cancels", kEot, 10, 2, 0, 3, 0, "", {"CASE10 recv eot"}},
        Case{"eot_after_ack_cancels", kAck + kEot, 11, 2, 0, 3, 0, "",
             {"CASE10 recv ack", "CASE11 recv eot"}},
        Case{"nak_after_ack_is_ignored", kAck + kNak, 11, 1, 0, 0, 0, "", {"CASE10 recv ack"}},
        Case{"bytes_before_stx_after_ack_are_ignored", kAck + "ZZ", 11, 1, 0, 0, 0, "",
             {"CASE10 recv ack"}},
        Case{"stx_inside_a_frame_is_data", kAck + kStx + "A" + kStx + "B" + kEtx, 10, 1, 2, 1, 1,
             kStx + "A" + kStx + "B" + kEtx,
             {"CASE10 recv ack", "CASE11 recv stx", "CASE15 recv etx", "CASE15 send ack"}},
        Case{"eot_and_nak_inside_a_frame_are_data", kAck + kStx + kEot + kNak + kEtx, 10, 1, 2,
             1, 1, kStx + kEot + kNak + kEtx,
             {"CASE10 recv ack", "CASE11 recv stx", "CASE15 recv etx", "CASE15 send ack"}},
        Case{"eot_after_a_complete_answer_keeps_it", kAck + kStx + "A" + kEtx + kEot, 10, 1, 2,
             1, 1, kStx + "A" + kEtx,
             {"CASE10 recv ack", "CASE11 recv stx", "CASE15 recv etx", "CASE15 send ack",
              "CASE10 recv eot"}},
        Case{"partial_answer", kAck + kStx + "AB", 15, 1, 1, 0, 0, kStx + "AB",
             {"CASE10 recv ack", "CASE11 recv stx"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StepByStep, AnswerLongerThanTheBufferFailsInsteadOfBeingCut) {
  std::string bytes = kAck + kStx + std::string(kRecvMsgSize - 1, 'x');
  Machine fits(bytes + kEtx);
  EXPECT_EQ(fits.state.m_nResult, kResultStarted) << "3001st byte must not be stored";
  EXPECT_EQ(fits.LastOutcome(), kOutcomeRefused);
  EXPECT_EQ(fits.state.m_nStep, kStepRefused);
  EXPECT_EQ(fits.state.m_nRecvLen, 0);
  EXPECT_EQ(fits.fx.answer_acks, 0);

  // One byte shorter fits exactly: STX, 2998 bytes, ETX.
  Machine exact(kAck + kStx + std::string(kRecvMsgSize - 2, 'x') + kEtx);
  EXPECT_EQ(exact.state.m_nResult, kResultComplete);
  EXPECT_EQ(exact.state.m_nRecvLen, kRecvMsgSize);
}

TEST(StepByStep, NoiseBeyondTheBufferIsDropped) {
  Machine run(std::string(kRecvMsgSize + 500, 'z'));
  EXPECT_EQ(run.state.m_nRecvLen, kRecvMsgSize);
  EXPECT_EQ(run.state.m_nStep, kStepWaiting);
}

TEST(BuildRequest, FramesAndRawCommands) {
  struct {
    std::string text;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"ABC", {0x02, 0x41, 0x42, 0x43, 0x03, 0x17, 0x43}},
      {"", {0x02, 0x03, 0x17, 0x03}},
      {"***X", {0x2A, 0x2A, 0x2A, 0x58}},
  };
  for (const auto& c : cases) {
    uint8_t out[kSendBufSize];
    const int n = BuildRequest(c.text.c_str(), out);
    ASSERT_GE(n, 0) << c.text;
    EXPECT_EQ(std::vector<uint8_t>(out, out + n), c.bytes) << c.text;
  }
}

TEST(BuildRequest, RefusesWhatDoesNotFitTheSendBuffer) {
  uint8_t out[kSendBufSize];
  EXPECT_EQ(BuildRequest(std::string(kMaxFramedText, 'a').c_str(), out), kSendBufSize);
  EXPECT_EQ(out[kSendBufSize - 1], Lrc(out + 1, kMaxFramedText + 1));
  EXPECT_EQ(BuildRequest(std::string(kMaxFramedText + 1, 'a').c_str(), out), -1);
  const std::string raw = "***" + std::string(kMaxRawText - 3, 'r');
  EXPECT_EQ(BuildRequest(raw.c_str(), out), kSendBufSize);
  EXPECT_EQ(BuildRequest((raw + "r").c_str(), out), -1);
}

}  // namespace
}  // namespace telquin
