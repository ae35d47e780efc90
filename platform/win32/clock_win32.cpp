// Windows backend of platform/clock.h.
#include "platform/clock.h"

#include "native_win32.h"

namespace platform {

uint32_t TickCount() { return GetTickCount(); }

void SleepMs(uint32_t ms) { Sleep(ms); }

LocalTime Now() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  LocalTime t;
  t.years_since_1900 = st.wYear - 1900;
  t.month = st.wMonth;
  t.day = st.wDay;
  t.hour = st.wHour;
  t.minute = st.wMinute;
  t.second = st.wSecond;
  return t;
}

}  // namespace platform
