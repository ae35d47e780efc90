#include "shell/app.h"

#include <cstdlib>
#include <memory>

#include "platform/sync.h"
#include "platform/termination.h"
#include "shell/startup.h"
#include "shell/version.h"

namespace agent {

int COVTelquinApp::InitInstance() {
  COVTelquinDlg dlg(g_mainWindowVersion);
  dlg.OnCreate();
  switch (dlg.OnInitDialog()) {
    case StartupOutcome::kAlreadyRunning:
      return kExitAlreadyRunning;
    case StartupOutcome::kFailed:
      return kExitStartFailed;
    case StartupOutcome::kRunning:
      break;
  }
  // A request that came during start-up was kept and is seen here at once.
  requests_.Wait();
  return StopFrontEnd(dlg);
}

int COVTelquinApp::StopFrontEnd(COVTelquinDlg& dlg) {
  // While the front end finishes, a second request ends the process at
  // once. The watcher ends when the wait is cancelled below.
  std::unique_ptr<platform::Thread> watcher = platform::Thread::Start([this] {
    if (requests_.Wait()) std::_Exit(kExitForcedStop);
  });
  dlg.RequestStop();
  const bool ended = dlg.Join(kFrontEndStopLimitMs);
  requests_.Cancel();
  if (watcher != nullptr) watcher->Join(kFrontEndStopLimitMs);
  // Front-end threads still running would outlive the objects they use.
  if (!ended) std::_Exit(kExitForcedStop);
  return kExitClean;
}

}  // namespace agent
