#include <cstring>

#include "catcomm.h"
#include "catcomm_protocol.h"
#include "link_log.h"
#include "link_timing.h"
#include "platform/clock.h"
#include "platform/desktop.h"

namespace telquin {

void RecvBuffer::Clear() {
  for (auto& cell : m_cells) cell.store(0, std::memory_order_relaxed);
}

void RecvBuffer::CopyOut(char* out, int count) const {
  if (count > kRecvMsgSize) count = kRecvMsgSize;
  for (int i = 0; i < count; ++i) out[i] = static_cast<char>(Load(i));
}

std::string RecvBuffer::CString() const {
  std::string s;
  for (int i = 0; i < kRecvMsgSize; ++i) {
    const uint8_t b = Load(i);
    if (b == 0) break;
    s.push_back(static_cast<char>(b));
  }
  return s;
}

void RecvState::ResetLink() {
  m_nStep = kStepWaiting;
  m_nRecvLen = 0;
  m_nResult = kResultNone;
  m_nAckStatus = kAckNone;
}

namespace {

void Refuse(RecvState& s) {
  s.m_bWaiting = 0;
  s.m_nAckStatus = kAckRefused;
  s.m_nRecvLen = 0;
}

// Stores the byte behind the others. False when the buffer is full.
bool Append(RecvState& s, uint8_t byte) {
  const int len = s.m_nRecvLen.load(std::memory_order_relaxed);
  if (len < 0 || len >= kRecvMsgSize) return false;
  s.m_szRecvMsg.Store(len, byte);
  s.m_nRecvLen.store(len + 1, std::memory_order_release);
  return true;
}

void StartFrame(RecvState& s, uint8_t stx) {
  s.m_nRecvLen = 0;
  Append(s, stx);
  s.m_nResult = kResultStarted;
  s.m_nStep = kStepInFrame;
}

}  // namespace

// State | byte (and condition)        | actions                        | next | outcome
// 10    | ACK, ack status 0           | ack status 1                   | 11   | 0
// 10    | NAK, ack status 0           | refuse                         | 0    | 4
// 10    | STX                         | restart the buffer with STX    | 15   | 0
// 10    | EOT, result 2               | -                              | 10   | 1
// 10    | EOT, result not 2           | refuse                         | 10   | 3
// 10    | 0x40                        | append; ack status 1           | 10   | 0
// 10    | other                       | append                         | 10   | 0
// 11    | NAK, ack status 0           | refuse                         | 0    | 4
// 11    | STX                         | restart the buffer with STX    | 15   | 0
// 11    | EOT                         | refuse                         | 11   | 3
// 11    | other                       | ignored                        | 11   | 0
// 15    | ETX                         | append; ACK x3; empty queue;   | 10   | 1
//       |                             | result 2                       |      |
// 15    | other                       | append                         | 15   | 0
// 0     | any                         | ignored                        | 0    | 0
//
// Bytes beyond the 3000-byte buffer: before a frame they are dropped (they
// would be discarded by the STX anyway); inside a frame the answer cannot be
// delivered whole, so the frame is refused like a NAK and the exchange
// fails and cancels rather than hand back a cut answer.
int StepByStep(RecvState& s, uint8_t byte, StepEffects& fx) {
  switch (s.m_nStep.load()) {
    case kStepWaiting:
      if (byte == kACK && s.m_nAckStatus == kAckNone) {
        fx.Log("CASE10 recv ack");
        s.m_nAckStatus = kAcked;
        s.m_nStep = kStepAcked;
        return kOutcomeNothing;
      }
      if (byte == kNAK && s.m_nAckStatus == kAckNone) {
        fx.Log("CASE10 recv nak");
        Refuse(s);
        s.m_nStep = kStepRefused;
        return kOutcomeRefused;
      }
      if (byte == kSTX) {
        fx.Log("CASE10 recv stx");
        StartFrame(s, byte);
        return kOutcomeNothing;
      }
      if (byte == kEOT) {
        fx.Log("CASE10 recv eot");
        if (s.m_nResult == kResultComplete) return kOutcomeComplete;
        Refuse(s);
        return kOutcomeCancelled;
      }
      Append(s, byte);
      if (byte == kAtSign) s.m_nAckStatus = kAcked;
      return kOutcomeNothing;

    case kStepAcked:
      if (byte == kNAK && s.m_nAckStatus == kAckNone) {
        fx.Log("CASE11 recv nak");
        Refuse(s);
        s.m_nStep = kStepRefused;
        return kOutcomeRefused;
      }
      if (byte == kSTX) {
        fx.Log("CASE11 recv stx");
        StartFrame(s, byte);
        return kOutcomeNothing;
      }
      if (byte == kEOT) {
        fx.Log("CASE11 recv eot");
        Refuse(s);
        return kOutcomeCancelled;
      }
      return kOutcomeNothing;

    case kStepInFrame:
      if (!Append(s, byte)) {
        fx.Log("CASE15 recv overflow");
        Refuse(s);
        s.m_nStep = kStepRefused;
        return kOutcomeRefused;
      }
      if (byte != kETX) return kOutcomeNothing;
      fx.Log("CASE15 recv etx");
      s.m_bWaiting = 0;
      fx.SendAnswerAck();
      fx.Log("CASE15 send ack");
      fx.EmptyQueue();
      s.m_nResult = kResultComplete;
      s.m_nStep = kStepWaiting;
      return kOutcomeComplete;

    default:  // refused: wait for the next exchange
      return kOutcomeNothing;
  }
}

uint8_t Lrc(const uint8_t* bytes, size_t count) {
  uint8_t lrc = 0;
  for (size_t i = 0; i < count; ++i) lrc ^= bytes[i];
  return lrc;
}

bool IsRawCommand(const char* text) { return std::strncmp(text, "***", 3) == 0; }

int BuildRequest(const char* text, uint8_t* out) {
  const size_t len = std::strlen(text);
  std::memset(out, 0, kSendBufSize);
  if (IsRawCommand(text)) {
    if (len > static_cast<size_t>(kMaxRawText)) return -1;
    std::memcpy(out, text, len);
    return static_cast<int>(len);
  }
  if (len > static_cast<size_t>(kMaxFramedText)) return -1;
  out[0] = kSTX;
  std::memcpy(out + 1, text, len);
  out[1 + len] = kETX;
  out[2 + len] = kTrailer;
  out[3 + len] = Lrc(out + 1, len + 1);
  return static_cast<int>(len + 4);
}

// ---- the link object's protocol half ----

namespace {

void Progress(const char* name, const char* text) { WriteLinkLog(1, name, text); }

// Effects of the state machine on the reader thread.
class ReaderEffects final : public StepEffects {
 public:
  ReaderEffects(CCatComm& cat, CRecvQueue& queue) : cat_(cat), queue_(queue) {}
  void Log(const char* text) override { Progress("STEPBYSTEP", text); }
  void SendAnswerAck() override {
    const uint8_t acks[3] = {kACK, kACK, kACK};
    cat_.WriteData(acks, 3);
  }
  void EmptyQueue() override { queue_.Reset(); }

 private:
  CCatComm& cat_;
  CRecvQueue& queue_;
};

// The ack time-out argument in milliseconds; a negative one counts as 0.
uint32_t SecondsToMs(int seconds) {
  constexpr int kMaxSeconds = 4294967;  // keeps the product in 32 bits
  if (seconds <= 0) return 0;
  if (seconds > kMaxSeconds) seconds = kMaxSeconds;
  return static_cast<uint32_t>(seconds) * 1000u;
}

}  // namespace

int CCatComm::send_packet(uint8_t control, const char* text) {
  // Each write is built in a buffer of its own: the reader thread and a
  // ReqStop caller may send while this thread does.
  uint8_t buffer[kSendBufSize] = {};
  if (control != 0) {
    buffer[0] = control;
    return WriteData(buffer, 1);
  }
  const int length = BuildRequest(text != nullptr ? text : "", buffer);
  if (length < 0) return 0;
  return WriteData(buffer, length);
}

bool CCatComm::IsTimeout(uint32_t ms) const {
  return platform::TickCount() - m_dwStartTick.load() >= ms;
}

int CCatComm::RecvAck(int seconds) {
  const uint32_t limit = SecondsToMs(seconds);
  Progress("RecvAck", "RecvAck Start!");
  m_dwStartTick = platform::TickCount();
  m_state.m_bWaiting = 1;
  Progress("RecvAck", "RecvAck Start while Loop!");
  bool failed = false;
  for (;;) {
    if (m_state.m_bWaiting == 0) {
      // The reader ended the wait between two looks. A complete answer
      // counts as acknowledged; a refusal or cancel stays a failure, or a
      // NAK racing this check would pass as an acknowledgement.
      if (m_state.m_nAckStatus == kAckRefused) {
        Progress("RecvAck", "TimeOut");
        failed = true;
      }
      break;
    }
    platform::SleepMs(Timings().poll_ms);
    const bool over = IsTimeout(limit);
    const int ack = m_state.m_nAckStatus;
    if ((ack == kAckNone && over) || ack == kAckRefused) {
      Progress("RecvAck", "TimeOut");
      m_state.m_bWaiting = 0;
      failed = true;
      break;
    }
    if (ack == kAcked) {
      Progress("RecvAck", "RecvAck");
      break;
    }
  }
  Progress("RecvAck", "RecvAck End while Loop!");
  if (failed) {
    Progress("RecvAck", "RecvAck TimeOut Finish!");
    return 0;
  }
  Progress("RecvAck", "RecvAck Finish!");
  return 1;
}

int CCatComm::ReadAnal() {
  m_dwStartTick = platform::TickCount();
  m_state.m_bWaiting = 1;
  Progress("ReadAnal", "ReadAnal Start!");
  bool timed_out = false;
  for (;;) {
    platform::SleepMs(Timings().poll_ms);
    platform::PumpMessages();
    bool over = IsTimeout(Timings().answer_timeout_ms);
    if (m_state.m_nAckStatus != kAcked) {
      Progress("ReadAnal", "ReadAnal ackrecv != 1");
      platform::SleepMs(Timings().grace_ms);
      if (m_state.m_nAckStatus != kAcked) over = true;
    }
    if (over) {
      Progress("ReadAnal", "ReadAnal itimeover");
      m_state.m_bWaiting = 0;
      timed_out = true;
      break;
    }
    const int result = m_state.m_nResult;
    if (result == kResultComplete || result == kResultCancelled || result == kResultRefused) {
      Progress("ReadAnal", "ReadAnal sendack 2,3,4");
      m_state.m_bWaiting = 0;
      break;
    }
  }
  if (m_state.m_nRecvLen == 0) {
    if (m_state.m_nResult == kResultCancelled) {
      Progress("ReadAnal", "eot - Cat Cancel (sendack 3)");
    }
    Progress("ReadAnal", "ReadAnal return 0");
    return 0;
  }
  if (timed_out) {
    Progress("ReadAnal", "ReadAnal return -1");
    return -1;
  }
  Progress("ReadAnal", "ReadAnal Finish!");
  return 1;
}

void CCatComm::ProcessQueue() {
  ReaderEffects effects(*this, m_RecvQueue);
  const int count = m_RecvQueue.Count();
  int outcome = kOutcomeNothing;
  for (int i = 0; i < count; ++i) {
    uint8_t byte = 0;
    if (!m_RecvQueue.Pop(byte)) break;
    outcome = StepByStep(m_state, byte, effects);
    if (outcome != kOutcomeNothing) break;
  }
  ResutSign(outcome);
}

void CCatComm::ResutSign(int outcome) {
  switch (outcome) {
    case kOutcomeComplete:
      Progress("ResutSign", "ResutSign input rtn 1 OK!");
      break;
    case kOutcomeCancelled:
      Progress("ResutSign", "ResutSign input rtn 3 (recv eot) , sendack 3");
      m_state.m_nResult = kResultCancelled;
      break;
    case kOutcomeRefused:
      Progress("ResutSign", "ResutSign input rtn 4 (nak recv), sendack 4");
      m_state.m_nResult = kResultRefused;
      break;
    default:
      break;
  }
}

}  // namespace telquin
