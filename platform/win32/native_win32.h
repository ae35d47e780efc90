// Windows backend: the system objects behind the portable types, and the
// one way this backend turns a failed system call into a SystemError.
// Included by the win32 backend files only.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

#include "platform/error.h"
#include "platform/sync.h"

namespace platform {

struct Event::Native {
  HANDLE handle = nullptr;  // from CreateEventA; nullptr when that failed
};

struct Thread::Native {
  HANDLE handle = nullptr;  // from CreateThread; closed by ~Thread
};

// `code` as GetLastError reported it, with the system's text for it after
// what failed, e.g. "CreateFileA COM7: Access is denied." The text is in the
// system's language and ANSI code page.
inline SystemError MakeSystemError(DWORD code, const std::string& what) {
  char text[512] = {};
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
      0, text, sizeof text, nullptr);
  // The system's texts end in CR LF (and sometimes a blank before it).
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                        text[length - 1] == ' ')) {
    --length;
  }
  SystemError error;
  error.code = static_cast<long>(code);
  error.text = what + ": " +
               (length > 0 ? std::string(text, length)
                           : "system error " + std::to_string(code));
  return error;
}

}  // namespace platform
