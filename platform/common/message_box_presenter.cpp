// The message box presenter a face installs; shared by both backends.
#include <atomic>

#include "platform/message_box.h"

namespace platform {
namespace {
std::atomic<MessageBoxPresenter> g_presenter{nullptr};
}  // namespace

void SetMessageBoxPresenter(MessageBoxPresenter presenter) { g_presenter = presenter; }

MessageBoxPresenter InstalledMessageBoxPresenter() { return g_presenter; }

}  // namespace platform
