// The ring buffer between the port reads and the receive state machine.
// Touched by the reader thread only, so it needs no lock.
#pragma once

#include <array>
#include <cstdint>

namespace telquin {

class CRecvQueue {
 public:
  static constexpr int kSize = 4096;  // holds at most kSize - 1 bytes

  // 1 when stored, 0 when the queue is full.
  int Push(uint8_t byte);
  // 1 when a byte was taken, 0 when empty.
  int Pop(uint8_t& byte);
  int Count() const { return (m_nWrite - m_nRead + kSize) % kSize; }
  // Whether a read of `n` bytes may be queued: the free space must exceed
  // it, so a read that would fill the last free slots is dropped whole.
  bool HasRoomFor(int n) const { return kSize - Count() > n; }
  void Reset();

 private:
  std::array<uint8_t, kSize> m_data{};
  int m_nWrite = 0;
  int m_nRead = 0;
};

}  // namespace telquin
