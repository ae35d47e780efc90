// Windows backend of platform/sync.h: kernel events and threads.
#include "platform/sync.h"

#include <utility>

#include "native_win32.h"

namespace platform {

Event::Event(Mode mode) : native_(std::make_unique<Native>()) {
  // A failed CreateEventA leaves the handle null: Set and Reset then do
  // nothing and Wait reports "not set" at once, as for any invalid handle.
  native_->handle =
      CreateEventA(nullptr, mode == Mode::kManualReset ? TRUE : FALSE, FALSE, nullptr);
}

Event::~Event() {
  if (native_->handle != nullptr) CloseHandle(native_->handle);
}

void Event::Set() { SetEvent(native_->handle); }

void Event::Reset() { ResetEvent(native_->handle); }

bool Event::Wait(uint32_t timeout_ms) {
  return WaitForSingleObject(native_->handle, timeout_ms) == WAIT_OBJECT_0;
}

namespace {

// The body belongs to the thread: it is freed when the thread ends, not
// when the Thread object goes, so a thread that outlives a failed Join
// still runs on valid state.
DWORD WINAPI RunBody(LPVOID parameter) {
  std::unique_ptr<std::function<void()>> body(
      static_cast<std::function<void()>*>(parameter));
  (*body)();
  return 0;
}

}  // namespace

std::unique_ptr<Thread> Thread::Start(std::function<void()> body) {
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  auto native = std::make_unique<Native>();
  native->handle = CreateThread(nullptr, 0, RunBody, owned.get(), 0, nullptr);
  if (native->handle == nullptr) return nullptr;
  owned.release();  // now the thread's
  return std::unique_ptr<Thread>(new Thread(std::move(native)));
}

Thread::Thread(std::unique_ptr<Native> native) : native_(std::move(native)) {}

// Closing the handle does not stop the thread; it only gives up the means to
// wait for it.
Thread::~Thread() { CloseHandle(native_->handle); }

bool Thread::Join(uint32_t timeout_ms) {
  return WaitForSingleObject(native_->handle, timeout_ms) == WAIT_OBJECT_0;
}

}  // namespace platform
