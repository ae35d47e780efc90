// Windows backend of platform/message_box.h: MessageBoxW.
#include <string>

#include "native_win32.h"
#include "platform/message_box.h"
#include "platform/process.h"

namespace platform {
namespace {

// The file name of `path` without its extension; a leading dot starts the
// name, not an extension.
template <typename Text>
Text Stem(Text path, const typename Text::value_type* separators) {
  const size_t separator = path.find_last_of(separators);
  if (separator != Text::npos) path.erase(0, separator + 1);
  const size_t dot = path.rfind(typename Text::value_type('.'));
  if (dot != Text::npos && dot > 0) path.resize(dot);
  return path;
}

// The title as the system has the name, wide: no round trip through the
// ANSI code page, which may lack some of its characters.
std::wstring WideApplicationName() { return Stem(OwnModulePath<std::wstring>(), L"\\/"); }

}  // namespace

std::string ApplicationName() { return Stem(OwnExecutablePath(), "\\/"); }

void ShowMessageBox(std::u16string_view text) {
  if (const MessageBoxPresenter presenter = InstalledMessageBoxPresenter()) {
    presenter(text);
    return;
  }
  const std::wstring wide_text(text.begin(), text.end());
  const std::wstring title = WideApplicationName();
  MessageBoxW(nullptr, wide_text.c_str(), title.c_str(),
              MB_OK | MB_SYSTEMMODAL | MB_SETFOREGROUND | MB_TOPMOST);
}

}  // namespace platform
