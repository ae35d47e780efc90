// Windows backend of platform/profile.h: the system's private profile
// functions, which have the semantics of the interface themselves.
#include <string>
#include <vector>

#include "native_win32.h"
#include "platform/profile.h"

namespace platform {
namespace {

std::wstring Wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

// The path is ANSI text (the callers' paths come from the system's ANSI
// functions); the profile functions take it wide.
std::wstring WidePath(const std::string& path) {
  if (path.empty()) return {};
  const int need = MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()),
                                       nullptr, 0);
  if (need <= 0) return {};
  std::wstring wide(static_cast<size_t>(need), L'\0');
  const int got = MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()),
                                      &wide[0], need);
  wide.resize(static_cast<size_t>(got > 0 ? got : 0));
  return wide;
}

// Names and values that cannot stand in a line of the file as they are:
// the system would write a line end into the file as it is, making lines
// of its own; "=" would end a key, "]" a section name.
bool Writable(std::u16string_view section, std::u16string_view key, std::u16string_view value) {
  auto breaks_line = [](std::u16string_view s) {
    return s.find_first_of(u"\r\n") != std::u16string_view::npos;
  };
  if (section.empty() || key.empty()) return false;
  if (breaks_line(section) || breaks_line(key) || breaks_line(value)) return false;
  if (section.find(u']') != std::u16string_view::npos) return false;
  return key.find(u'=') == std::u16string_view::npos && key.front() != u';' && key.front() != u'[';
}

}  // namespace

std::u16string ReadProfileValue(const std::string& path, std::u16string_view section,
                                 std::u16string_view key, std::u16string_view fallback,
                                 size_t size) {
  if (size == 0) return {};
  const DWORD capacity = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
  std::vector<wchar_t> buffer(capacity, L'\0');
  const std::wstring wide_section = Wide(section), wide_key = Wide(key);
  const std::wstring wide_default = Wide(fallback);
  const std::wstring wide_path = WidePath(path);
  const DWORD length =
      GetPrivateProfileStringW(wide_section.c_str(), wide_key.c_str(), wide_default.c_str(),
                               buffer.data(), capacity, wide_path.c_str());
  const size_t kept = length < capacity ? length : capacity - 1;
  return std::u16string(buffer.begin(), buffer.begin() + kept);
}

bool WriteProfileValue(const std::string& path, std::u16string_view section,
                        std::u16string_view key, std::u16string_view value) {
  if (!Writable(section, key, value)) return false;
  const std::wstring wide_path = WidePath(path);
  if (wide_path.empty()) return false;
  return WritePrivateProfileStringW(Wide(section).c_str(), Wide(key).c_str(), Wide(value).c_str(),
                                    wide_path.c_str()) != FALSE;
}

}  // namespace platform
