// Windows backend of platform/single_instance.h: a named event created
// with the application name. Only its existence counts: the first process
// creates it, every later one finds ERROR_ALREADY_EXISTS, and the system
// removes it when the last handle closes, at the latest when its holder
// ends.
#include <string>

#include "native_win32.h"
#include "platform/single_instance.h"

namespace platform {
namespace {

// The executable's file name without its extension, as the system has it
// (wide: no round trip through the ANSI code page).
std::wstring WideApplicationName() {
  std::wstring path = OwnModulePath<std::wstring>();
  const size_t separator = path.find_last_of(L"\\/");
  if (separator != std::wstring::npos) path.erase(0, separator + 1);
  const size_t dot = path.rfind(L'.');
  if (dot != std::wstring::npos && dot > 0) path.resize(dot);
  return path;
}

}  // namespace

struct SingleInstance::Native {
  HANDLE event = nullptr;
};

std::unique_ptr<SingleInstance> SingleInstance::Claim(Outcome* outcome, SystemError* error) {
  Outcome ignored;
  if (outcome == nullptr) outcome = &ignored;
  const std::wstring name = WideApplicationName();
  if (name.empty()) {
    // An event without a name is no claim at all.
    *outcome = Outcome::kUnknown;
    if (error != nullptr) *error = MakeSystemError(GetLastError(), "GetModuleFileNameW");
    return nullptr;
  }
  const HANDLE event = CreateEventW(nullptr, FALSE, TRUE, name.c_str());
  const DWORD created = GetLastError();
  if (event == nullptr) {
    *outcome = Outcome::kUnknown;
    if (error != nullptr) *error = MakeSystemError(created, "CreateEventW");
    return nullptr;
  }
  if (created == ERROR_ALREADY_EXISTS) {
    CloseHandle(event);
    *outcome = Outcome::kAlreadyRunning;
    return nullptr;
  }
  *outcome = Outcome::kFirst;
  auto native = std::make_unique<Native>();
  native->event = event;
  return std::unique_ptr<SingleInstance>(new SingleInstance(std::move(native)));
}

SingleInstance::SingleInstance(std::unique_ptr<Native> native) : native_(std::move(native)) {}

SingleInstance::~SingleInstance() {
  if (native_->event != nullptr) CloseHandle(native_->event);
}

}  // namespace platform
