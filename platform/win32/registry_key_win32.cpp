// Windows backend of platform/registry_key.h.
#include <string>

#include "native_win32.h"
#include "platform/registry_key.h"

namespace platform {

struct UserRegistryKey::Native {
  HKEY key = nullptr;
};

std::unique_ptr<UserRegistryKey> UserRegistryKey::Create(std::u16string_view path,
                                                         SystemError* error) {
  const std::wstring wide_path(path.begin(), path.end());
  HKEY key = nullptr;
  DWORD disposition = 0;
  const LONG result = RegCreateKeyExW(HKEY_CURRENT_USER, wide_path.c_str(), 0, nullptr,
                                      REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                                      &disposition);
  if (result != ERROR_SUCCESS) {
    if (error != nullptr) {
      *error = MakeSystemError(static_cast<DWORD>(result), "RegCreateKeyExW");
    }
    return nullptr;
  }
  auto native = std::make_unique<Native>();
  native->key = key;
  return std::unique_ptr<UserRegistryKey>(new UserRegistryKey(std::move(native)));
}

UserRegistryKey::UserRegistryKey(std::unique_ptr<Native> native) : native_(std::move(native)) {}

UserRegistryKey::~UserRegistryKey() {
  if (native_->key != nullptr) RegCloseKey(native_->key);
}

}  // namespace platform
