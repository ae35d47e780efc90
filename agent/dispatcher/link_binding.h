// The link library and the print component, bound by file name for one
// dispatcher call and released at its end.
#pragma once

#include <memory>

#include "Telquin.h"
#include "platform/module.h"

namespace agent {

// The print component's entry: (port, baud, text bytes, byte count) -> 1
// when printed.
typedef int(TELQUIN_CALL* Orva_Print_fn)(int, int, const char*, int);

struct LinkBinding {
  // Declared print first: members are released in reverse order, and the
  // link library is released first.
  std::unique_ptr<platform::Module> print_module;
  std::unique_ptr<platform::Module> link_module;
  ReqToCat_WS_fn ReqToCat_WS = nullptr;
  ReqStop_fn ReqStop = nullptr;
  SetBmpFile_fn SetBmpFile = nullptr;
  Orva_Print_fn Orva_Print = nullptr;
};

// Binds all four entries, or shows and logs the first failure, releases
// what was loaded and returns false.
bool BindLinkLibraries(LinkBinding& binding);

}  // namespace agent
