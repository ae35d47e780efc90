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
// With a presenter installed, the text goes to it instead.
void ShowMessageBox(std::u16string_view text);

// A face that shows boxes on a desktop of its own (a toolkit this layer
// does not know) installs its presenter before any thread that may show a
// box starts; ShowMessageBox then hands every text to it, from whatever
// thread, and the presenter returns once the user has closed the box.
// nullptr gives the system's own way back.
using MessageBoxPresenter = void (*)(std::u16string_view text);
void SetMessageBoxPresenter(MessageBoxPresenter presenter);

// The installed presenter, or nullptr. For the backends.
MessageBoxPresenter InstalledMessageBoxPresenter();

// The application name: the executable's file name without its extension.
std::string ApplicationName();

}  // namespace platform
