#include "frame_reader.h"

namespace catsim {

uint8_t Lrc(const uint8_t* data, size_t size) {
  uint8_t lrc = 0;
  for (size_t i = 0; i < size; ++i) lrc ^= data[i];
  return lrc;
}

Verdict FrameReader::StartOutside(uint8_t byte) {
  if (byte == kStx) {
    frame_ = RequestFrame{};
    lrc_ = 0;
    state_ = State::kText;
    return Verdict::kFrameByte;
  }
  if (byte == '*') {
    raw_.assign(1, byte);
    state_ = State::kStars;
    return Verdict::kRawByte;
  }
  state_ = State::kIdle;
  return Verdict::kOutside;
}

Verdict FrameReader::Feed(uint8_t byte) {
  switch (state_) {
    case State::kIdle:
      return StartOutside(byte);

    case State::kStars:
      if (byte != '*') {
        // Not a raw command after all: the stars were stray bytes.
        raw_.clear();
        return StartOutside(byte);
      }
      raw_.push_back(byte);
      if (raw_.size() == 3) state_ = State::kRaw;
      return Verdict::kRawByte;

    case State::kRaw:
      // A raw command has no end marker: everything until the line goes
      // quiet belongs to it, control bytes included.
      if (raw_.size() < kMaxText) raw_.push_back(byte);
      return Verdict::kRawByte;

    case State::kText:
      lrc_ ^= byte;
      if (byte == kEtx) {
        frame_.expected_lrc = lrc_;
        state_ = State::kAfterEtx;
      } else if (frame_.text.size() < kMaxText) {
        // An STX inside the text is data; it does not restart the frame.
        frame_.text.push_back(byte);
      } else {
        frame_.truncated = true;
      }
      return Verdict::kFrameByte;

    case State::kAfterEtx:
      // Whatever the byte is, it takes the trailer's place, so a wrong
      // trailer is reported instead of shifting the LRC.
      frame_.trailer = byte;
      state_ = State::kAfterTrailer;
      return Verdict::kFrameByte;

    case State::kAfterTrailer:
      frame_.lrc = byte;
      state_ = State::kIdle;
      return Verdict::kFrameComplete;
  }
  return Verdict::kOutside;
}

std::vector<uint8_t> FrameReader::TakeRaw() {
  std::vector<uint8_t> raw;
  if (state_ == State::kRaw) {
    raw.swap(raw_);
    state_ = State::kIdle;
  } else if (state_ == State::kStars) {
    raw_.clear();
    state_ = State::kIdle;
  }
  return raw;
}

void FrameReader::Reset() {
  state_ = State::kIdle;
  frame_ = RequestFrame{};
  lrc_ = 0;
  raw_.clear();
}

}  // namespace catsim
