// Windows backend of platform/serial.h: a COM port opened for overlapped
// I/O, with one overlapped record (and its manual-reset event) each for
// reads, writes and the wait for received characters.
#include "platform/serial.h"

#include <cctype>
#include <mutex>

#include "native_win32.h"

namespace platform {
namespace {

constexpr DWORD kDriverQueueBytes = 4096;
// Abort what is under way and discard what is queued, in both directions.
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr DWORD kCompletionWaitMs = 1000;
// The numerator of the write time-out per byte: 2 ms at 9600 baud, 0 from
// 38400 baud up.
constexpr DWORD kWriteTimeoutBaudFactor = 19200;
// How long a wait that ended without characters holds the reader before it
// reports back (see AfterEmptyWait).
constexpr DWORD kEmptyWaitPauseMs = 50;

bool IsComPortName(const std::string& name) {
  std::string rest = name;
  if (rest.rfind("\\\\.\\", 0) == 0) rest = rest.substr(4);
  if (rest.size() < 4) return false;
  for (size_t i = 0; i < 3; ++i) {
    if (std::toupper(static_cast<unsigned char>(rest[i])) != "COM"[i]) return false;
  }
  if (rest[3] == '0') return false;  // COM1 is the first port
  for (size_t i = 3; i < rest.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(rest[i]))) return false;
  }
  return true;
}

// An OVERLAPPED record with its own manual-reset event, not signalled at
// first, offsets 0.
class OverlappedRecord {
 public:
  OverlappedRecord() = default;
  OverlappedRecord(const OverlappedRecord&) = delete;
  OverlappedRecord& operator=(const OverlappedRecord&) = delete;
  ~OverlappedRecord() {
    if (record_.hEvent != nullptr) CloseHandle(record_.hEvent);
  }

  bool Create() {
    record_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return record_.hEvent != nullptr;
  }
  OVERLAPPED* get() { return &record_; }
  HANDLE event() const { return record_.hEvent; }

 private:
  OVERLAPPED record_{};
};

class Win32SerialPort final : public SerialPort {
 public:
  Win32SerialPort() = default;
  ~Win32SerialPort() override {
    // Every operation below settles its own overlapped request before it
    // returns, so nothing still refers to the records when they go.
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }

  bool Open(const std::string& name, const LineSettings& settings, SystemError* error);

  int Write(const uint8_t* data, int count) override;
  int Read(uint8_t* buffer, int max) override;
  CommEvent WaitForEvent(Event& kill) override;
  void CancelWait() override { SetCommMask(handle_, 0); }
  void Purge() override { PurgeComm(handle_, kPurgeAll); }

 private:
  DWORD Complete(BOOL started, DWORD transferred, OverlappedRecord& record);
  DWORD FinishPending(OverlappedRecord& record);
  void Settle(OverlappedRecord& record);
  bool InputWaiting();
  CommEvent AfterEmptyWait(HANDLE kill);

  HANDLE handle_ = INVALID_HANDLE_VALUE;
  OverlappedRecord read_;
  OverlappedRecord write_;
  OverlappedRecord wait_;
  // Written by the system when a WaitCommEvent on wait_ completes, which may
  // be after the call returned; it lives as long as the record.
  DWORD wait_mask_ = 0;
  // Writes come from the exchange's thread, the reader thread (its
  // acknowledgements) and a cancelling thread; they share write_, which
  // carries one request at a time.
  std::mutex write_turn_;
};

bool Win32SerialPort::Open(const std::string& name, const LineSettings& settings,
                           SystemError* error) {
  if (!read_.Create() || !write_.Create() || !wait_.Create()) {
    *error = MakeSystemError(GetLastError(), "CreateEventA");
    return false;
  }

  // No sharing: the port is this process's alone while it is open, and a
  // port that another program holds fails here with ERROR_ACCESS_DENIED.
  // (Wine does not apply the sharing mode to serial devices: there a second
  // open succeeds.)
  handle_ = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED,
                        nullptr);
  if (handle_ == INVALID_HANDLE_VALUE) {
    *error = MakeSystemError(GetLastError(), "CreateFileA " + name);
    return false;
  }

  // Best effort: a driver that refuses these still carries the line.
  SetCommMask(handle_, EV_RXCHAR);
  SetupComm(handle_, kDriverQueueBytes, kDriverQueueBytes);
  PurgeComm(handle_, kPurgeAll);

  // Reads return at once with what has arrived; a write may take
  // 19200 / baud ms per byte.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier =
      kWriteTimeoutBaudFactor / static_cast<DWORD>(settings.baud_rate);
  timeouts.WriteTotalTimeoutConstant = 0;
  SetCommTimeouts(handle_, &timeouts);

  // Only what the link needs is set; hardware flow control, DTR/RTS, the
  // error character and abort-on-error keep what the driver reports.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(handle_, &dcb)) {
    *error = MakeSystemError(GetLastError(), "GetCommState " + name);
    return false;
  }
  dcb.BaudRate = static_cast<DWORD>(settings.baud_rate);
  dcb.ByteSize = static_cast<BYTE>(settings.byte_size);
  dcb.Parity = static_cast<BYTE>(settings.parity);
  dcb.StopBits = static_cast<BYTE>(settings.stop_bits);
  dcb.fBinary = 1;
  dcb.fParity = 1;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.XonLim = 100;
  dcb.XoffLim = 100;
  if (!SetCommState(handle_, &dcb)) {
    *error = MakeSystemError(GetLastError(), "SetCommState " + name);
    return false;
  }
  return true;
}

// Waits for the system to give up the request's buffer and record: after
// CancelIoEx the request ends at once, and GetOverlappedResult waits for
// that end. What the request moved before it ended is not reported.
void Win32SerialPort::Settle(OverlappedRecord& record) {
  CancelIoEx(handle_, record.get());
  DWORD ignored = 0;
  GetOverlappedResult(handle_, record.get(), &ignored, TRUE);
}

// A request that is pending gets kCompletionWaitMs to complete. One that
// does not is cancelled and counts as nothing; it must not outlive the
// call, since the caller's buffer and the record are reused at once.
DWORD Win32SerialPort::FinishPending(OverlappedRecord& record) {
  if (WaitForSingleObject(record.event(), kCompletionWaitMs) != WAIT_OBJECT_0) {
    Settle(record);
    ClearCommError(handle_, nullptr, nullptr);
    return 0;
  }
  DWORD transferred = 0;
  if (!GetOverlappedResult(handle_, record.get(), &transferred, FALSE)) {
    ClearCommError(handle_, nullptr, nullptr);
    return 0;
  }
  return transferred;
}

DWORD Win32SerialPort::Complete(BOOL started, DWORD transferred,
                                OverlappedRecord& record) {
  if (started) return transferred;
  if (GetLastError() == ERROR_IO_PENDING) return FinishPending(record);
  // A line error blocks further I/O until it is cleared.
  ClearCommError(handle_, nullptr, nullptr);
  return 0;
}

int Win32SerialPort::Write(const uint8_t* data, int count) {
  if (count <= 0) return 0;
  std::lock_guard<std::mutex> turn(write_turn_);
  DWORD written = 0;
  BOOL started = WriteFile(handle_, data, static_cast<DWORD>(count), &written, write_.get());
  return static_cast<int>(Complete(started, written, write_));
}

int Win32SerialPort::Read(uint8_t* buffer, int max) {
  if (max <= 0) return 0;
  if (!InputWaiting()) return 0;
  // Asks for `max`, not for the queue count: what arrived in between comes
  // along, and the read time-outs make it return at once.
  DWORD received = 0;
  BOOL started = ReadFile(handle_, buffer, static_cast<DWORD>(max), &received, read_.get());
  return static_cast<int>(Complete(started, received, read_));
}

// Also clears a pending line error, which would otherwise fail the next read
// or wait.
bool Win32SerialPort::InputWaiting() {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(handle_, &errors, &status)) return false;
  return status.cbInQue > 0;
}

// The wait ended without characters: WaitCommEvent would not start (the
// mask is 0 after CancelWait, or the driver reports a line error), or it
// completed with an empty mask (CancelWait again, or a driver without modem
// lines: Wine on a pseudo-terminal ends every wait at once like this). The
// caller loops until its own flag says stop, and a wait that returned at
// once would make that loop spin. So the reader is held on the kill event
// for a short pause first, then told what a poll of the driver's input
// queue finds: the link keeps working, at the pace of the pause, even where
// the event wait does not. A close sets the kill event right after
// CancelWait, so the pause does not delay it.
CommEvent Win32SerialPort::AfterEmptyWait(HANDLE kill) {
  DWORD result = WaitForSingleObject(kill, kEmptyWaitPauseMs);
  if (result == WAIT_OBJECT_0) return CommEvent::kKilled;
  if (result == WAIT_FAILED) Sleep(kEmptyWaitPauseMs);
  return InputWaiting() ? CommEvent::kReceived : CommEvent::kOther;
}

CommEvent Win32SerialPort::WaitForEvent(Event& kill) {
  const HANDLE kill_event = kill.native().handle;
  wait_mask_ = 0;
  ResetEvent(wait_.event());
  if (WaitCommEvent(handle_, &wait_mask_, wait_.get())) {
    // Completed at once, without the kill event having had its say.
    if (wait_mask_ & EV_RXCHAR) return CommEvent::kReceived;
    return AfterEmptyWait(kill_event);
  }
  if (GetLastError() != ERROR_IO_PENDING) return AfterEmptyWait(kill_event);

  const HANDLE wait_list[2] = {kill_event, wait_.event()};
  const DWORD woken = WaitForMultipleObjects(2, wait_list, FALSE, INFINITE);
  if (woken == WAIT_OBJECT_0 + 1) {
    DWORD ignored = 0;
    const BOOL completed = GetOverlappedResult(handle_, wait_.get(), &ignored, FALSE);
    ResetEvent(wait_.event());
    if (completed && (wait_mask_ & EV_RXCHAR)) return CommEvent::kReceived;
    return AfterEmptyWait(kill_event);
  }

  // Killed (or the wait itself failed): the port's wait is still pending on
  // wait_ and wait_mask_.
  Settle(wait_);
  ResetEvent(wait_.event());
  if (woken == WAIT_OBJECT_0) return CommEvent::kKilled;
  return AfterEmptyWait(kill_event);
}

}  // namespace

std::shared_ptr<SerialPort> OpenSerialPort(const std::string& port_name,
                                           const LineSettings& settings,
                                           SystemError* error) {
  SystemError ignored;
  if (error == nullptr) error = &ignored;
  if (!IsComPortName(port_name)) {
    *error = MakeSystemError(ERROR_INVALID_NAME, "not a COM port name: " + port_name);
    return nullptr;
  }
  // Refused before the write time-out divides by it.
  if (settings.baud_rate <= 0) {
    *error = MakeSystemError(ERROR_INVALID_PARAMETER,
                             "baud rate " + std::to_string(settings.baud_rate));
    return nullptr;
  }
  // On failure the half-opened port goes with its last owner, here: the
  // handle and all three events are closed.
  auto port = std::make_shared<Win32SerialPort>();
  if (!port->Open(port_name, settings, error)) return nullptr;
  return port;
}

std::string ResolveSerialDevice(const std::string& port_name) {
  return IsComPortName(port_name) ? port_name : std::string();
}

}  // namespace platform
