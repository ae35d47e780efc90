// Incremental reader of what the host sends to the terminal.
//
// The host writes three kinds of things on the line:
//   - request frames: STX, text, ETX, 0x17, LRC, where LRC is the XOR of the
//     text bytes and the ETX (STX and 0x17 are not covered);
//   - raw commands: text beginning with "***", sent without any framing;
//   - single control bytes (ACK, EOT) between frames.
// Bytes arrive in arbitrary chunks, so the reader is fed one byte at a time
// and says after each byte what that byte did. It does no I/O and keeps no
// clock: a raw command has no end marker, so the caller decides when the line
// has been quiet long enough and then calls TakeRaw().
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace catsim {

inline constexpr uint8_t kStx = 0x02;
inline constexpr uint8_t kEtx = 0x03;
inline constexpr uint8_t kEot = 0x04;
inline constexpr uint8_t kAck = 0x06;
inline constexpr uint8_t kNak = 0x15;
inline constexpr uint8_t kTrailer = 0x17;
inline constexpr uint8_t kAtSign = 0x40;

// XOR of the bytes, starting at 0.
uint8_t Lrc(const uint8_t* data, size_t size);

// One request frame as received.
struct RequestFrame {
  std::vector<uint8_t> text;  // between STX and ETX, both excluded
  uint8_t trailer = 0;        // the byte after ETX; 0x17 when well formed
  uint8_t lrc = 0;            // the check byte as received
  uint8_t expected_lrc = 0;   // XOR of text and ETX
  bool truncated = false;     // text longer than kMaxText; the rest was dropped

  bool TrailerOk() const { return trailer == kTrailer; }
  bool LrcOk() const { return lrc == expected_lrc; }
};

enum class Verdict {
  kOutside,        // a byte between frames (control byte, noise); no action
  kFrameByte,      // consumed by the frame in progress
  kFrameComplete,  // this byte (the LRC) ended a frame: TakeFrame() holds it
  kRawByte,        // part of a raw command (or of a "***" that may start one)
};

class FrameReader {
 public:
  // Longest text kept of one frame or raw command; the host's own limit is
  // far below. Longer input is consumed but not stored.
  static constexpr size_t kMaxText = 64 * 1024;

  Verdict Feed(uint8_t byte);

  // The frame that the last kFrameComplete ended. Valid until the next Feed.
  const RequestFrame& Frame() const { return frame_; }

  // True while bytes that may form a raw command ("*", "**", or "***" and
  // what followed) wait for the line to go quiet.
  bool RawPending() const {
    return state_ == State::kStars || state_ == State::kRaw;
  }

  // Ends the pending raw command and returns its bytes ("***" included);
  // empty when none is pending. A lone "*" or "**" is discarded.
  std::vector<uint8_t> TakeRaw();

  // Forgets everything in progress.
  void Reset();

 private:
  enum class State {
    kIdle,        // between frames
    kStars,       // one or two '*' seen outside a frame
    kRaw,         // "***" seen: collecting a raw command
    kText,        // after STX, collecting text up to ETX
    kAfterEtx,    // expecting the 0x17 trailer
    kAfterTrailer // expecting the LRC
  };

  Verdict StartOutside(uint8_t byte);

  State state_ = State::kIdle;
  RequestFrame frame_;
  uint8_t lrc_ = 0;
  std::vector<uint8_t> raw_;
};

}  // namespace catsim
