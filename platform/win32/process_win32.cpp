// Windows backend of platform/process.h.
#include <string>
#include <vector>

#include "native_win32.h"
#include "platform/process.h"

namespace platform {

std::string OwnExecutablePath() { return OwnModulePath<std::string>(); }

std::string OwnCommandLine() {
  const char* line = GetCommandLineA();
  return line != nullptr ? line : "";
}

bool StartProcess(const std::string& command_line, SystemError* error, long* process_id) {
  // CreateProcessA may write into the command line, so it gets a copy.
  std::vector<char> line(command_line.begin(), command_line.end());
  line.push_back('\0');
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &started)) {
    if (error != nullptr) {
      *error = MakeSystemError(GetLastError(), "CreateProcessA " + command_line);
    }
    return false;
  }
  if (process_id != nullptr) *process_id = static_cast<long>(started.dwProcessId);
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return true;
}

int TerminationStatus() { return STILL_ACTIVE; }

// The process ends with its own exit code, which is STILL_ACTIVE while it
// runs. TerminateProcess on the own process does not come back when it
// works; the wait covers a system that lets the call return first.
void TerminateCurrentProcess() {
  HANDLE self = OpenProcess(MAXIMUM_ALLOWED, FALSE, GetCurrentProcessId());
  if (self == nullptr) return;
  DWORD code = STILL_ACTIVE;
  if (!GetExitCodeProcess(self, &code)) code = STILL_ACTIVE;
  if (TerminateProcess(self, code)) WaitForSingleObject(self, INFINITE);
  CloseHandle(self);
}

// A mutex belongs to the thread that owns it: the thread that took it (by
// opening with `take`) is the one whose ReleaseMutex, in the destructor,
// gives it back. When that thread or the process ends first, the system
// releases it as abandoned, which the next waiter takes like a free one.
struct ProcessLock::Native {
  HANDLE handle = nullptr;
  bool owned = false;
};

std::unique_ptr<ProcessLock> ProcessLock::Open(const std::string& name, bool take, Opened* opened,
                                               SystemError* error) {
  Opened ignored;
  if (opened == nullptr) opened = &ignored;
  if (name.empty()) {
    // CreateMutexA would make a mutex without a name, which no other
    // process can find.
    if (error != nullptr) *error = MakeSystemError(ERROR_INVALID_NAME, "CreateMutexA");
    return nullptr;
  }
  auto native = std::make_unique<Native>();
  native->handle = CreateMutexA(nullptr, take ? TRUE : FALSE, name.c_str());
  const DWORD created = GetLastError();
  if (native->handle != nullptr) {
    // A mutex that existed already is not given to a creator asking to own it.
    const bool existed = created == ERROR_ALREADY_EXISTS;
    *opened = existed ? Opened::kExisted : Opened::kCreated;
    native->owned = take && !existed;
  } else if (created == ERROR_ACCESS_DENIED) {
    // Another user's mutex: it can still be waited for.
    native->handle = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
    if (native->handle == nullptr) {
      if (error != nullptr) *error = MakeSystemError(GetLastError(), "OpenMutexA " + name);
      return nullptr;
    }
    *opened = Opened::kDenied;
  } else {
    if (error != nullptr) *error = MakeSystemError(created, "CreateMutexA " + name);
    return nullptr;
  }
  return std::unique_ptr<ProcessLock>(new ProcessLock(std::move(native)));
}

ProcessLock::ProcessLock(std::unique_ptr<Native> native) : native_(std::move(native)) {}

ProcessLock::~ProcessLock() {
  if (!native_ || native_->handle == nullptr) return;
  if (native_->owned) ReleaseMutex(native_->handle);
  CloseHandle(native_->handle);
}

// An abandoned mutex (its owner ended without releasing it) is taken all
// the same. The owner itself passes at once: the mutex counts its owner's
// waits, and the release undoes only this one.
void ProcessLock::WaitUntilFree() {
  const DWORD result = WaitForSingleObject(native_->handle, INFINITE);
  if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) ReleaseMutex(native_->handle);
}

}  // namespace platform
