// The tray icon of the agent and what its callback does, on any face. The
// face shows the icon, the menu and the windows; this class keeps the
// icon's state and decides what a click means.
//
//   event                        what happens
//   right button released        the window to the front, menu 129 at the
//                                cursor ("설정" bold); the chosen command
//                                goes to the main window
//   left button double-clicked   the window to the front (the main window
//                                has shown the version window already)
//   anything else                nothing
#pragma once

#include <cstdint>
#include <string_view>

#include "ui/face.h"

namespace agent {

class CTrayIcon {
 public:
  explicit CTrayIcon(ui::Face& face) : face_(face) {}
  // Removes the icon if it is there.
  ~CTrayIcon() { RemoveFromTray(); }
  CTrayIcon(const CTrayIcon&) = delete;
  CTrayIcon& operator=(const CTrayIcon&) = delete;

  // Adds the icon, without a picture yet, with its tip and identifier.
  // True when it was added. The icon is added once per run.
  bool AddToTray(std::u16string_view tip, std::uint32_t id);
  // Gives the added icon its picture; false before a successful AddToTray.
  bool ChangeTrayIcon(int icon);
  void RemoveFromTray();
  // The callback: 1 when handled, 0 when the identifier is another icon's.
  int OnTrayNotify(std::uint32_t id, ui::TrayEvent event);

 private:
  ui::Face& face_;
  bool added_ = false;
  std::uint32_t id_ = 0;
};

}  // namespace agent
