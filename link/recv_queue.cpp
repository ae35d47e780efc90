#include "recv_queue.h"

namespace telquin {

int CRecvQueue::Push(uint8_t byte) {
  if (Count() == kSize - 1) return 0;
  m_data[m_nWrite] = byte;
  m_nWrite = (m_nWrite + 1) % kSize;
  return 1;
}

int CRecvQueue::Pop(uint8_t& byte) {
  if (Count() == 0) return 0;
  byte = m_data[m_nRead];
  m_nRead = (m_nRead + 1) % kSize;
  return 1;
}

void CRecvQueue::Reset() {
  m_nWrite = 0;
  m_nRead = 0;
  m_data.fill(0);
}

}  // namespace telquin
