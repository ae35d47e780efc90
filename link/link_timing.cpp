#include "link_timing.h"

#include <atomic>

namespace telquin {
namespace {

const LinkTimings kProductTimings{};
// Tests swap the table between exchanges, never during one; the pointer is
// atomic so that a reader thread started later sees the new table.
std::atomic<const LinkTimings*> g_timings{&kProductTimings};
LinkTimings g_testTimings;

}  // namespace

const LinkTimings& Timings() { return *g_timings.load(std::memory_order_acquire); }

namespace testing {
void SetTimings(const LinkTimings& timings) {
  g_timings.store(&kProductTimings, std::memory_order_release);
  g_testTimings = timings;
  g_timings.store(&g_testTimings, std::memory_order_release);
}
}  // namespace testing

}  // namespace telquin
