// The Windows serial backend on a real (pseudo) serial line, run under Wine
// by run-smoke.sh before smoke.exe.
//
//   serial_win32_test.exe <port number>
//
// COM<port number> is a line to fake_terminal.py playing the scenario
// "backend": it waits for "PING", and 300 ms later answers "PONG".
//
// Prints one line per check and ends with "N passed, M failed"; the exit
// code is 1 when any check failed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/serial.h"
#include "platform/sync.h"

#include "check.h"

namespace {

using wine_check::Check;

// Sets `event` after `ms` milliseconds, on its own thread; the timer ends
// early (without setting it) when it goes out of scope.
class SetLater {
 public:
  SetLater(platform::Event& event, uint32_t ms)
      : thread_(platform::Thread::Start([this, &event, ms] {
          if (!cancel_.Wait(ms)) event.Set();
        })) {}
  ~SetLater() {
    cancel_.Set();
    thread_->Join(INFINITE);
  }

 private:
  platform::Event cancel_{platform::Event::Mode::kManualReset};
  std::unique_ptr<platform::Thread> thread_;
};

// Opens and keeps only the error: these opens must all fail.
platform::SystemError RefusedOpen(const std::string& name, int baud, bool* refused) {
  platform::SystemError error;
  *refused = platform::OpenSerialPort(name, {baud}, &error) == nullptr;
  return error;
}

std::string Describe(const platform::SystemError& error) {
  return std::to_string(error.code) + ": " + error.text;
}

void CheckRefusedOpens() {
  bool refused = false;
  platform::SystemError error = RefusedOpen("COM77", 9600, &refused);
  Check(refused && error.code == ERROR_FILE_NOT_FOUND && error.text.find("CreateFileA COM77") == 0,
        "a missing COM77 is refused with the system's code (" + Describe(error) + ")");
  error = RefusedOpen("COM9", 0, &refused);
  Check(refused && error.code == ERROR_INVALID_PARAMETER,
        "baud rate 0 is refused (" + Describe(error) + ")");
  error = RefusedOpen("COM9", -9600, &refused);
  Check(refused && error.code == ERROR_INVALID_PARAMETER,
        "a negative baud rate is refused (" + Describe(error) + ")");
  error = RefusedOpen("C:\\windows\\win.ini", 9600, &refused);
  Check(refused && error.code == ERROR_INVALID_NAME,
        "a name that is not a COM port is refused (" + Describe(error) + ")");
  Check(platform::ResolveSerialDevice("COM3") == "COM3" &&
            platform::ResolveSerialDevice("\\\\.\\COM12") == "\\\\.\\COM12" &&
            platform::ResolveSerialDevice("COM0").empty() &&
            platform::ResolveSerialDevice("COMX").empty() &&
            platform::ResolveSerialDevice("LPT1").empty(),
        "ResolveSerialDevice keeps COM names and refuses others");
}

void CheckLine(int port_number) {
  const std::string name = "COM" + std::to_string(port_number);
  platform::SystemError error;
  std::shared_ptr<platform::SerialPort> port =
      platform::OpenSerialPort(name, {9600}, &error);
  Check(port != nullptr, "OpenSerialPort " + name + " at 9600 baud (" + Describe(error) + ")");
  if (!port) return;

  uint8_t buffer[512];
  Check(port->Read(buffer, sizeof buffer) == 0, "Read on a quiet line returns 0 at once");

  // A quiet second: whatever the driver does, the wait must not spin.
  {
    platform::Event kill(platform::Event::Mode::kAutoReset);
    SetLater timer(kill, 1000);
    const DWORD start = GetTickCount();
    int returns = 0;
    while (port->WaitForEvent(kill) != platform::CommEvent::kKilled && returns < 1000) ++returns;
    const DWORD took = GetTickCount() - start;
    Check(returns <= 30 && took >= 900 && took < 1500,
          "a quiet second wakes the wait at most 30 times and the kill ends it (" +
              std::to_string(returns) + " wakes, " + std::to_string(took) + " ms)");
  }

  Check(port->Write(reinterpret_cast<const uint8_t*>("PING"), 4) == 4, "Write of 4 bytes returns 4");
  {
    // Gives up after 5 seconds.
    platform::Event kill(platform::Event::Mode::kAutoReset);
    SetLater timer(kill, 5000);
    std::string received;
    while (received.size() < 4) {
      const platform::CommEvent woken = port->WaitForEvent(kill);
      if (woken == platform::CommEvent::kKilled) break;
      if (woken != platform::CommEvent::kReceived) continue;
      int n;
      while ((n = port->Read(buffer, sizeof buffer)) > 0)
        received.append(reinterpret_cast<char*>(buffer), n);
    }
    Check(received == "PONG", "the terminal's answer arrives through WaitForEvent and Read (\"" +
                                  received + "\")");
  }

  {
    // CancelWait from another thread wakes a waiting reader with kOther.
    platform::Event kill(platform::Event::Mode::kAutoReset);
    auto canceller = platform::Thread::Start([&port] {
      Sleep(300);
      port->CancelWait();
    });
    const DWORD start = GetTickCount();
    const platform::CommEvent woken = port->WaitForEvent(kill);
    const DWORD took = GetTickCount() - start;
    canceller->Join(INFINITE);
    Check(woken == platform::CommEvent::kOther && took < 1000,
          "CancelWait from another thread wakes the wait with kOther (" + std::to_string(took) +
              " ms)");
  }

  port->Purge();
  port.reset();
  port = platform::OpenSerialPort(name, {115200}, &error);
  Check(port != nullptr, name + " opens again once the last owner let it go");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: serial_win32_test.exe <port number>\n");
    return 2;
  }
  CheckRefusedOpens();
  CheckLine(std::atoi(argv[1]));
  return wine_check::Summary();
}
