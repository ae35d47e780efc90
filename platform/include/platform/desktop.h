// What the link library takes from a windowing desktop: debugger text,
// global atoms, system-wide hot keys and the calling thread's message queue.
// Where there is no such desktop these do nothing.
#pragma once

#include <cstdint>

namespace platform {

// Text for a debugger only, never shown to a user.
void DebugOutput(const char* text);

// A global atom for the string (0 when none could be added).
uint16_t AddGlobalAtom(const char* name);

constexpr unsigned kModControl = 0x0002;

// A system-wide hot key owned by the calling thread, without a window.
// Results are for logs only; the link library ignores them.
bool RegisterHotKey(int id, unsigned modifiers, unsigned virtual_key);
void UnregisterHotKey(int id);

// Dispatches every message waiting in the calling thread's queue.
void PumpMessages();

}  // namespace platform
