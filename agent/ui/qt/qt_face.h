// The Qt face: the agent on a Linux desktop. The tray icon is a
// QSystemTrayIcon (docked by XEmbed, or by StatusNotifierItem where a host
// is registered on the session bus), the main window is the version
// window, and message boxes are QMessageBoxes shown by the user-interface
// thread while the calling thread waits.
//
// The face is a module of its own, libOVTelquinQt.so beside the program,
// loaded only when there is a display: a headless agent never maps Qt. It
// links nothing of the program; what it needs of it comes in QtFaceHost.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "ui/face.h"

namespace agent::ui {

struct QtFaceHost {
  // platform::SetMessageBoxPresenter and platform::ApplicationName of the
  // program (the module must not have copies of its own).
  void (*set_message_box_presenter)(void (*presenter)(std::u16string_view text));
  std::string (*application_name)();
};

// Creates the QApplication for the process (one per process) and the face.
// `argc` and `argv` must outlive the face; so must `host`.
std::unique_ptr<Face> CreateQtFace(int& argc, char** argv, const QtFaceHost& host);

// The module's file name (as Windows would call it) and its entry, which
// has the type CreateQtFace_fn and returns a face the caller deletes.
inline constexpr const char* kQtFaceModule = "OVTelquinQt.dll";
inline constexpr const char* kQtFaceEntry = "OVT_CreateQtFace";
using CreateQtFace_fn = Face* (*)(int* argc, char** argv, const QtFaceHost* host);

}  // namespace agent::ui
