// The agent program's life: start-up on the user-interface thread inside
// the face's loop, the run, and its end.
//
// Every stop request takes the same path, whatever brought it: SIGINT or
// SIGTERM (a thread waits for them and posts them to the loop), the tray
// menu's "종료", or the desktop session ending (the face reports it). The
// first request stops the front end: no connection is taken any more, and a
// payment under way runs to its end, so its reply is delivered and
// stored. A thread of its own waits for that, so the loop goes on (a box a
// worker shows still appears); then the tray icon is removed and the loop
// ends. A second request ends the process at once, and so does one that
// comes while start-up shows a box (no front end runs yet).
#pragma once

#include <cstdint>
#include <memory>

#include "ui/face.h"

namespace platform {
class TerminationRequests;
class Thread;
}  // namespace platform

namespace agent {

class COVTelquinDlg;

// Exit statuses of the agent. A restart ends the old process with
// platform::TerminationStatus() (3 on POSIX, 259 on Windows).
inline constexpr int kExitClean = 0;            // ended on a stop request
inline constexpr int kExitStartFailed = 1;      // no tray icon, or the link library or its
                                                // entry cannot be bound
inline constexpr int kExitForcedStop = 2;       // ended at once by a second stop request
inline constexpr int kExitAlreadyRunning = 18;  // another copy of the program runs

// How long a stop waits for the front end: longer than the longest
// payment (a 5-second acknowledgement and a 100-second answer, twice over).
// A front end that has not ended by then is cut off (kExitForcedStop).
inline constexpr uint32_t kFrontEndStopLimitMs = 5 * 60 * 1000;

class COVTelquinApp final : public ui::FaceEvents {
 public:
  // `requests` was installed in main before any thread started.
  COVTelquinApp(platform::TerminationRequests& requests, ui::Face& face);
  ~COVTelquinApp() override;
  COVTelquinApp(const COVTelquinApp&) = delete;
  COVTelquinApp& operator=(const COVTelquinApp&) = delete;

  // Runs the face's loop with the main window's start-up as its first task,
  // until the run ends. Returns the exit status.
  int InitInstance();

  // ui::FaceEvents, on the user-interface thread.
  void OnTrayNotify(std::uint32_t id, ui::TrayEvent event) override;
  void OnCommand(int command) override;
  void OnEndSession() override;

 private:
  void Start();
  void RequestStop();

  platform::TerminationRequests& requests_;
  ui::Face& face_;
  std::unique_ptr<COVTelquinDlg> dlg_;
  std::unique_ptr<platform::Thread> signal_watcher_;
  std::unique_ptr<platform::Thread> stopper_;
  bool starting_ = false;  // start-up is on the user-interface thread's stack
  bool running_ = false;   // start-up is over and the front end runs
  bool stopping_ = false;
};

}  // namespace agent
