// Files and the fixed places of the system's data.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Where a fixed Windows path of the system lives here. "C:\ORVAlog\x.log"
// stays as it is on Windows; elsewhere the drive becomes the data root
// (OVTELQUIN_ROOT, else a per-user default) and backslashes become slashes.
std::string DataPath(const std::string& windows_path);

// The data root itself (no trailing separator).
std::string DataRoot();

// `text` as the C runtime's file functions (fopen) take a path: the ANSI
// code page on Windows, UTF-8 elsewhere.
std::string FileSystemText(std::u16string_view text);

bool DirectoryExists(const std::string& path);
bool MakeDirectory(const std::string& path);

// Deletes the file; a missing file is not an error worth reporting.
void RemoveFile(const std::string& path);

// Appends `size` bytes to the file in one write, creating it when missing.
// Lines appended by several threads or processes at once never interleave.
// False when the file cannot be opened or the write fails.
bool AppendToFile(const std::string& path, const void* data, size_t size);

// Replaces the file's content whole: the new content is written to a file
// beside it, flushed to disk and renamed over it, so that a crash or a
// power cut leaves either the old content or the new one, never a cut
// file. Text mode on Windows (line feeds stored as CR LF, as C's "wt").
bool ReplaceFileContents(const std::string& path, const void* data, size_t size);

// What an exclusive append does when the file's folder does not exist.
enum class MissingFolder {
  kFail,    // the open fails: false
  kCreate,  // the folder is made (as MakeDirectory does) and the open tried once more
};

// What an exclusive append came to.
enum class AppendResult {
  kAppended,       // every byte written
  kHeldByAnother,  // another writer holds the file: worth trying again soon
  kFailed,         // the file cannot be opened or written (no folder, disk
                   // full, no permission): trying again at once will not help
};

// Appends `size` bytes in one write to the file, created when missing,
// while holding it exclusively: another writer holding the file makes the
// call give up at once (kHeldByAnother) rather than wait, so the caller can
// retry. With MissingFolder::kCreate a folder that is there costs nothing
// beyond the open itself: it is looked for only once the open has found it
// missing.
AppendResult AppendToFileExclusive(const std::string& path, const void* data, size_t size,
                                   MissingFolder missing_folder = MissingFolder::kFail);

}  // namespace platform
