// Builds without a desktop face: every run is a console run.
#include "ui/face.h"

namespace agent::ui {

std::unique_ptr<Face> CreateFace(int&, char**) { return CreateConsoleFace(); }

}  // namespace agent::ui
