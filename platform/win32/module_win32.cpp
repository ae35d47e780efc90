// Windows backend of platform/module.h: LoadLibraryA by file name, whose
// search order starts with the program's own directory.
#include <mutex>
#include <string>

#include "native_win32.h"
#include "platform/module.h"

namespace platform {

struct Module::Native {
  HMODULE handle = nullptr;
};

namespace {

std::mutex g_directory_turn;
std::string g_directory;  // the testing override; empty: the system's order

std::string TestingDirectory() {
  std::lock_guard<std::mutex> turn(g_directory_turn);
  return g_directory;
}

}  // namespace

std::string ModuleFileName(const std::string& windows_name) { return windows_name; }

std::string OwnDirectory() {
  const std::string path = OwnModulePath<std::string>();
  if (path.empty()) return ".";
  const size_t separator = path.find_last_of("\\/");
  return separator == std::string::npos ? "." : path.substr(0, separator);
}

std::unique_ptr<Module> Module::Load(const std::string& windows_name, SystemError* error) {
  // As the system does, the first file found is the one loaded: a file in
  // the testing directory that the loader refuses fails the load.
  const std::string directory = TestingDirectory();
  const std::string file = directory.empty() ? windows_name : directory + "\\" + windows_name;
  const bool found_there =
      !directory.empty() && GetFileAttributesA(file.c_str()) != INVALID_FILE_ATTRIBUTES;
  const std::string& loaded = found_there ? file : windows_name;
  HMODULE handle = LoadLibraryA(loaded.c_str());
  if (handle == nullptr && error != nullptr) {
    *error = MakeSystemError(GetLastError(), "LoadLibraryA " + loaded);
  }
  if (handle == nullptr) return nullptr;
  auto native = std::make_unique<Native>();
  native->handle = handle;
  return std::unique_ptr<Module>(new Module(std::move(native)));
}

Module::Module(std::unique_ptr<Native> native) : native_(std::move(native)) {}

Module::~Module() {
  if (native_ && native_->handle != nullptr) FreeLibrary(native_->handle);
}

void* Module::Find(const char* entry) const {
  if (entry == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(native_->handle, entry));
}

namespace testing {
void SetModuleDirectory(const std::string& directory) {
  std::lock_guard<std::mutex> turn(g_directory_turn);
  g_directory = directory;
}
}  // namespace testing

}  // namespace platform
