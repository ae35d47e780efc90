// The agent's main window: its start-up sequence and what that sequence
// creates and keeps for the whole run. There is no window or tray icon
// yet; everything else of the start-up runs in its order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "shell/version.h"

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
  kFailed,          // the link library or its entry could not be bound: the program ends
};

// Lives on the main thread for the whole run and is used from that thread
// only; the front end's threads never see it.
class COVTelquinDlg {
 public:
  explicit COVTelquinDlg(const AgentVersion& version);
  ~COVTelquinDlg();
  COVTelquinDlg(const COVTelquinDlg&) = delete;
  COVTelquinDlg& operator=(const COVTelquinDlg&) = delete;

  // When the platform creates the window, before its initialisation.
  void OnCreate();

  // The whole start-up; every line logged as 0 / "OnInitDialog" / text.
  // Blocks for as long as the terminal check takes (a silent port costs a
  // few seconds, a port search up to minutes).
  StartupOutcome OnInitDialog();

  // Asks the front end to stop taking connections; a payment under way
  // runs to its end, so its reply is delivered and stored.
  void RequestStop();
  // True when the front end has ended within `timeout_ms`, or none runs.
  bool Join(uint32_t timeout_ms);

  const std::u16string& versionText() const { return versionText_; }

 private:
  StartupOutcome RefuseSecondInstance();
  StartupOutcome FailBinding(std::string_view utf8_text);
  void StartFrontEnd(int web_mode);

  const AgentVersion& version_;
  std::u16string versionText_;
  std::unique_ptr<platform::SingleInstance> m_singleInstance;
  std::unique_ptr<platform::UserRegistryKey> m_settingsKey;
  std::unique_ptr<WebSocketFrontEnd> m_webSocket;
  std::unique_ptr<AjaxFrontEnd> m_ajax;
};

}  // namespace agent
