// There is no window-message desktop here: no debugger channel, no global
// atoms, no system-wide hot keys, no thread message queue.
#include <atomic>

#include "platform/desktop.h"

namespace platform {

void DebugOutput(const char*) {}

uint16_t AddGlobalAtom(const char*) {
  // Distinct non-zero ids in the range Windows gives string atoms, so the
  // callers' bookkeeping behaves the same.
  static std::atomic<uint16_t> next{0xC000};
  return next++;
}

bool RegisterHotKey(int, unsigned, unsigned) { return false; }
void UnregisterHotKey(int) {}
void PumpMessages() {}

}  // namespace platform
