// POSIX backend of platform/module.h: dlopen. "Telquin.dll" is looked for
// as "libTelquin.so", first in the program's own directory (where Windows
// looks first too), then through the dynamic loader's own search
// (LD_LIBRARY_PATH, the run paths, the system's folders).
#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/module.h"
#include "platform/process.h"

namespace platform {

struct Module::Native {
  void* handle = nullptr;
};

namespace {

std::mutex g_directory_turn;

// Loads and releases take turns. The dynamic loader orders them with a lock
// of its own already; ours makes that order visible to ThreadSanitizer, which
// otherwise sees one thread's release of a library race another thread's
// load of it (the dispatcher and the stop listener both bind the link
// library, each on its own thread).
std::mutex g_loader_turn;
std::string g_directory;  // the testing override; empty: the program's own directory

std::string LookupDirectory() {
  {
    std::lock_guard<std::mutex> turn(g_directory_turn);
    if (!g_directory.empty()) return g_directory;
  }
  return OwnDirectory();
}

// RTLD_LOCAL: the library's symbols stay its own, as a DLL's do; RTLD_NOW:
// an unresolved symbol fails the load here rather than a later call.
// dlopen has no error code of its own: errno when the loader left one
// (sanitizer runtimes, which stand between, may not), else ENOENT when its
// text says the file is missing, ENOEXEC for a file it could not use.
void* Open(const std::string& file, SystemError* error) {
  std::lock_guard<std::mutex> turn(g_loader_turn);
  errno = 0;
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const int saved = errno;
    const char* text = dlerror();
    const std::string message = text != nullptr ? text : file + ": cannot be loaded";
    int code = saved;
    if (code == 0) {
      code = message.find(std::strerror(ENOENT)) != std::string::npos ? ENOENT : ENOEXEC;
    }
    *error = SystemError{code, message};
  }
  return handle;
}

}  // namespace

std::string ModuleFileName(const std::string& windows_name) {
  std::string stem = windows_name;
  if (stem.size() >= 4) {
    const std::string tail = stem.substr(stem.size() - 4);
    if (tail[0] == '.' && (tail[1] | 0x20) == 'd' && (tail[2] | 0x20) == 'l' &&
        (tail[3] | 0x20) == 'l') {
      stem.resize(stem.size() - 4);
    }
  }
  return "lib" + stem + ".so";
}

std::string OwnDirectory() {
  const std::string path = OwnExecutablePath();
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::unique_ptr<Module> Module::Load(const std::string& windows_name, SystemError* error) {
  SystemError ignored;
  if (error == nullptr) error = &ignored;
  const std::string file = ModuleFileName(windows_name);
  // As on Windows, the first file found is the one loaded: a file in the
  // own directory that the loader refuses fails the load with its error,
  // rather than letting a copy elsewhere stand in for it.
  const std::string own = LookupDirectory() + "/" + file;
  struct stat st{};
  void* handle = stat(own.c_str(), &st) == 0 ? Open(own, error) : Open(file, error);
  if (handle == nullptr) return nullptr;
  auto native = std::make_unique<Native>();
  native->handle = handle;
  return std::unique_ptr<Module>(new Module(std::move(native)));
}

Module::Module(std::unique_ptr<Native> native) : native_(std::move(native)) {}

Module::~Module() {
  if (native_ && native_->handle != nullptr) {
    std::lock_guard<std::mutex> turn(g_loader_turn);
    dlclose(native_->handle);
  }
}

void* Module::Find(const char* entry) const {
  if (entry == nullptr) return nullptr;
  return dlsym(native_->handle, entry);
}

namespace testing {
void SetModuleDirectory(const std::string& directory) {
  std::lock_guard<std::mutex> turn(g_directory_turn);
  g_directory = directory;
}
}  // namespace testing

}  // namespace platform
