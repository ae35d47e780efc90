// Time: the millisecond tick counter, sleeps and the local calendar time.
#pragma once

#include <cstdint>

namespace platform {

// Milliseconds since an arbitrary start; wraps around after 49.7 days, so
// differences are taken in unsigned 32-bit arithmetic.
uint32_t TickCount();

void SleepMs(uint32_t ms);

struct LocalTime {
  int years_since_1900 = 0;
  int month = 1;   // 1-12
  int day = 1;     // 1-31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

LocalTime Now();

}  // namespace platform
