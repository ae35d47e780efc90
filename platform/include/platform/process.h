// Processes: the own command line and executable, starting a program,
// ending the own process, and a lock shared between processes by name.
#pragma once

#include <memory>
#include <string>

#include "platform/error.h"

namespace platform {

// The full path of the running executable.
std::string OwnExecutablePath();

// The process's command line as one text, in the Windows form: arguments
// separated by blanks, an argument holding blanks in double quotes.
std::string OwnCommandLine();

// Starts `command_line` (Windows form, as above: the first argument is the
// program) as a new process with the caller's environment and current
// directory and no inherited handles. False and `error` filled when it
// could not be started. `process_id`, when given, receives the new
// process's id. Nothing waits for the new process: on POSIX a caller that
// goes on running reaps it by that id (waitpid), or it stays a zombie
// until the caller ends.
bool StartProcess(const std::string& command_line, SystemError* error,
                  long* process_id = nullptr);

// The status a process ends with through TerminateCurrentProcess. Windows
// ends it with STILL_ACTIVE (259), which POSIX cannot carry (statuses are
// 0-255): there it is 3, what 259 becomes when cut to eight bits.
int TerminationStatus();

// Ends the own process at once with TerminationStatus(): no destructors,
// no buffered output flushed, threads stopped where they are. Returns only
// when the system refuses (then the caller goes on).
void TerminateCurrentProcess();

// A lock named across processes (a named mutex on Windows; on POSIX an
// flock on "$ROOT/<name>.lock"). The lock is released when its owner drops
// the object or its process ends; it is never inherited by started
// processes.
class ProcessLock {
 public:
  enum class Opened {
    kCreated,  // nobody held it
    kExisted,  // another process holds (or held) it
    kDenied,   // access refused: treated like kExisted
  };
  // Opens the lock; with `take`, also takes it when free. nullptr and
  // `error` filled when it cannot be opened at all.
  static std::unique_ptr<ProcessLock> Open(const std::string& name, bool take, Opened* opened,
                                           SystemError* error);
  ~ProcessLock();
  ProcessLock(const ProcessLock&) = delete;
  ProcessLock& operator=(const ProcessLock&) = delete;

  // Waits without time limit until the lock can be taken, then releases it.
  void WaitUntilFree();

  struct Native;

 private:
  explicit ProcessLock(std::unique_ptr<Native> native);
  std::unique_ptr<Native> native_;
};

}  // namespace platform
