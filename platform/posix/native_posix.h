// What the POSIX backend keeps behind the portable types.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/sync.h"

namespace platform {

// An eventfd: readable while the event is set, so a reader thread can sleep
// in poll() on it together with the port.
struct Event::Native {
  int fd = -1;
  bool manual = false;
};

struct Thread::Native {
  struct State {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
  };
  std::shared_ptr<State> state;
  std::thread thread;
};

// Consumes an auto-reset event that poll() reported readable.
void ConsumeEvent(Event::Native& event);

// EINTR-safe wrappers.
int PollRetrying(struct pollfd* fds, unsigned count, int timeout_ms);

}  // namespace platform
