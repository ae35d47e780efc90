// The link object: one per loaded library, used by every export.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "catcomm_protocol.h"
#include "platform/error.h"
#include "platform/serial.h"
#include "platform/sync.h"
#include "recv_queue.h"

namespace telquin {

class CCatComm {
 public:
  CCatComm() = default;
  CCatComm(const CCatComm&) = delete;
  CCatComm& operator=(const CCatComm&) = delete;

  // Exchange ownership. Only one exchange at a time may use the object;
  // the claim is taken atomically, so of two callers racing, one is refused.
  bool ClaimExchange() { return !m_bExchange.exchange(true); }
  void ReleaseExchange() { m_bExchange.store(false); }

  // Port (catcomm_port.cpp).
  bool OpenPort(const std::string& name, int baud, int byte_size, int parity, int stop_bits);
  void Close_Port();
  int WriteData(const uint8_t* bytes, int count);
  const platform::SystemError& LastOpenError() const { return m_openError; }
  bool IsConnected() const { return m_bConnected.load() == 1; }

  // Protocol (catcomm_protocol.cpp).
  int send_packet(uint8_t control, const char* text);
  int RecvAck(int seconds);
  int ReadAnal();
  void ResetLink() { m_state.ResetLink(); }
  void ProcessQueue();

  RecvState& State() { return m_state; }

 private:
  void InputThread(std::shared_ptr<platform::SerialPort> port,
                   std::shared_ptr<platform::Event> kill);
  void ResutSign(int outcome);
  bool IsTimeout(uint32_t ms) const;
  std::shared_ptr<platform::SerialPort> Port() const;

  RecvState m_state;
  std::atomic<uint32_t> m_dwStartTick{0};
  CRecvQueue m_RecvQueue;  // reader thread only

  // 1 from a configured open until Close_Port; the reader runs while 1.
  std::atomic<int> m_bConnected{0};
  std::atomic<bool> m_bExchange{false};
  std::string m_strPort;
  platform::SystemError m_openError;

  // The port is shared with the reader thread, which keeps its own
  // reference, so a port closed by another thread is never used after its
  // close. m_portMutex guards only this pointer.
  mutable std::mutex m_portMutex;
  std::shared_ptr<platform::SerialPort> m_hComm;

  // Opening and closing never overlap: ReqStop may close from its thread
  // while the exchange's own thread closes or (after a refusal) opens.
  std::mutex m_lifecycleMutex;
  std::shared_ptr<platform::Event> m_hKillInputThreadEvent;
  std::unique_ptr<platform::Thread> m_hThread;
};

}  // namespace telquin
