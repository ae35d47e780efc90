// Linux builds with the Qt face: the Qt face when there is a display to
// show it on, the console face when there is none or `--headless` asks for
// it (a machine without a notification area, a service). `--headless`
// also takes the display away from the process, so that an agent it
// starts (a restart, which passes only "--Restart") runs headless too.
#include <cstdlib>
#include <string_view>

#include "ui/face.h"
#include "ui/qt/qt_face.h"

namespace agent::ui {
namespace {

bool Set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

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
  return CreateQtFace(argc, argv);
}

}  // namespace agent::ui
