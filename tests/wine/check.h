// The Windows test programs' checks: one line per check, and a closing
// "N passed, M failed" line that the test driver and CI read.
#pragma once

#include <cstdio>
#include <string>

namespace wine_check {

inline int passed = 0;
inline int failed = 0;

inline void Check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "PASS" : "FAIL", what.c_str());
  std::fflush(stdout);
  ++(ok ? passed : failed);
}

// Prints the closing line; the program's exit code.
inline int Summary() {
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}

}  // namespace wine_check
