// The agent program's life: start-up, the run in the foreground, and its
// end on a stop request.
#pragma once

#include <cstdint>

namespace platform {
class TerminationRequests;
}

namespace agent {

class COVTelquinDlg;

// Exit statuses of the agent. A restart ends the old process with
// platform::TerminationStatus() (3 on POSIX, 259 on Windows).
inline constexpr int kExitClean = 0;            // ended on a stop request
inline constexpr int kExitStartFailed = 1;      // the link library or its entry cannot be bound
inline constexpr int kExitForcedStop = 2;       // ended at once by a second stop request
inline constexpr int kExitAlreadyRunning = 18;  // another copy of the program runs

// How long a stop waits for the front end: longer than the longest
// payment (a 5-second acknowledgement and a 100-second answer, twice over).
// A front end that has not ended by then is cut off (kExitForcedStop).
inline constexpr uint32_t kFrontEndStopLimitMs = 5 * 60 * 1000;

class COVTelquinApp {
 public:
  // `requests` was installed in main before any thread started.
  explicit COVTelquinApp(platform::TerminationRequests& requests) : requests_(requests) {}

  // Runs the main window's start-up, then waits for a stop request on the
  // calling thread. The first request stops the front end and waits for it
  // (a payment under way is finished and its reply stored); a second
  // request ends the process at once. Returns the exit status.
  int InitInstance();

 private:
  int StopFrontEnd(COVTelquinDlg& dlg);

  platform::TerminationRequests& requests_;
};

}  // namespace agent
