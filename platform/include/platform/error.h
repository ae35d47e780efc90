// The operating system's own error, kept as it was reported.
#pragma once

#include <string>

namespace platform {

struct SystemError {
  long code = 0;      // errno on POSIX, GetLastError() on Windows
  std::string text;   // the system's text for the code, or what failed
};

}  // namespace platform
