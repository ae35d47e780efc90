// Libraries loaded by file name at run time.
#pragma once

#include <memory>
#include <string>

#include "platform/error.h"

namespace platform {

// A loaded library; released (reference-counted by the system) when the
// object goes.
class Module {
 public:
  // Loads the library known on Windows as `windows_name` ("Telquin.dll"):
  // the program's own directory first, then the system's search. Elsewhere
  // the name maps to the system's form ("libTelquin.so"). nullptr and
  // `error` filled when it cannot be loaded.
  static std::unique_ptr<Module> Load(const std::string& windows_name, SystemError* error);
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // The address of an exported entry, or nullptr.
  void* Find(const char* entry) const;

  struct Native;

 private:
  explicit Module(std::unique_ptr<Native> native);
  std::unique_ptr<Native> native_;
};

// The file name the system uses for `windows_name` ("libTelquin.so" on
// Linux, the name itself on Windows).
std::string ModuleFileName(const std::string& windows_name);

// The directory of the running program's executable.
std::string OwnDirectory();

namespace testing {
// Makes Load look in `directory` instead of the program's own directory
// (empty: back to the program's directory). Tests only.
void SetModuleDirectory(const std::string& directory);
}  // namespace testing

}  // namespace platform
