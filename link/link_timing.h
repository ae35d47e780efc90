// The waits of one exchange. The product always runs on the defaults; only
// the library's own tests, which link its objects statically, may shorten
// them, so that a 100-second answer time-out can be tested in seconds.
#pragma once

#include <cstdint>

namespace telquin {

struct LinkTimings {
  uint32_t poll_ms = 50;               // sleep of every RecvAck/ReadAnal cycle
  uint32_t answer_timeout_ms = 100000;  // ReadAnal's limit for the whole answer
  uint32_t grace_ms = 500;             // ReadAnal's second look at the ack status
  uint32_t eot_spacing_ms = 500;       // between the three EOTs after a failure
  uint32_t close_sleep_ms = 1000;      // at the start of every Close_Port
  uint32_t thread_join_ms = 5000;      // longest wait for the reader thread
};

const LinkTimings& Timings();

namespace testing {
void SetTimings(const LinkTimings& timings);
}  // namespace testing

}  // namespace telquin
