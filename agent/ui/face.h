// The agent's face: what it shows a person and the loop that drives it.
// One face per toolkit, chosen by file in the build: the console face (no
// desktop: boxes on standard error, stop requests from signals only), the
// Qt face (a Linux desktop: tray icon, menu, windows, real boxes) and the
// Win32 face. The shell (agent/shell) holds the logic and talks to a face
// only through this interface; no toolkit type crosses it.
//
// Threads: the face's loop runs on the thread that calls Run, the
// user-interface thread. Every call below is made on that thread, except
// Post and ShowMessageBox, which any thread may call.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace agent::ui {

// What the user did to the tray icon, as its callback reports it.
enum class TrayEvent {
  kRightButtonUp,
  kLeftButtonDoubleClick,
  kOther,  // a single click, a press or a release: nothing to do
};

// What the face reports to the shell, always on the user-interface thread.
class FaceEvents {
 public:
  virtual ~FaceEvents() = default;
  // The tray icon's callback: its identifier and the event.
  virtual void OnTrayNotify(std::uint32_t id, TrayEvent event) = 0;
  // A command: a tray menu item (32775, 32773) or a button of the version
  // window (1, 2; Enter and Escape too).
  virtual void OnCommand(int command) = 0;
  // The desktop session ends, or the system asks the main window to close.
  virtual void OnEndSession() = 0;
};

// The settings dialog's controls as the settings logic sees them (the
// fields of the dialog's data exchange). Implemented by each face for the
// dialog it shows.
class SettingsView {
 public:
  virtual ~SettingsView() = default;
  virtual void SetComPorts(const std::vector<std::u16string>& names) = 0;
  virtual int ComPortSelection() const = 0;  // -1: none
  virtual std::u16string ComPortText(int index) const = 0;
  virtual void SelectComPort(int index) = 0;
  virtual int BaudSelection() const = 0;  // -1: none
  virtual void SelectBaud(int index) = 0;
  virtual std::u16string WsPortText() const = 0;
  virtual std::u16string AjaxPortText() const = 0;
  virtual void SetPortTexts(const std::u16string& ws, const std::u16string& ajax) = 0;
  // 0 WEBSOCKET, 1 AJAX, -1 none checked.
  virtual int WebMode() const = 0;
  virtual void SetWebMode(int mode) = 0;
  virtual void EnablePortFields(bool ws, bool ajax) = 0;
  virtual void SetVersionText(const std::u16string& text) = 0;
  // Ends the dialog's modal run.
  virtual void Close() = 0;
};

// The settings dialog's logic, driven by the face that shows it.
class SettingsController {
 public:
  virtual ~SettingsController() = default;
  virtual void OnInitDialog(SettingsView& view) = 0;
  virtual void OnModeClicked(SettingsView& view) = 0;
  virtual void OnOK(SettingsView& view) = 0;
  // Cancel, Escape and the close box: nothing is saved.
  virtual void OnCancel(SettingsView& view) = 0;
};

class Face {
 public:
  virtual ~Face() = default;

  // Runs the loop on the calling thread until Quit. `start` runs first, on
  // this thread, with the loop in place but not serving it: what it shows
  // (a box) works, and events wait until it returns. Returns Quit's code.
  virtual int Run(FaceEvents& events, std::function<void()> start) = 0;
  // Runs `task` on the user-interface thread, after what is queued. Any
  // thread; a task posted after the loop ended is dropped.
  virtual void Post(std::function<void()> task) = 0;
  // The loop ends with `code` once the current task returns.
  virtual void Quit(int code) = 0;

  // The main window: its icon, and hidden from the start (it shows the
  // version when the tray icon is double-clicked).
  virtual void SetWindowIcon(int icon) = 0;
  virtual void HideMainWindow() = 0;
  virtual void ShowMainWindow() = 0;  // shown and brought to the front
  virtual void SetVersionText(const std::u16string& text) = 0;

  // The tray icon: added once, without a picture; the picture set after.
  // False when the desktop has no notification area.
  virtual bool AddTrayIcon(std::uint32_t id, std::u16string_view tip) = 0;
  virtual bool SetTrayIcon(int icon) = 0;
  // Only outside the icon's own callback (a desktop face destroys what
  // handles the click).
  virtual void RemoveTrayIcon() = 0;
  // Pops menu 129 up at the cursor with its default item bold; the chosen
  // command reaches FaceEvents::OnCommand. Returns when the menu closed.
  virtual void PopUpTrayMenu() = 0;
  // Brings the main window to the front (as the tray menu's owner).
  virtual void BringToFront() = 0;

  // Runs the settings dialog modally with `controller` as its logic.
  virtual void RunSettingsDialog(SettingsController& controller) = 0;

  // Message boxes are platform::ShowMessageBox everywhere: a desktop face
  // installs its presenter there for as long as it lives.
};

// The face for this run. The build chooses the candidates by file; among
// them, the program takes the desktop face when a desktop is there and
// `--headless` is not among the arguments, and the console face otherwise.
// `argc` and `argv` must outlive the face.
std::unique_ptr<Face> CreateFace(int& argc, char** argv);

// The console face, which every build has.
std::unique_ptr<Face> CreateConsoleFace();

}  // namespace agent::ui
