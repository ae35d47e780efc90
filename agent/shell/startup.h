// The agent's main window: its start-up sequence, what that sequence
// creates and keeps for the whole run (the tray icon, the front end), and
// what the window does when the tray icon or its buttons are used. It
// shows itself through the face; it is the version window a double-click
// on the tray icon brings up.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "shell/tray_icon.h"
#include "shell/version.h"
#include "ui/face.h"

namespace platform {
class SingleInstance;
class UserRegistryKey;
}  // namespace platform

namespace agent {

class AjaxFrontEnd;
class WebSocketFrontEnd;

enum class StartupOutcome {
  kRunning,         // start-up is over; the front end WebMode chose runs (none for other modes)
  kAlreadyRunning,  // another copy of the program runs: this one must end
  kFailed,          // no tray icon, or the link library or its entry could not be
                    // bound: the program ends
};

// Lives on the user-interface thread for the whole run and is used from
// that thread only, except that the stop path waits for the front end
// (Join) on a thread of its own; the front end's threads never see it.
class COVTelquinDlg {
 public:
  COVTelquinDlg(const AgentVersion& version, ui::Face& face);
  ~COVTelquinDlg();
  COVTelquinDlg(const COVTelquinDlg&) = delete;
  COVTelquinDlg& operator=(const COVTelquinDlg&) = delete;

  // When the platform creates the window, before its initialisation.
  void OnCreate();

  // The whole start-up; every line logged as 0 / "OnInitDialog" / text.
  // Blocks for as long as the terminal check takes (a silent port costs a
  // few seconds, a port search up to minutes).
  StartupOutcome OnInitDialog();

  // The tray icon's callback: a double-click shows the version window
  // first; then the icon decides (CTrayIcon::OnTrayNotify).
  int OnTrayCallback(std::uint32_t id, ui::TrayEvent event);
  // "설정": the settings dialog, modally.
  void OnSettings();
  // The version window's buttons (and Enter, Escape): it hides again.
  void OnVersionButton();

  // Asks the front end to stop taking connections; a payment under way
  // runs to its end, so its reply is delivered and stored.
  void RequestStop();
  // True when the front end has ended within `timeout_ms`, or none runs.
  bool Join(uint32_t timeout_ms);

  const std::u16string& versionText() const { return versionText_; }

 private:
  StartupOutcome RefuseSecondInstance();
  StartupOutcome FailStart(std::string_view utf8_text);
  void StartFrontEnd(int web_mode);

  ui::Face& face_;
  CTrayIcon trayIcon;
  const AgentVersion& version_;
  std::u16string versionText_;
  std::unique_ptr<platform::SingleInstance> m_singleInstance;
  std::unique_ptr<platform::UserRegistryKey> m_settingsKey;
  std::unique_ptr<WebSocketFrontEnd> m_webSocket;
  std::unique_ptr<AjaxFrontEnd> m_ajax;
};

}  // namespace agent
