// Replacing the running agent by a fresh process: start a new agent with
// "--Restart", then end the own process at once. Nothing is handed over.
#pragma once

#include <string>

namespace agent {

inline constexpr const char* kRestartFlag = "--Restart";
inline constexpr const char* kRestartMutexName = "YOUR_RESTART-MUTEX_NAME";

// True when the own command line contains "--Restart" (plain, case-sensitive
// substring test).
bool IsRestartLaunch();

// Waits until an agent that is restarting itself (and holds the restart
// lock) has gone.
void WaitForRestartingInstance();

// Takes the restart lock and starts the own executable with "--Restart".
// Non-zero when the new process was started; 0 when it could not be, or
// when another agent holds the lock (after waiting for it to go).
int LaunchRestartInstance();

// Ends the own process at once. Returns only when the system refuses.
void TerminateSelf();

// The new process's command line: the executable's path, in double quotes
// when it holds blanks, a blank and "--Restart".
std::string RestartCommandLine(const std::string& executable_path);

}  // namespace agent
