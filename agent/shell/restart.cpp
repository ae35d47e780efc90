#include "shell/restart.h"

#include <memory>
#include <mutex>

#include "platform/error.h"
#include "platform/process.h"

namespace agent {
namespace {

using platform::ProcessLock;

// The restart lock this process took for its own restart. It is kept until
// the process ends (the system releases it then), so the new agent can
// tell when the old one has gone. Deliberately never destroyed: nothing
// that runs during the process's teardown may release it early.
std::mutex g_restart_mutex;
ProcessLock* g_restart_lock = nullptr;

bool HeldByAnother(ProcessLock::Opened opened) {
  return opened == ProcessLock::Opened::kExisted || opened == ProcessLock::Opened::kDenied;
}

}  // namespace

bool IsRestartLaunch() {
  return platform::OwnCommandLine().find(kRestartFlag) != std::string::npos;
}

void WaitForRestartingInstance() {
  ProcessLock::Opened opened = ProcessLock::Opened::kCreated;
  platform::SystemError error;
  const std::unique_ptr<ProcessLock> lock =
      ProcessLock::Open(kRestartMutexName, /*take=*/false, &opened, &error);
  // A lock that cannot be opened at all has no owner to wait for.
  if (lock == nullptr) return;
  if (HeldByAnother(opened)) lock->WaitUntilFree();
}

int LaunchRestartInstance() {
  std::lock_guard<std::mutex> guard(g_restart_mutex);
  // A restart of this very process is already under way (two requests on
  // two threads): this one fails at once instead of waiting for a lock its
  // own process keeps until it ends.
  if (g_restart_lock != nullptr) return 0;

  ProcessLock::Opened opened = ProcessLock::Opened::kCreated;
  platform::SystemError error;
  std::unique_ptr<ProcessLock> lock =
      ProcessLock::Open(kRestartMutexName, /*take=*/true, &opened, &error);
  if (lock == nullptr) return 0;
  if (HeldByAnother(opened)) {
    // Another agent is restarting: let it finish, then fail, so the caller
    // reports the failure and ends this agent too.
    lock->WaitUntilFree();
    return 0;
  }
  g_restart_lock = lock.release();

  const std::string command_line = RestartCommandLine(platform::OwnExecutablePath());
  return platform::StartProcess(command_line, &error) ? 1 : 0;
}

void TerminateSelf() { platform::TerminateCurrentProcess(); }

std::string RestartCommandLine(const std::string& executable_path) {
  // The text grows with the path: an executable in a deep folder restarts
  // like any other instead of being refused for a fixed 260-character room.
  // A tab splits a command line as a space does, so it is quoted too.
  const bool has_blank = executable_path.find_first_of(" \t") != std::string::npos;
  std::string command_line;
  command_line.reserve(executable_path.size() + 3 + std::char_traits<char>::length(kRestartFlag));
  if (has_blank) command_line += '"';
  command_line += executable_path;
  if (has_blank) command_line += '"';
  command_line += ' ';
  command_line += kRestartFlag;
  return command_line;
}

}  // namespace agent
