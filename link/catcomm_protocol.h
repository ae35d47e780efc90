// The byte-level protocol with the card terminal: request frames and the
// receive state machine. Everything here is pure: no port, clock or thread.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace telquin {

inline constexpr uint8_t kSTX = 0x02;
inline constexpr uint8_t kETX = 0x03;
inline constexpr uint8_t kEOT = 0x04;
inline constexpr uint8_t kACK = 0x06;
inline constexpr uint8_t kNAK = 0x15;
inline constexpr uint8_t kTrailer = 0x17;  // follows the ETX of every request
inline constexpr uint8_t kAtSign = 0x40;   // an acknowledgement kept as data

inline constexpr int kSendBufSize = 1024;
inline constexpr int kMaxFramedText = kSendBufSize - 4;  // STX, ETX, 0x17, LRC
inline constexpr int kMaxRawText = kSendBufSize;
inline constexpr int kRecvMsgSize = 3000;

// Receive states.
enum RecvStep : int {
  kStepRefused = 0,   // the terminal refused: ignore everything
  kStepWaiting = 10,  // waiting for the acknowledgement or an answer
  kStepAcked = 11,    // acknowledged, waiting for the answer's STX
  kStepInFrame = 15,  // inside an answer frame, until its ETX
};

// Values of m_nResult.
enum RecvResult : int {
  kResultNone = 0,
  kResultStarted = 1,
  kResultComplete = 2,
  kResultCancelled = 3,
  kResultRefused = 4,
};

// Values of m_nAckStatus.
enum AckStatus : int { kAckNone = 0, kAcked = 1, kAckRefused = 2 };

// Outcomes of one received byte.
enum StepOutcome : int {
  kOutcomeNothing = 0,
  kOutcomeComplete = 1,
  kOutcomeCancelled = 3,
  kOutcomeRefused = 4,
};

// The answer bytes. The reader thread appends while the caller's thread may
// dump the buffer into the log, so each byte is an atomic cell; the count
// in RecvState is published after the byte it covers.
class RecvBuffer {
 public:
  void Clear();
  void Store(int index, uint8_t byte) { m_cells[index].store(byte, std::memory_order_relaxed); }
  uint8_t Load(int index) const { return m_cells[index].load(std::memory_order_relaxed); }
  // Copies `count` bytes (at most kRecvMsgSize) into `out`.
  void CopyOut(char* out, int count) const;
  // The content as a C string would read it: up to the first zero byte.
  std::string CString() const;

 private:
  std::array<std::atomic<uint8_t>, kRecvMsgSize> m_cells{};
};

// State shared by the reader thread (which runs the machine) and the
// caller's thread (which polls it).
struct RecvState {
  std::atomic<int> m_bWaiting{0};
  std::atomic<int> m_nStep{kStepWaiting};
  std::atomic<int> m_nRecvLen{0};
  std::atomic<int> m_nResult{kResultNone};
  std::atomic<int> m_nAckStatus{kAckNone};
  RecvBuffer m_szRecvMsg;

  void ResetLink();
};

// What a state transition asks of its surroundings, in the order it asks.
class StepEffects {
 public:
  virtual ~StepEffects() = default;
  virtual void Log(const char* text) = 0;
  virtual void SendAnswerAck() = 0;  // ACK ACK ACK in one write
  virtual void EmptyQueue() = 0;     // drop every byte still queued
};

// Feeds one received byte to the machine; returns its StepOutcome.
int StepByStep(RecvState& state, uint8_t byte, StepEffects& effects);

// Exclusive-or of the bytes, starting at 0.
uint8_t Lrc(const uint8_t* bytes, size_t count);

bool IsRawCommand(const char* text);

// Builds what send_packet writes for a request text into `out` (kSendBufSize
// bytes): the frame STX text ETX 0x17 LRC, or a raw command as it is.
// Returns the length, or -1 when the text does not fit.
int BuildRequest(const char* text, uint8_t* out);

}  // namespace telquin
