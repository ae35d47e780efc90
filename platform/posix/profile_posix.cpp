// POSIX backend of platform/profile.h: a small line-based INI reader and
// writer of its own, on UTF-8 files.
//
// Why not a library: the INI libraries Debian carries either only read
// (inih) or save by writing the whole file anew in their own layout
// (SimpleIni, iniParser, GLib's key files): spacing, blank lines and line
// ends change, and names lose or keep their letter case. A write here must
// leave every other byte of the file as it was.
//
// The file, line by line (a line ends in LF or CR LF; a UTF-8 byte-order
// mark at the start is passed over and kept):
//  - blanks (spaces, tabs) at both ends of a line do not count;
//  - "[name]" starts a section; the name is what stands before the first
//    "]" (or the end of the line), without blanks around it;
//  - ";" first makes the line a comment;
//  - another line holding "=" is a key line: the key is what stands before
//    the first "=", the value what follows it, both without blanks around;
//  - anything else (and key lines before the first section) means nothing
//    but is kept.
// Names match ASCII letters regardless of case. The first matching key of
// a matching section wins, for reading and for replacing alike.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "platform/profile.h"
#include "platform/text.h"

namespace platform {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

struct Span {
  size_t begin = 0;
  size_t end = 0;
};

Span Trim(std::string_view text, size_t begin, size_t end) {
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return {begin, end};
}

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// One line of the file, as offsets into the whole text.
struct Line {
  enum class Kind { kOther, kSection, kKey };
  Kind kind = Kind::kOther;
  size_t end = 0;   // end of the line's text, before its line end
  size_t next = 0;  // start of the next line; == end when there is no line end
  Span name;        // of the section or the key
  Span value;       // of a key line
};

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  size_t at = text.substr(0, kByteOrderMark.size()) == kByteOrderMark ? kByteOrderMark.size() : 0;
  while (at < text.size()) {
    Line line;
    const size_t newline = text.find('\n', at);
    if (newline == std::string_view::npos) {
      line.end = line.next = text.size();
    } else {
      line.end = newline > at && text[newline - 1] == '\r' ? newline - 1 : newline;
      line.next = newline + 1;
    }
    const Span body = Trim(text, at, line.end);
    const std::string_view content = text.substr(body.begin, body.end - body.begin);
    if (!content.empty() && content.front() == '[') {
      const size_t close = content.find(']');
      line.kind = Line::Kind::kSection;
      line.name = Trim(text, body.begin + 1,
                       close == std::string_view::npos ? body.end : body.begin + close);
    } else if (!content.empty() && content.front() != ';') {
      const size_t equals = content.find('=');
      if (equals != std::string_view::npos) {
        line.kind = Line::Kind::kKey;
        line.name = Trim(text, body.begin, body.begin + equals);
        line.value = Trim(text, body.begin + equals + 1, body.end);
      }
    }
    lines.push_back(line);
    at = line.next;
  }
  return lines;
}

struct Place {
  const Line* key = nullptr;   // the matching key line
  const Line* last = nullptr;  // last key line (or the header) of the first matching section
};

Place Find(std::string_view text, const std::vector<Line>& lines, std::string_view section,
           std::string_view key) {
  Place place;
  bool inside = false, inside_first = false, seen = false;
  auto name = [&](const Line& line) {
    return text.substr(line.name.begin, line.name.end - line.name.begin);
  };
  for (const Line& line : lines) {
    if (line.kind == Line::Kind::kSection) {
      inside = SameName(name(line), section);
      inside_first = inside && !seen;
      if (inside_first) place.last = &line;
      seen = seen || inside;
    } else if (line.kind == Line::Kind::kKey && inside) {
      if (inside_first) place.last = &line;
      if (SameName(name(line), key)) {
        place.key = &line;
        break;
      }
    }
  }
  return place;
}

// The value as the Windows profile functions hand it out: a value enclosed
// in matching single or double quotes loses them.
std::string_view Unquoted(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// Section and key names and their values are ASCII in practice, and ASCII
// converts one unit per byte either way; only other text goes through the
// converter of platform/text.h, which opens a conversion descriptor each
// time (the larger part of a read of a small file).
bool IsAscii(std::u16string_view text) {
  for (const char16_t unit : text) {
    if (unit >= 0x80) return false;
  }
  return true;
}

bool IsAscii(std::string_view text) {
  for (const char byte : text) {
    if (static_cast<unsigned char>(byte) >= 0x80) return false;
  }
  return true;
}

std::string ToUtf8(std::u16string_view text) {
  if (!IsAscii(text)) return Utf16ToUtf8(text);
  std::string bytes(text.size(), '\0');
  std::transform(text.begin(), text.end(), bytes.begin(),
                 [](char16_t unit) { return static_cast<char>(unit); });
  return bytes;
}

std::u16string ToUtf16(std::string_view text) {
  if (!IsAscii(text)) return Utf8ToUtf16(text);
  return std::u16string(text.begin(), text.end());
}

// At most size - 1 units, never ending in the first half of a surrogate
// pair whose second half was cut off.
std::u16string Cut(std::u16string text, size_t size) {
  if (size == 0) return {};
  if (text.size() > size - 1) {
    text.resize(size - 1);
    if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF) text.pop_back();
  }
  return text;
}

// False when the file cannot be opened or read; `missing` tells whether it
// does not exist at all.
bool ReadWhole(const std::string& path, std::string* text, bool* missing, mode_t* mode) {
  *missing = false;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *missing = errno == ENOENT;
    return false;
  }
  struct stat st{};
  bool ok = fstat(fd, &st) == 0;
  if (ok) *mode = st.st_mode & 07777;
  char buffer[8192];
  while (ok) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    text->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return ok;
}

// The line end the file already uses; LF for a file that has none yet.
std::string_view LineEndOf(std::string_view text) {
  const size_t newline = text.find('\n');
  return newline != std::string_view::npos && newline > 0 && text[newline - 1] == '\r' ? "\r\n"
                                                                                        : "\n";
}

std::string WithValue(const std::string& text, const std::string& section, const std::string& key,
                      const std::string& value) {
  const std::vector<Line> lines = SplitLines(text);
  const Place place = Find(text, lines, section, key);
  if (place.key != nullptr) {
    const Span v = place.key->value;
    return text.substr(0, v.begin) + value + text.substr(v.end);
  }
  const std::string_view line_end = LineEndOf(text);
  const std::string entry = key + "=" + value;
  if (place.last != nullptr) {
    const Line& last = *place.last;
    if (last.next > last.end) {
      return text.substr(0, last.next) + entry + std::string(line_end) + text.substr(last.next);
    }
    return text + std::string(line_end) + entry;  // the file's last line, without a line end
  }
  std::string updated = text;
  const bool only_mark = updated == kByteOrderMark;
  if (!updated.empty() && !only_mark && updated.back() != '\n') updated += line_end;
  updated += "[" + section + "]" + std::string(line_end) + entry + std::string(line_end);
  return updated;
}

// Names and values that cannot stand in a line of the file as they are: a
// line end would make new lines, "=" would end a key, "]" a section name.
bool Writable(std::u16string_view section, std::u16string_view key, std::u16string_view value) {
  auto breaks_line = [](std::u16string_view s) {
    return s.find_first_of(u"\r\n") != std::u16string_view::npos;
  };
  if (section.empty() || key.empty()) return false;
  if (breaks_line(section) || breaks_line(key) || breaks_line(value)) return false;
  if (section.find(u']') != std::u16string_view::npos) return false;
  return key.find(u'=') == std::u16string_view::npos && key.front() != u';' && key.front() != u'[';
}

// The file a write lands in: the target of a symbolic link, so the link
// stays a link.
std::string WriteTarget(const std::string& path) {
  struct stat st{};
  if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

// Writes the new text to a file beside `path` and renames it over `path`:
// a reader sees the old file or the new one, never half of one. The
// folder is never created: a missing one makes the temporary file fail.
bool ReplaceFile(const std::string& path, const std::string& text, mode_t mode) {
  std::string temp = path + ".XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = true;
  for (size_t done = 0; ok && done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<size_t>(n);
  }
  ok = ok && fchmod(fd, mode) == 0 && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  ok = ok && rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    unlink(temp.c_str());
    return false;
  }
  // The rename reaches the disk with its folder.
  const size_t slash = path.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

// Writes of this process take turns, so two threads' changes cannot undo
// each other between reading the file and renaming the new one in.
std::mutex g_write_turn;

}  // namespace

std::u16string ReadProfileValue(const std::string& path, std::u16string_view section,
                                 std::u16string_view key, std::u16string_view fallback,
                                 size_t size) {
  if (size == 0) return {};
  std::string text;
  bool missing = false;
  mode_t mode = 0;
  if (ReadWhole(path, &text, &missing, &mode)) {
    const std::vector<Line> lines = SplitLines(text);
    const Place place = Find(text, lines, ToUtf8(section), ToUtf8(key));
    if (place.key != nullptr) {
      const Span v = place.key->value;
      return Cut(ToUtf16(Unquoted(std::string_view(text).substr(v.begin, v.end - v.begin))), size);
    }
  }
  // As the Windows profile functions do, the default loses trailing blanks.
  std::u16string result(fallback);
  while (!result.empty() && (result.back() == u' ' || result.back() == u'\t')) result.pop_back();
  return Cut(std::move(result), size);
}

bool WriteProfileValue(const std::string& path, std::u16string_view section,
                        std::u16string_view key, std::u16string_view value) {
  if (!Writable(section, key, value)) return false;
  std::lock_guard<std::mutex> turn(g_write_turn);
  const std::string target = WriteTarget(path);
  std::string text;
  bool missing = false;
  mode_t mode = 0644;
  const bool exists = ReadWhole(target, &text, &missing, &mode);
  if (!exists && !missing) return false;  // there but unreadable: never clobber it
  const std::string updated =
      WithValue(text, Utf16ToUtf8(section), Utf16ToUtf8(key), Utf16ToUtf8(value));
  if (exists && updated == text) return true;
  return ReplaceFile(target, updated, mode);
}

}  // namespace platform
