// Windows backend of platform/version_info.h: GetFileVersionInfoW and
// VerQueryValueW on the own executable.
#include <string>
#include <vector>

#include "native_win32.h"
#include "platform/version_info.h"

namespace platform {
namespace {

// The string value at `query`, or empty. The length VerQueryValueW gives
// counts characters and may include the terminator; the text ends at the
// first NUL within it either way.
std::u16string QueryText(std::vector<unsigned char>& block, const wchar_t* query) {
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), query, &value, &length) || value == nullptr) return {};
  const wchar_t* text = static_cast<const wchar_t*>(value);
  std::u16string result;
  for (UINT i = 0; i < length && text[i] != L'\0'; ++i) result += static_cast<char16_t>(text[i]);
  return result;
}

}  // namespace

VersionTexts ReadOwnVersionTexts(const VersionTexts&) {
  VersionTexts texts;
  const std::wstring path = OwnModulePath<std::wstring>();
  if (path.empty()) return texts;
  DWORD unused = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &unused);
  if (size == 0) return texts;
  std::vector<unsigned char> block(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return texts;
  texts.product_version = QueryText(block, L"\\StringFileInfo\\041204b0\\ProductVersion");
  texts.file_version = QueryText(block, L"\\StringFileInfo\\041204b0\\FileVersion");
  return texts;
}

}  // namespace platform
