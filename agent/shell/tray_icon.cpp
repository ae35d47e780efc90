#include "shell/tray_icon.h"

namespace agent {

bool CTrayIcon::AddToTray(std::u16string_view tip, std::uint32_t id) {
  id_ = id;
  added_ = face_.AddTrayIcon(id, tip);
  return added_;
}

bool CTrayIcon::ChangeTrayIcon(int icon) {
  if (!added_) return false;
  return face_.SetTrayIcon(icon);
}

void CTrayIcon::RemoveFromTray() {
  if (!added_) return;
  face_.RemoveTrayIcon();
  added_ = false;
}

int CTrayIcon::OnTrayNotify(std::uint32_t id, ui::TrayEvent event) {
  if (id != id_) return 0;
  switch (event) {
    case ui::TrayEvent::kRightButtonUp:
      // The menu's owner comes to the front first, so that a click
      // elsewhere closes the menu.
      face_.BringToFront();
      face_.PopUpTrayMenu();
      break;
    case ui::TrayEvent::kLeftButtonDoubleClick:
      face_.BringToFront();
      break;
    case ui::TrayEvent::kOther:
      break;
  }
  return 1;
}

}  // namespace agent
