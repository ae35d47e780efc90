// POSIX backend of platform/message_box.h. A desktop face installs its own
// presenter; without one, the text goes to standard error as one line, and
// the call returns at once.
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/message_box.h"
#include "platform/process.h"
#include "platform/text.h"

namespace platform {

std::string ApplicationName() {
  std::string name = OwnExecutablePath();
  const size_t slash = name.rfind('/');
  if (slash != std::string::npos) name.erase(0, slash + 1);
  // A leading dot starts a hidden file's name, not an extension.
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

void ShowMessageBox(std::u16string_view text) {
  if (const MessageBoxPresenter presenter = InstalledMessageBoxPresenter()) {
    presenter(text);
    return;
  }
  const std::string line = ApplicationName() + ": " + Utf16ToUtf8(text) + "\n";
  // One write, so lines of several threads do not mix; finished when the
  // pipe takes only part of it.
  for (size_t done = 0; done < line.size();) {
    const ssize_t n = write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
}

}  // namespace platform
