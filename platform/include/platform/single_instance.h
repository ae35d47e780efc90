// The one running copy of a program, across processes. The claim is named
// after the application name (the executable's file name without its
// extension), so a copy of the program under another file name is another
// program. It is released when its holder drops it or its process ends,
// and never passes to a process the holder starts.
#pragma once

#include <memory>

#include "platform/error.h"

namespace platform {

class SingleInstance {
 public:
  enum class Outcome {
    kFirst,           // no other copy runs; the claim is held
    kAlreadyRunning,  // another process holds the claim
    kUnknown,         // the system refused; nothing is held
  };

  // Windows: a named event (auto-reset, initially set, never waited on;
  // only its existence counts). POSIX: an flock on
  // "$ROOT/<application name>.lock". The object is returned for kFirst
  // only; otherwise nullptr, with `error` filled for kUnknown.
  static std::unique_ptr<SingleInstance> Claim(Outcome* outcome, SystemError* error);

  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  struct Native;

 private:
  explicit SingleInstance(std::unique_ptr<Native> native);
  std::unique_ptr<Native> native_;
};

}  // namespace platform
