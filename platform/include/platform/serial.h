// Serial port service: one open device, exclusive to this process while open.
//
// The link library needs exactly this of a serial port: an exclusive raw 8N1
// line at a given speed, non-blocking reads of what has arrived, writes that
// either complete within 1000 ms or count as nothing, and a wait for incoming
// characters that a stop signal (an Event) or CancelWait ends at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/error.h"

namespace platform {

class Event;

// What ended a WaitForEvent.
enum class CommEvent {
  kKilled,    // the stop event was signalled (and, being auto-reset, consumed)
  kReceived,  // characters have arrived
  kOther,     // woken without characters (CancelWait, line event, hang-up)
};

struct LineSettings {
  int baud_rate = 9600;  // bits per second; must be positive
  int byte_size = 8;     // data bits
  int parity = 0;        // 0 none, 1 odd, 2 even
  int stop_bits = 0;     // 0 one, 1 one and a half, 2 two
};

class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // Writes `count` bytes. Returns `count` when the write completed within
  // 1000 ms, otherwise 0 (the port's error state is cleared).
  virtual int Write(const uint8_t* data, int count) = 0;

  // Returns at once: the bytes that have arrived, at most `max`; 0 when none.
  virtual int Read(uint8_t* buffer, int max) = 0;

  // Sleeps until characters arrive, `kill` is signalled or CancelWait is
  // called. Never returns without a reason, so a loop around it cannot spin.
  virtual CommEvent WaitForEvent(Event& kill) = 0;

  // Wakes a pending (or the next) WaitForEvent with kOther. Safe from any
  // thread.
  virtual void CancelWait() = 0;

  // Discards everything pending in both directions.
  virtual void Purge() = 0;
};

// Opens the device that the port name ("COM3", "\\.\COM12") stands for and
// configures it. Returns nullptr and fills `error` when the device is
// missing, held by another program, or refuses the line settings; nothing
// stays open then. The port closes when its last owner releases it.
std::shared_ptr<SerialPort> OpenSerialPort(const std::string& port_name,
                                           const LineSettings& settings,
                                           SystemError* error);

// The device path a port name stands for on this system (for logs, tools and
// the README; OpenSerialPort resolves names the same way). Empty when the
// name is not a COM port name.
std::string ResolveSerialDevice(const std::string& port_name);

}  // namespace platform
