#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

#include "native_posix.h"
#include "platform/clock.h"

namespace platform {

int PollRetrying(struct pollfd* fds, unsigned count, int timeout_ms) {
  // A signal must neither end a wait early nor stretch it: the remaining
  // time is recomputed from the deadline after each interruption.
  const uint32_t start = TickCount();
  for (;;) {
    int remaining = timeout_ms;
    if (timeout_ms >= 0) {
      const uint32_t elapsed = TickCount() - start;
      remaining = elapsed >= static_cast<uint32_t>(timeout_ms)
                      ? 0
                      : timeout_ms - static_cast<int>(elapsed);
    }
    const int n = poll(fds, count, remaining);
    if (n >= 0 || errno != EINTR) return n;
  }
}

void ConsumeEvent(Event::Native& event) {
  uint64_t value = 0;
  // Non-blocking: a second waiter may have consumed it already.
  (void)!read(event.fd, &value, sizeof value);
}

Event::Event(Mode mode) : native_(std::make_unique<Native>()) {
  native_->manual = mode == Mode::kManualReset;
  native_->fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

Event::~Event() {
  if (native_->fd >= 0) close(native_->fd);
}

void Event::Set() {
  const uint64_t one = 1;
  (void)!write(native_->fd, &one, sizeof one);
}

void Event::Reset() { ConsumeEvent(*native_); }

bool Event::Wait(uint32_t timeout_ms) {
  pollfd p{native_->fd, POLLIN, 0};
  if (PollRetrying(&p, 1, static_cast<int>(timeout_ms)) <= 0) return false;
  if (!native_->manual) ConsumeEvent(*native_);
  return true;
}

std::unique_ptr<Thread> Thread::Start(std::function<void()> body) {
  auto native = std::make_unique<Native>();
  native->state = std::make_shared<Native::State>();
  try {
    native->thread = std::thread([state = native->state, body = std::move(body)] {
      body();
      std::lock_guard<std::mutex> lock(state->mutex);
      state->done = true;
      state->ended.notify_all();
    });
  } catch (const std::system_error&) {
    return nullptr;
  }
  return std::unique_ptr<Thread>(new Thread(std::move(native)));
}

Thread::Thread(std::unique_ptr<Native> native) : native_(std::move(native)) {}

Thread::~Thread() {
  if (native_->thread.joinable()) native_->thread.detach();
}

bool Thread::Join(uint32_t timeout_ms) {
  if (!native_->thread.joinable()) return true;
  {
    std::unique_lock<std::mutex> lock(native_->state->mutex);
    if (!native_->state->ended.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                        [&] { return native_->state->done; })) {
      return false;
    }
  }
  native_->thread.join();
  return true;
}

}  // namespace platform
