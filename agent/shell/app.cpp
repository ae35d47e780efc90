#include "shell/app.h"

#include <cstdlib>

#include "platform/sync.h"
#include "platform/termination.h"
#include "resources/resources.h"
#include "shell/startup.h"
#include "shell/version.h"

namespace agent {

COVTelquinApp::COVTelquinApp(platform::TerminationRequests& requests, ui::Face& face)
    : requests_(requests), face_(face) {}

COVTelquinApp::~COVTelquinApp() = default;

int COVTelquinApp::InitInstance() {
  dlg_ = std::make_unique<COVTelquinDlg>(g_mainWindowVersion, face_);
  // Requests reach the loop from the start: a desktop face serves it while
  // start-up shows a box.
  signal_watcher_ = platform::Thread::Start([this] {
    while (requests_.Wait()) face_.Post([this] { RequestStop(); });
  });
  const int code = face_.Run(*this, [this] { Start(); });
  requests_.Cancel();
  if (signal_watcher_ != nullptr) signal_watcher_->Join(kFrontEndStopLimitMs);
  if (stopper_ != nullptr) stopper_->Join(kFrontEndStopLimitMs);
  dlg_.reset();  // the tray icon goes with the main window
  return code;
}

void COVTelquinApp::Start() {
  starting_ = true;
  dlg_->OnCreate();
  const StartupOutcome outcome = dlg_->OnInitDialog();
  starting_ = false;
  switch (outcome) {
    case StartupOutcome::kAlreadyRunning:
      face_.Quit(kExitAlreadyRunning);
      return;
    case StartupOutcome::kFailed:
      face_.Quit(kExitStartFailed);
      return;
    case StartupOutcome::kRunning:
      break;
  }
  running_ = true;
}

void COVTelquinApp::RequestStop() {
  if (starting_) {
    // Start-up is on this thread's stack, so this request came through a
    // box it shows (the only time the loop serves before start-up is over).
    // No front end runs and nothing is being written: the process ends
    // here rather than wait for someone to press OK.
    std::_Exit(kExitClean);
  }
  if (!running_) return;  // start-up failed; the loop is ending already
  if (stopping_) std::_Exit(kExitForcedStop);
  stopping_ = true;
  dlg_->RequestStop();
  stopper_ = platform::Thread::Start([this] {
    if (!dlg_->Join(kFrontEndStopLimitMs)) {
      // Front-end threads still running would outlive what they use.
      std::_Exit(kExitForcedStop);
    }
    // The loop ends first, with whatever menu or dialog runs a loop of its
    // own; the tray icon goes with the main window once Run has returned.
    face_.Post([this] { face_.Quit(kExitClean); });
  });
  if (stopper_ == nullptr) std::_Exit(kExitForcedStop);
}

void COVTelquinApp::OnTrayNotify(std::uint32_t id, ui::TrayEvent event) {
  dlg_->OnTrayCallback(id, event);
}

void COVTelquinApp::OnCommand(int command) {
  switch (command) {
    case resources::kCommandSettings:
      // Not while start-up still runs: its settings are being used.
      if (running_) dlg_->OnSettings();
      break;
    case resources::kCommandExit:
      RequestStop();
      break;
    case resources::kIdOk:
    case resources::kIdCancel:
      dlg_->OnVersionButton();
      break;
    default:
      break;
  }
}

void COVTelquinApp::OnEndSession() { RequestStop(); }

}  // namespace agent
