// Requests from outside to end the program: SIGINT and SIGTERM on POSIX;
// Ctrl+C, Ctrl+Break, closing the console, logoff and shutdown on Windows.
// They are taken as requests, waited for on one thread, and never end the
// process by themselves.
#pragma once

#include <memory>

#include "platform/error.h"

namespace platform {

class TerminationRequests {
 public:
  // Takes over the requests for the whole process. On POSIX the two signals
  // are blocked in the calling thread, and threads inherit that from the
  // thread that starts them: call it in main before any thread starts, or a
  // thread started earlier may receive a signal and end the process.
  // Processes started later get their own default handling back. nullptr
  // and `error` filled when the system refuses.
  static std::unique_ptr<TerminationRequests> Install(SystemError* error);

  // The signals stay blocked: a request arriving while the program ends
  // changes nothing.
  ~TerminationRequests();
  TerminationRequests(const TerminationRequests&) = delete;
  TerminationRequests& operator=(const TerminationRequests&) = delete;

  // Waits without time limit for the next request (true), or until Cancel
  // has been called (false, at once, from then on). One thread waits at a
  // time; requests that arrived before the wait are not lost.
  bool Wait();

  // Makes the current and every later Wait return false. Any thread.
  void Cancel();

  struct Native;

 private:
  explicit TerminationRequests(std::unique_ptr<Native> native);
  std::unique_ptr<Native> native_;
};

}  // namespace platform
