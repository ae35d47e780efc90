// The Qt face: the agent on a Linux desktop. The tray icon is a
// QSystemTrayIcon (docked by XEmbed, or by StatusNotifierItem where a host
// is registered on the session bus), the main window is the version
// window, and message boxes are QMessageBoxes shown by the user-interface
// thread while the calling thread waits.
#pragma once

#include <memory>

#include "ui/face.h"

namespace agent::ui {

// Creates the QApplication for the process (one per process). `argc` and
// `argv` must outlive the face.
std::unique_ptr<Face> CreateQtFace(int& argc, char** argv);

}  // namespace agent::ui
