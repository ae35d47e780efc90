// A key of the current user's registry, created or opened at start-up and
// kept open while its object lives. Nothing is stored in it.
#pragma once

#include <memory>
#include <string_view>

#include "platform/error.h"

namespace platform {

class UserRegistryKey {
 public:
  // Windows: RegCreateKeyExW under HKEY_CURRENT_USER with full access, as
  // a non-volatile key. Systems without a registry have nothing to create:
  // there the call does nothing and returns nullptr. nullptr and `error`
  // filled when the key cannot be created or opened.
  static std::unique_ptr<UserRegistryKey> Create(std::u16string_view path, SystemError* error);

  ~UserRegistryKey();
  UserRegistryKey(const UserRegistryKey&) = delete;
  UserRegistryKey& operator=(const UserRegistryKey&) = delete;

  struct Native;

 private:
  explicit UserRegistryKey(std::unique_ptr<Native> native);
  std::unique_ptr<Native> native_;
};

}  // namespace platform
