// Windows backend of platform/termination.h: a console control handler
// counts requests on a semaphore; Cancel sets a manual-reset event.
#include <atomic>

#include "native_win32.h"
#include "platform/termination.h"

namespace platform {
namespace {

// The handler runs on a thread the system creates and takes no argument:
// it reaches the installed object's semaphore through this word.
std::atomic<HANDLE> g_requests{nullptr};

BOOL WINAPI OnConsoleControl(DWORD type) {
  const HANDLE requests = g_requests.load();
  if (requests == nullptr) return FALSE;
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      ReleaseSemaphore(requests, 1, nullptr);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // The system ends the process as soon as this handler returns. Held
      // here, the handler gives the program the system's whole grace
      // period to finish a payment under way; the process's end stops it.
      ReleaseSemaphore(requests, 1, nullptr);
      Sleep(INFINITE);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

struct TerminationRequests::Native {
  HANDLE requests = nullptr;  // semaphore: one count per request
  HANDLE cancelled = nullptr; // manual-reset event
};

std::unique_ptr<TerminationRequests> TerminationRequests::Install(SystemError* error) {
  auto native = std::make_unique<Native>();
  native->requests = CreateSemaphoreW(nullptr, 0, 0x7fffffff, nullptr);
  if (native->requests == nullptr) {
    if (error != nullptr) *error = MakeSystemError(GetLastError(), "CreateSemaphoreW");
    return nullptr;
  }
  native->cancelled = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (native->cancelled == nullptr) {
    if (error != nullptr) *error = MakeSystemError(GetLastError(), "CreateEventW");
    CloseHandle(native->requests);
    return nullptr;
  }
  g_requests.store(native->requests);
  if (!SetConsoleCtrlHandler(OnConsoleControl, TRUE)) {
    if (error != nullptr) *error = MakeSystemError(GetLastError(), "SetConsoleCtrlHandler");
    g_requests.store(nullptr);
    CloseHandle(native->cancelled);
    CloseHandle(native->requests);
    return nullptr;
  }
  return std::unique_ptr<TerminationRequests>(new TerminationRequests(std::move(native)));
}

TerminationRequests::TerminationRequests(std::unique_ptr<Native> native)
    : native_(std::move(native)) {}

// The handler is removed before the handles go; a handler already running
// may still hold the semaphore, which is why it is left open until the
// process ends.
TerminationRequests::~TerminationRequests() {
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  g_requests.store(nullptr);
  CloseHandle(native_->cancelled);
}

bool TerminationRequests::Wait() {
  const HANDLE handles[2] = {native_->cancelled, native_->requests};
  const DWORD result = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
  if (result == WAIT_OBJECT_0) return false;
  // A request, or a wait the system refuses, which ends like a request
  // rather than leave the program without a way to end.
  return true;
}

void TerminationRequests::Cancel() { SetEvent(native_->cancelled); }

}  // namespace platform
