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
  const int code = face_.Run(*this, [this] { Start(); });
  requests_.Cancel();
  if (signal_watcher_ != nullptr) signal_watcher_->Join(kFrontEndStopLimitMs);
  if (stopper_ != nullptr) stopper_->Join(kFrontEndStopLimitMs);
  dlg_.reset();  // the tray icon goes with the main window
  return code;
}

void COVTelquinApp::Start() {
  dlg_->OnCreate();
  switch (dlg_->OnInitDialog()) {
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
  // Requests that came during start-up were kept and arrive at once.
  signal_watcher_ = platform::Thread::Start([this] {
    while (requests_.Wait()) face_.Post([this] { RequestStop(); });
  });
  if (stop_pending_) RequestStop();
}

void COVTelquinApp::RequestStop() {
  if (!running_) {
    // A box of the start-up lets the loop serve the tray meanwhile; the
    // front end starts after it, so the stop waits for that.
    stop_pending_ = true;
    return;
  }
  if (stopping_) std::_Exit(kExitForcedStop);
  stopping_ = true;
  dlg_->RequestStop();
  stopper_ = platform::Thread::Start([this] {
    if (!dlg_->Join(kFrontEndStopLimitMs)) {
      // Front-end threads still running would outlive what they use.
      std::_Exit(kExitForcedStop);
    }
    face_.Post([this] {
      dlg_->RemoveTrayIcon();
      face_.Quit(kExitClean);
    });
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
