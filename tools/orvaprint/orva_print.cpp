// OrvaPrintV105 stand-in: NOT one of the deliverables. A development
// replacement for the outside receipt-print component, so that the agent's
// print command can run against a real (or simulated) printer. See
// OrvaPrint.h for the contract and README.md for what it is for.

#include "OrvaPrint.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "platform/serial.h"

namespace {

constexpr uint8_t kInitialise[] = {0x1B, 0x40};         // ESC @
constexpr uint8_t kFeedAndCut[] = {0x0A, 0x0A, 0x0A,    // three LF
                                   0x1D, 0x56, 0x01};   // GS V 1: partial cut
static_assert(sizeof kInitialise + sizeof kFeedAndCut == ORVAPRINT_JOB_OVERHEAD);
// A failure reply carries the absolute value of the result; these must never
// be mistaken for the link library's 0 .. -4.
static_assert(ORVAPRINT_PORT_ERROR < -4 && ORVAPRINT_WRITE_ERROR < -4 &&
              ORVAPRINT_BAD_ARGUMENTS < -4);

// The port name as the link library forms it, so both components reach the
// same device for the same number.
std::string PortName(int port) {
  char name[32];
  std::snprintf(name, sizeof name, port < 10 ? "COM%d" : "\\\\.\\COM%d", port);
  return name;
}

bool ArgumentsValid(const char* text, int length) {
  if (length < 0) return false;
  if (length > 0 && text == nullptr) return false;
  return length <= ORVAPRINT_MAX_TEXT;
}

int Print(int port, int baud, const char* text, int length) {
  if (!ArgumentsValid(text, length)) return ORVAPRINT_BAD_ARGUMENTS;
  // The backend refuses a baud rate of 0 or less itself; checked here too so
  // the contract does not hang on that.
  if (baud <= 0) return ORVAPRINT_PORT_ERROR;

  const int size = length + ORVAPRINT_JOB_OVERHEAD;
  std::unique_ptr<uint8_t[]> job(new (std::nothrow) uint8_t[static_cast<size_t>(size)]);
  if (!job) return ORVAPRINT_WRITE_ERROR;
  uint8_t* out = job.get();
  std::memcpy(out, kInitialise, sizeof kInitialise);
  out += sizeof kInitialise;
  if (length > 0) std::memcpy(out, text, static_cast<size_t>(length));
  out += length;
  std::memcpy(out, kFeedAndCut, sizeof kFeedAndCut);

  platform::SystemError error;
  std::shared_ptr<platform::SerialPort> serial =
      platform::OpenSerialPort(PortName(port), platform::LineSettings{baud, 8, 0, 0}, &error);
  if (!serial) return ORVAPRINT_PORT_ERROR;
  const int written = serial->Write(job.get(), size);
  // The only reference: the device closes here, before the result is known
  // to the caller.
  serial.reset();
  return written == size ? ORVAPRINT_OK : ORVAPRINT_WRITE_ERROR;
}

}  // namespace

extern "C" ORVAPRINT_EXPORT int ORVAPRINT_CALL Orva_Print(int port, int baud, const char* text,
                                                          int length) {
  // No exception may leave a C entry point; a failure to allocate inside the
  // platform layer means the job was not sent.
  try {
    return Print(port, baud, text, length);
  } catch (...) {
    return ORVAPRINT_WRITE_ERROR;
  }
}
