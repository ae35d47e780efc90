// Windows backend of platform/desktop.h.
#include "platform/desktop.h"

#include "native_win32.h"

namespace platform {

void DebugOutput(const char* text) { OutputDebugStringA(text); }

uint16_t AddGlobalAtom(const char* name) { return GlobalAddAtomA(name); }

// Without a window the hot key belongs to the calling thread: its
// WM_HOTKEY goes to that thread's queue, and only that thread can
// unregister it again.
bool RegisterHotKey(int id, unsigned modifiers, unsigned virtual_key) {
  return ::RegisterHotKey(nullptr, id, modifiers, virtual_key) != FALSE;
}

void UnregisterHotKey(int id) { ::UnregisterHotKey(nullptr, id); }

void PumpMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      // Dispatching WM_QUIT does nothing, so taking it here would keep the
      // caller's own message loop from ever ending. Put it back for that
      // loop and stop pumping.
      PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

}  // namespace platform
