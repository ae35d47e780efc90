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
#include <type_traits>

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

// The full path of the running executable as the system has it: wide
// (std::wstring, no round trip through the ANSI code page) or in the ANSI
// code page (std::string). Grown until the system's answer fits, since a
// path may be longer than MAX_PATH; empty when the system fails, with
// GetLastError still telling why.
template <typename Text>
Text OwnModulePath() {
  using Char = typename Text::value_type;
  static_assert(std::is_same_v<Char, wchar_t> || std::is_same_v<Char, char>);
  Text path(MAX_PATH, Char{});
  for (;;) {
    const DWORD room = static_cast<DWORD>(path.size());
    DWORD n;
    if constexpr (std::is_same_v<Char, wchar_t>) {
      n = GetModuleFileNameW(nullptr, &path[0], room);
    } else {
      n = GetModuleFileNameA(nullptr, &path[0], room);
    }
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);  // cut: again with more room
  }
}

}  // namespace platform
