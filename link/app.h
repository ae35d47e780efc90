// The library object: one per loaded copy, built when the library loads.
#pragma once

#include <cstdint>

#include "catcomm.h"

namespace telquin {

class CTelquinApp {
 public:
  // Registers Ctrl+Esc and Ctrl+Backspace as system-wide hot keys (without
  // a window, so they belong to the loading thread); failures are ignored.
  CTelquinApp();
  // Releases the hot keys.
  ~CTelquinApp();
  CTelquinApp(const CTelquinApp&) = delete;
  CTelquinApp& operator=(const CTelquinApp&) = delete;

  void UnregisterHotKeys();

  CCatComm m_CatComm;
  uint32_t m_nHotKeyId1 = 0;
  uint32_t m_nHotKeyId2 = 0;
};

CTelquinApp& TheApp();

}  // namespace telquin
