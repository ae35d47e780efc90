#include "catcomm.h"
#include "link_timing.h"
#include "platform/clock.h"
#include "platform/desktop.h"

namespace telquin {
namespace {

constexpr int kReadChunk = 512;

// "Recv Loop 빠져나옴" in the code page the debugger output expects (949).
constexpr char kRecvLoopLeft[] = "Recv Loop \xBA\xFC\xC1\xAE\xB3\xAA\xBF\xC8";

}  // namespace

std::shared_ptr<platform::SerialPort> CCatComm::Port() const {
  std::lock_guard<std::mutex> lock(m_portMutex);
  return m_hComm;
}

bool CCatComm::OpenPort(const std::string& name, int baud, int byte_size, int parity,
                        int stop_bits) {
  {
    std::lock_guard<std::mutex> lifecycle(m_lifecycleMutex);
    m_bConnected = 0;
    m_strPort = name;
    m_openError = {};
    // The backend refuses a baud rate of 0 or less before anything divides
    // by it; the reason is kept for the log.
    std::shared_ptr<platform::SerialPort> port =
        platform::OpenSerialPort(name, {baud, byte_size, parity, stop_bits}, &m_openError);
    if (!port) return false;
    auto kill = std::make_shared<platform::Event>(platform::Event::Mode::kAutoReset);
    {
      std::lock_guard<std::mutex> lock(m_portMutex);
      m_hComm = port;
    }
    m_hKillInputThreadEvent = kill;
    m_bConnected = 1;
    m_state.m_bWaiting = 0;
    m_hThread = platform::Thread::Start([this, port, kill] { InputThread(port, kill); });
    if (m_hThread) return true;
    m_openError = {0, "reader thread could not be started"};
  }
  Close_Port();
  return false;
}

void CCatComm::Close_Port() {
  platform::SleepMs(Timings().close_sleep_ms);
  {
    std::lock_guard<std::mutex> lifecycle(m_lifecycleMutex);
    // Whoever clears the flag tears down; a second closer finds it clear.
    int connected = 1;
    if (m_bConnected.compare_exchange_strong(connected, 0)) {
      if (std::shared_ptr<platform::SerialPort> port = Port()) {
        port->CancelWait();
        port->Purge();
        ResetLink();
      }
      if (m_hKillInputThreadEvent) {
        m_hKillInputThreadEvent->Set();
        if (m_hThread) m_hThread->Join(Timings().thread_join_ms);
        m_hKillInputThreadEvent.reset();
      }
      m_hThread.reset();
      std::lock_guard<std::mutex> lock(m_portMutex);
      m_hComm.reset();
    }
  }
  ResetLink();
}

int CCatComm::WriteData(const uint8_t* bytes, int count) {
  std::shared_ptr<platform::SerialPort> port = Port();
  if (!port) return 0;
  return port->Write(bytes, count);
}

void CCatComm::InputThread(std::shared_ptr<platform::SerialPort> port,
                           std::shared_ptr<platform::Event> kill) {
  while (m_bConnected != 0) {
    switch (port->WaitForEvent(*kill)) {
      case platform::CommEvent::kKilled:
        platform::DebugOutput("m_hKillInputThreadEvent");
        m_bConnected = 0;
        break;
      case platform::CommEvent::kReceived: {
        uint8_t chunk[kReadChunk];
        for (;;) {
          const int n = port->Read(chunk, kReadChunk);
          if (n <= 0) break;
          // A read that does not fit whole is dropped whole.
          if (!m_RecvQueue.HasRoomFor(n)) break;
          for (int i = 0; i < n; ++i) m_RecvQueue.Push(chunk[i]);
        }
        ProcessQueue();
        break;
      }
      case platform::CommEvent::kOther:
        break;
    }
  }
  platform::DebugOutput(kRecvLoopLeft);
}

}  // namespace telquin
