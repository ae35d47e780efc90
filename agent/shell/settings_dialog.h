// The settings dialog ChkStar: the web mode and ports, the terminal's COM
// port and baud rate. It saves them only after the terminal has answered
// on the chosen port and rate, and restarts the agent when the web
// settings changed (they apply only at start). Faces show it through
// ui::SettingsView; this is its logic.
#pragma once

#include <string>

#include "shell/version.h"
#include "ui/face.h"

namespace agent {

// The web settings as the dialog loaded them when it last opened; OK
// compares against them to decide on a restart.
struct SettingsAtOpen {
  std::u16string webMode;
  std::u16string serverPortWebsocket;
  std::u16string serverPortAjax;
};
extern SettingsAtOpen g_settingsAtOpen;

class ChkStar final : public ui::SettingsController {
 public:
  explicit ChkStar(const AgentVersion& version) : version_(version) {}

  // Waits for a restarting agent when started by a restart, fills the COM
  // port list from the system's serial ports, loads the settings and
  // selects the stored port and rate.
  void OnInitDialog(ui::SettingsView& view) override;
  // WEBSOCKET enables the WebSocket port only, AJAX the AJAX port only.
  void OnModeClicked(ui::SettingsView& view) override;
  // Probes the terminal on the chosen port and rate ("***", 5 s); saves on
  // its answer, then restarts the agent when the web settings changed.
  // Every failure is a box; nothing is saved then.
  void OnOK(ui::SettingsView& view) override;
  void OnCancel(ui::SettingsView& view) override { view.Close(); }

 private:
  void ApplyMode(ui::SettingsView& view, int mode);

  const AgentVersion& version_;
};

// The index of the baud-rate list for a stored rate: 9600 0, 19200 1,
// 38400 2, 57600 3, 115200 4; any other (0 when empty) 0.
int BaudIndex(int rate);

}  // namespace agent
