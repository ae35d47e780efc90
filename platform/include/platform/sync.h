// Events and threads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

// A signal between threads. An auto-reset event wakes one wait and resets
// itself; a manual-reset event stays set until Reset.
class Event {
 public:
  enum class Mode { kAutoReset, kManualReset };
  explicit Event(Mode mode);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // True when the event was (or became) set within `timeout_ms`.
  bool Wait(uint32_t timeout_ms);

  // Backend-private representation (an eventfd, a HANDLE).
  struct Native;
  Native& native() { return *native_; }

 private:
  std::unique_ptr<Native> native_;
};

// One thread running `body`. Whoever holds the Thread decides how long to
// wait for it: Join gives up after the timeout, and a thread that is still
// running then is left to finish on its own (its body must own, through
// shared pointers, whatever it still touches).
class Thread {
 public:
  // nullptr when the system cannot create the thread.
  static std::unique_ptr<Thread> Start(std::function<void()> body);
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // True when the thread ended within `timeout_ms`.
  bool Join(uint32_t timeout_ms);

  struct Native;

 private:
  explicit Thread(std::unique_ptr<Native> native);
  std::unique_ptr<Native> native_;
};

}  // namespace platform
