// Windows backend of platform/files.h. The system's paths are Windows paths
// already, so they are used as they are.
#include "platform/files.h"

#include <cstdio>
#include <mutex>

#include "native_win32.h"

namespace platform {

std::string DataPath(const std::string& windows_path) { return windows_path; }

std::string DataRoot() { return "C:"; }

std::string FileSystemText(std::u16string_view text) {
  if (text.empty()) return {};
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int units = static_cast<int>(text.size());
  const int size = WideCharToMultiByte(CP_ACP, 0, wide, units, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string narrow(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide, units, narrow.data(), size, nullptr, nullptr);
  return narrow;
}

bool DirectoryExists(const std::string& path) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(path.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A directory that another thread created a moment earlier counts as made.
bool MakeDirectory(const std::string& path) {
  if (CreateDirectoryA(path.c_str(), nullptr)) return true;
  return GetLastError() == ERROR_ALREADY_EXISTS && DirectoryExists(path);
}

void RemoveFile(const std::string& path) { DeleteFileA(path.c_str()); }

namespace {
// The C runtime's append mode seeks to the end and then writes, two steps:
// two threads appending at once could both write at the same old end, and
// one line would overwrite the other. The link log is written by the
// caller's thread and the reader thread, so appends in this process take
// turns.
std::mutex g_appendMutex;
}  // namespace

bool AppendToFile(const std::string& path, const void* data, size_t size) {
  std::lock_guard<std::mutex> turn(g_appendMutex);
  FILE* file = std::fopen(path.c_str(), "ab+");
  if (file == nullptr) return false;
  const bool written = std::fwrite(data, 1, size, file) == size;
  const bool flushed = std::fflush(file) == 0;
  const bool closed = std::fclose(file) == 0;
  return written && flushed && closed;
}

namespace {

HANDLE OpenUnshared(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

// With MissingFolder::kCreate a folder found missing (the open fails with
// ERROR_PATH_NOT_FOUND) is made and the open tried once more.
HANDLE OpenForAppend(const std::string& path, MissingFolder missing_folder) {
  HANDLE file = OpenUnshared(path);
  if (file != INVALID_HANDLE_VALUE || missing_folder != MissingFolder::kCreate ||
      GetLastError() != ERROR_PATH_NOT_FOUND) {
    return file;
  }
  const size_t separator = path.find_last_of("\\/");
  if (separator == std::string::npos || separator == 0) return file;
  MakeDirectory(path.substr(0, separator));
  return OpenUnshared(path);
}

}  // namespace

// Opened without sharing: while one writer has the file, every other open
// fails (ERROR_SHARING_VIOLATION) instead of waiting.
AppendResult AppendToFileExclusive(const std::string& path, const void* data, size_t size,
                                   MissingFolder missing_folder) {
  HANDLE file = OpenForAppend(path, missing_folder);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION
               ? AppendResult::kHeldByAnother
               : AppendResult::kFailed;
  }
  LARGE_INTEGER zero{};
  bool ok = SetFilePointerEx(file, zero, nullptr, FILE_END) != FALSE;
  const char* p = static_cast<const char*>(data);
  size_t left = size;
  while (ok && left > 0) {
    const DWORD chunk = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(file, p, chunk, &written, nullptr) || written == 0) {
      ok = false;
    } else {
      p += written;
      left -= written;
    }
  }
  const bool closed = CloseHandle(file) != FALSE;
  return ok && closed ? AppendResult::kAppended : AppendResult::kFailed;
}

}  // namespace platform
