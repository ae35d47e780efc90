// The version texts of the running executable.
#pragma once

#include <string>

namespace platform {

struct VersionTexts {
  std::u16string product_version;
  std::u16string file_version;
};

// Windows: the texts ProductVersion and FileVersion of the executable's
// version resource, block "041204b0" (Korean, UTF-16) only; a text that
// cannot be read stays empty. Elsewhere executables carry no version
// resource, and the texts the program was built with, `built_in`, stand
// in for it.
VersionTexts ReadOwnVersionTexts(const VersionTexts& built_in);

}  // namespace platform
