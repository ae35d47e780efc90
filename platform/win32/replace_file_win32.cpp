#include <windows.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "platform/files.h"

namespace platform {

bool ReplaceFileContents(const std::string& path, const void* data, size_t size) {
  const std::string temp = path + ".new";
  std::FILE* file = std::fopen(temp.c_str(), "wt");
  if (file == nullptr) return false;
  const bool written = std::fwrite(data, 1, size, file) == size && std::fflush(file) == 0 &&
                       _commit(_fileno(file)) == 0;
  if (std::fclose(file) != 0 || !written ||
      !MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileA(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace platform
