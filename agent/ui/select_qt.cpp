// Linux builds with the Qt face: the Qt face when there is a display to
// show it on, the console face when there is none or `--headless` asks for
// it (a machine without a notification area, a service). `--headless`
// also takes the display away from the process, so that an agent it
// starts (a restart, which passes only "--Restart") runs headless too.
//
// The Qt face is the module libOVTelquinQt.so beside the program, loaded
// here only when it is wanted; a program whose module cannot be loaded
// says why and runs with the console face.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/message_box.h"
#include "platform/module.h"
#include "ui/face.h"
#include "ui/qt/qt_face.h"

namespace agent::ui {
namespace {

bool Set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

const QtFaceHost kHost = {&platform::SetMessageBoxPresenter, &platform::ApplicationName};

}  // namespace

std::unique_ptr<Face> CreateFace(int& argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--headless") {
      unsetenv("DISPLAY");
      unsetenv("WAYLAND_DISPLAY");
      return CreateConsoleFace();
    }
  }
  if (!Set("DISPLAY") && !Set("WAYLAND_DISPLAY")) return CreateConsoleFace();
  platform::SystemError error;
  std::unique_ptr<platform::Module> module = platform::Module::Load(kQtFaceModule, &error);
  const auto create =
      module != nullptr ? reinterpret_cast<CreateQtFace_fn>(module->Find(kQtFaceEntry)) : nullptr;
  if (create == nullptr) {
    std::fprintf(stderr, "%s: no desktop face (%s); running headless\n",
                 platform::ApplicationName().c_str(),
                 module == nullptr ? error.text.c_str() : kQtFaceEntry);
    return CreateConsoleFace();
  }
  // The module stays loaded for the rest of the process: the face's code
  // is in it, and Qt does not take being unloaded.
  (void)module.release();
  return std::unique_ptr<Face>(create(&argc, argv, &kHost));
}

}  // namespace agent::ui
