#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <filesystem>

#include "platform/files.h"
#include "platform/text.h"

namespace platform {

std::string DataRoot() {
  const char* root = std::getenv("OVTELQUIN_ROOT");
  std::string path;
  if (root != nullptr && *root != '\0') {
    path = root;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
      const passwd* pw = getpwuid(getuid());
      home = pw != nullptr ? pw->pw_dir : "/tmp";
    }
    path = std::string(home) + "/.ovtelquin";
  }
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string DataPath(const std::string& windows_path) {
  const bool has_drive = windows_path.size() >= 2 &&
                         std::isalpha(static_cast<unsigned char>(windows_path[0])) &&
                         windows_path[1] == ':';
  // Built in one string, as the log writes one path per line: the root,
  // a separator unless the rest starts with one, the rest with slashes.
  std::string path = has_drive ? DataRoot() : std::string();
  const size_t rest = has_drive ? 2 : 0;
  path.reserve(path.size() + 1 + windows_path.size() - rest);
  if (has_drive && (windows_path.size() == rest || (windows_path[rest] != '\\' &&
                                                    windows_path[rest] != '/'))) {
    path += '/';
  }
  const size_t rest_start = path.size();
  path.append(windows_path, rest);
  std::replace(path.begin() + static_cast<std::ptrdiff_t>(rest_start), path.end(), '\\', '/');
  return path;
}

std::string FileSystemText(std::u16string_view text) { return Utf16ToUtf8(text); }

bool DirectoryExists(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeDirectory(const std::string& path) {
  // The data root stands for a drive, which always exists on Windows, so it
  // is created along with the folder.
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return !ec && DirectoryExists(path);
}

void RemoveFile(const std::string& path) { unlink(path.c_str()); }

namespace {

// One write on an O_APPEND file lands whole at the end, whoever else is
// appending; a short write (disk full) is finished rather than dropped.
bool WriteAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  size_t left = size;
  while (left > 0) {
    const ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

// The open of an exclusive append; with MissingFolder::kCreate a folder
// found missing (ENOENT) is made and the open tried once more.
int OpenForAppend(const std::string& path, MissingFolder missing_folder) {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
  const int fd = open(path.c_str(), kFlags, 0644);
  if (fd >= 0 || errno != ENOENT || missing_folder != MissingFolder::kCreate) return fd;
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return fd;
  MakeDirectory(path.substr(0, slash));
  return open(path.c_str(), kFlags, 0644);
}

}  // namespace

bool AppendToFile(const std::string& path, const void* data, size_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, data, size);
  close(fd);
  return written;
}

// The lock is an flock, so it keeps out the writers that take it too (the
// agent's log writers), as the Windows open without sharing does. A
// writer that finds it taken gives up at once instead of waiting.
AppendResult AppendToFileExclusive(const std::string& path, const void* data, size_t size,
                                   MissingFolder missing_folder) {
  const int fd = OpenForAppend(path, missing_folder);
  if (fd < 0) return AppendResult::kFailed;
  int locked;
  do {
    locked = flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    const bool held = errno == EWOULDBLOCK;
    close(fd);
    return held ? AppendResult::kHeldByAnother : AppendResult::kFailed;
  }
  const bool written = WriteAll(fd, data, size);
  // Closing drops the lock.
  const bool closed = close(fd) == 0;
  return written && closed ? AppendResult::kAppended : AppendResult::kFailed;
}

}  // namespace platform
