// POSIX backend of platform/registry_key.h: there is no registry, and
// nothing reads the key, so nothing is created.
#include <cerrno>

#include "platform/registry_key.h"

namespace platform {

struct UserRegistryKey::Native {};

std::unique_ptr<UserRegistryKey> UserRegistryKey::Create(std::u16string_view, SystemError* error) {
  if (error != nullptr) *error = SystemError{ENOSYS, "UserRegistryKey: no registry here"};
  return nullptr;
}

UserRegistryKey::UserRegistryKey(std::unique_ptr<Native> native) : native_(std::move(native)) {}

UserRegistryKey::~UserRegistryKey() = default;

}  // namespace platform
