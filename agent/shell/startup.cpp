#include "shell/startup.h"

#include <cstdio>
#include <string>

#include "Telquin.h"
#include "ajax/ajax_server.h"
#include "common/agent_config.h"
#include "common/agent_log.h"
#include "common/agent_texts.h"
#include "dispatcher/port_search.h"
#include "platform/clock.h"
#include "platform/message_box.h"
#include "platform/module.h"
#include "platform/registry_key.h"
#include "platform/single_instance.h"
#include "resources/resources.h"
#include "shell/settings_dialog.h"
#include "websocket/listeners.h"

namespace agent {
namespace {

constexpr const char* kLabel = "OnInitDialog";
constexpr const char* kLinkLibrary = "Telquin.dll";
constexpr const char* kProbeEntry = "ReqToCat_WS";

// A later copy started by a restart must find the claim free: the old
// process has ended by the time this wait is over.
constexpr uint32_t kSingleInstanceDelayMs = 500;


constexpr char16_t kSettingsKeyPath[] = u"OrvaPos\\Settings";

constexpr int kWebModeWebSocket = 0;
constexpr int kWebModeAjax = 1;

void Log(const char* text) { WriteAgentLog(0, kLabel, text); }

// A failure the user is shown: the box first, then the same words in the
// log.
void ShowAndLog(std::string_view utf8_text) {
  platform::ShowMessageBox(texts::Wide(utf8_text));
  Log(texts::Ansi(utf8_text).c_str());
}

int SettingNumber(std::u16string_view section, std::u16string_view key) {
  return ParseSettingNumber(ResolveAgentSetting(section, key));
}

std::u16string DecimalText(int value) {
  const std::string text = std::to_string(value);
  return std::u16string(text.begin(), text.end());
}

}  // namespace

COVTelquinDlg::COVTelquinDlg(const AgentVersion& version, ui::Face& face)
    : face_(face), trayIcon(face), version_(version) {}

COVTelquinDlg::~COVTelquinDlg() = default;

void COVTelquinDlg::OnCreate() { PurgeAgentLogs(); }

StartupOutcome COVTelquinDlg::OnInitDialog() {
  Log("==========START==========");
  LogAgentVersion(version_);
  PurgeAgentLogs();

  platform::SleepMs(kSingleInstanceDelayMs);
  platform::SingleInstance::Outcome claim = platform::SingleInstance::Outcome::kUnknown;
  platform::SystemError claim_error;
  m_singleInstance = platform::SingleInstance::Claim(&claim, &claim_error);
  if (claim == platform::SingleInstance::Outcome::kAlreadyRunning) return RefuseSecondInstance();
  if (claim == platform::SingleInstance::Outcome::kUnknown) {
    // Without the claim the program still runs, as it would with no check
    // at all; the developer is told why.
    std::fprintf(stderr, "OVTelquin: no single-instance check: %s\n", claim_error.text.c_str());
  }

  face_.SetWindowIcon(resources::kIconApp);
  // Hidden until the tray icon is double-clicked.
  face_.HideMainWindow();
  if (!trayIcon.AddToTray(texts::Wide(resources::kTrayTip), resources::kMenuTray)) {
    return FailStart(texts::kTrayIconFailed);
  }
  trayIcon.ChangeTrayIcon(resources::kIconTray);
  versionText_ = AgentVersionDisplay(version_);
  face_.SetVersionText(versionText_);

  platform::SystemError load_error;
  std::unique_ptr<platform::Module> link = platform::Module::Load(kLinkLibrary, &load_error);
  if (link == nullptr) return FailStart(std::string(kLinkLibrary) + std::string(texts::kLoadFailed));
  const auto ReqToCat_WS = reinterpret_cast<ReqToCat_WS_fn>(link->Find(kProbeEntry));
  if (ReqToCat_WS == nullptr) {
    // The library is released when `link` goes, after the failure is shown.
    return FailStart(std::string(kProbeEntry) + std::string(texts::kEntryNotFound));
  }

  const int web_mode = SettingNumber(kSectionHttp, kKeyWebMode);
  WebsocketPortNumber = SettingNumber(kSectionHttp, kKeyServerPortWebsocket);
  // Read at every start like the others; the AJAX servers read it again
  // themselves when they start.
  (void)SettingNumber(kSectionHttp, kKeyServerPortAjax);
  int port = SettingNumber(kSectionCat, kKeyCatComPort);
  int baud = SettingNumber(kSectionCat, kKeyCatComBaud);

  int result = 0;
  if (port != 0 && baud != 0) {
    result = ProbeTerminal(ReqToCat_WS, port, baud);
  } else {
    result = SearchPortForCat(&port, &baud);
  }
  if (result == 1) {
    Log("ReqToCat_WS Success");
  } else {
    platform::ShowMessageBox(texts::Wide(texts::kTerminalConnectFailed));
    Log("ReqToCat_WS Fail!");
  }

  // Nothing reads the key; it is kept open for the run.
  m_settingsKey = platform::UserRegistryKey::Create(kSettingsKeyPath, nullptr);

  WriteAgentSetting(kSectionCat, kKeyCatComPort, DecimalText(port));
  WriteAgentSetting(kSectionCat, kKeyCatComBaud, DecimalText(baud));

  // Released before the front end starts: its threads and the dispatcher
  // bind the library themselves, and a library being unloaded here while a
  // new thread loads it would leave nothing ordering the two.
  link.reset();

  Log("AcceptFunc Call!");
  StartFrontEnd(web_mode);
  Log("===========END==========");
  return StartupOutcome::kRunning;
}

StartupOutcome COVTelquinDlg::RefuseSecondInstance() {
  ShowAndLog(texts::kAlreadyRunning);
  return StartupOutcome::kAlreadyRunning;
}

StartupOutcome COVTelquinDlg::FailStart(std::string_view utf8_text) {
  ShowAndLog(utf8_text);
  return StartupOutcome::kFailed;
}

int COVTelquinDlg::OnTrayCallback(std::uint32_t id, ui::TrayEvent event) {
  // Tested before the icon is asked: a double-click shows the window even
  // when the identifier is another's.
  if (event == ui::TrayEvent::kLeftButtonDoubleClick) face_.ShowMainWindow();
  return trayIcon.OnTrayNotify(id, event);
}

void COVTelquinDlg::OnSettings() {
  ChkStar dialog(g_settingsVersion);
  face_.RunSettingsDialog(dialog);
}

void COVTelquinDlg::OnVersionButton() { face_.HideMainWindow(); }

void COVTelquinDlg::StartFrontEnd(int web_mode) {
  if (web_mode == kWebModeWebSocket) {
    m_webSocket = std::make_unique<WebSocketFrontEnd>();
    m_webSocket->Start();
  } else if (web_mode == kWebModeAjax) {
    m_ajax = std::make_unique<AjaxFrontEnd>();
    m_ajax->Start();
  }
  // Any other mode runs without a front end.
}

void COVTelquinDlg::RequestStop() {
  if (m_webSocket != nullptr) m_webSocket->RequestStop();
  if (m_ajax != nullptr) m_ajax->RequestStop();
}

bool COVTelquinDlg::Join(uint32_t timeout_ms) {
  // Only one of the two runs.
  if (m_ajax != nullptr && !m_ajax->Join(timeout_ms)) return false;
  return m_webSocket == nullptr || m_webSocket->Join(timeout_ms);
}

}  // namespace agent
