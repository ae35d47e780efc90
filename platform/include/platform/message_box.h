// The one kind of box the system shows a user: titled with the application
// name (the executable's name without extension), one OK button, no icon,
// system-modal, topmost and in the foreground. The calling thread waits
// until the user closes it.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Without an interactive desktop the text goes to standard error as a line
// of UTF-8, prefixed by the application name, and the call returns at once.
void ShowMessageBox(std::u16string_view text);

// The application name: the executable's file name without its extension.
std::string ApplicationName();

}  // namespace platform
