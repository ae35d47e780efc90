#include "shell/settings_dialog.h"

#include <string>

#include "Telquin.h"
#include "common/agent_config.h"
#include "common/agent_texts.h"
#include "dispatcher/port_search.h"
#include "platform/message_box.h"
#include "platform/module.h"
#include "platform/serial_ports.h"
#include "resources/resources.h"
#include "shell/restart.h"

namespace agent {

SettingsAtOpen g_settingsAtOpen;

namespace {

constexpr const char* kLinkLibrary = "Telquin.dll";
constexpr const char* kProbeEntry = "ReqToCat_WS";
constexpr std::u16string_view kComPrefix = u"COM";

std::u16string Wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::u16string DecimalText(int value) { return Wide(std::to_string(value)); }

void Box(std::string_view utf8) { platform::ShowMessageBox(texts::Wide(utf8)); }

}  // namespace

int BaudIndex(int rate) {
  for (int i = 0; i < static_cast<int>(std::size(resources::kBaudRates)); ++i) {
    if (resources::kBaudRates[i] == rate) return i;
  }
  return 0;
}

void ChkStar::OnInitDialog(ui::SettingsView& view) {
  // A new agent waits here until the one that started it has gone.
  if (IsRestartLaunch()) WaitForRestartingInstance();

  std::vector<std::u16string> ports;
  for (const std::string& name : platform::ListSerialPorts()) ports.push_back(Wide(name));
  view.SetComPorts(ports);

  const std::u16string mode_text = ResolveAgentSetting(kSectionHttp, kKeyWebMode);
  const int mode = ParseSettingNumber(mode_text);
  const std::u16string ws_text = ResolveAgentSetting(kSectionHttp, kKeyServerPortWebsocket);
  const std::u16string ajax_text = ResolveAgentSetting(kSectionHttp, kKeyServerPortAjax);
  const std::u16string port_text = ResolveAgentSetting(kSectionCat, kKeyCatComPort);
  const std::u16string baud_text = ResolveAgentSetting(kSectionCat, kKeyCatComBaud);
  g_settingsAtOpen = {mode_text, ws_text, ajax_text};

  view.SetVersionText(AgentVersionDisplay(version_));
  view.SetPortTexts(ws_text, ajax_text);
  // A mode other than 0 and 1 shows WEBSOCKET with both fields open.
  if (mode == 0 || mode == 1) {
    ApplyMode(view, mode);
  } else {
    view.SetWebMode(0);
    view.EnablePortFields(true, true);
  }

  // "COM1" is not "COM10": the whole name must match.
  const std::u16string stored = std::u16string(kComPrefix) + port_text;
  int selected = ports.empty() ? -1 : 0;
  for (size_t i = 0; i < ports.size(); ++i) {
    if (ports[i] == stored) selected = static_cast<int>(i);
  }
  view.SelectComPort(selected);
  view.SelectBaud(BaudIndex(ParseSettingNumber(baud_text)));
}

void ChkStar::ApplyMode(ui::SettingsView& view, int mode) {
  view.SetWebMode(mode);
  view.EnablePortFields(mode == 0, mode == 1);
}

void ChkStar::OnModeClicked(ui::SettingsView& view) {
  const int mode = view.WebMode();
  if (mode == 0 || mode == 1) ApplyMode(view, mode);
}

void ChkStar::OnOK(ui::SettingsView& view) {
  platform::SystemError error;
  std::unique_ptr<platform::Module> link = platform::Module::Load(kLinkLibrary, &error);
  if (link == nullptr) {
    Box(std::string(kLinkLibrary) + std::string(texts::kLoadFailed));
    view.Close();
    return;
  }
  const auto ReqToCat_WS = reinterpret_cast<ReqToCat_WS_fn>(link->Find(kProbeEntry));
  if (ReqToCat_WS == nullptr) {
    Box(std::string(kProbeEntry) + std::string(texts::kEntryNotFound));
    view.Close();
    return;
  }

  // Without a COM port to choose, there is nothing the terminal could
  // answer on: the same as a probe that failed.
  const int port_index = view.ComPortSelection();
  int result = 0;
  int port = 0;
  int baud = resources::kBaudRates[0];
  if (port_index >= 0) {
    const std::u16string name = view.ComPortText(port_index);
    port = ParseSettingNumber(std::u16string_view(name).substr(std::min<size_t>(3, name.size())));
    const int baud_index = view.BaudSelection();
    if (baud_index >= 0 && baud_index < static_cast<int>(std::size(resources::kBaudRates))) {
      baud = resources::kBaudRates[baud_index];
    }
    result = ProbeTerminal(ReqToCat_WS, port, baud);
  }
  if (result != 1) {
    Box(texts::kPortNotFound);
    view.Close();
    return;
  }

  const std::u16string mode_text = DecimalText(view.WebMode());
  const std::u16string ws_text = view.WsPortText();
  const std::u16string ajax_text = view.AjaxPortText();
  WriteAgentSetting(kSectionCat, kKeyCatComPort, DecimalText(port));
  WriteAgentSetting(kSectionCat, kKeyCatComBaud, DecimalText(baud));
  WriteAgentSetting(kSectionHttp, kKeyServerPortWebsocket, ws_text);
  WriteAgentSetting(kSectionHttp, kKeyServerPortAjax, ajax_text);
  WriteAgentSetting(kSectionHttp, kKeyWebMode, mode_text);

  if (mode_text != g_settingsAtOpen.webMode || ws_text != g_settingsAtOpen.serverPortWebsocket ||
      ajax_text != g_settingsAtOpen.serverPortAjax) {
    // The web settings apply only at start: a new agent takes over.
    Box(texts::kPortsChanged);
    if (LaunchRestartInstance() == 0) Box(texts::kRestartFailed);
    TerminateSelf();  // returns only when the own process cannot be ended
  }
  // The new port and rate apply to the next request without a restart.
  view.Close();
}

}  // namespace agent
