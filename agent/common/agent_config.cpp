#include "common/agent_config.h"

#include <climits>
#include <cstddef>
#include <cstdint>

#include "platform/files.h"
#include "platform/profile.h"

namespace agent {
namespace {

// The profile functions' buffer: 63 characters and a terminator.
constexpr size_t kSettingBufferChars = 64;

// Built anew on every call: the data root may differ from one call to the
// next, and nothing about the file is kept between calls.
std::string IniPath() { return platform::DataPath(kAgentIniPath); }

struct KeyDefault {
  std::u16string_view section;
  std::u16string_view key;
  std::u16string_view value;
};

// Keys with a default text. CatComPort and CatComBaud have none: an empty
// value there stays empty (the number 0, or an empty field in a dialog).
constexpr KeyDefault kDefaults[] = {
    {kSectionHttp, kKeyWebMode, u"0"},
    {kSectionHttp, kKeyServerPortWebsocket, u"8088"},
    {kSectionHttp, kKeyServerPortAjax, u"9088"},
    {kSectionHttp, kKeyGet, u"N"},
};

const KeyDefault* FindDefault(std::u16string_view section, std::u16string_view key) {
  for (const KeyDefault& entry : kDefaults) {
    if (entry.section == section && entry.key == key) return &entry;
  }
  return nullptr;
}

// The blanks that the C runtime's decimal conversions skip.
template <typename Char>
bool IsBlank(Char c) {
  return c == Char(' ') || c == Char('\t') || c == Char('\n') || c == Char('\v') ||
         c == Char('\f') || c == Char('\r');
}

template <typename Char>
int ParseNumber(std::basic_string_view<Char> text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == Char('+') || text[i] == Char('-'))) {
    negative = text[i] == Char('-');
    ++i;
  }
  // The magnitude stops growing once it is past what 32 bits hold, so any
  // number of digits saturates instead of overflowing.
  constexpr int64_t kLimit = int64_t{INT_MAX} + 1;
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= Char('0') && text[i] <= Char('9'); ++i) {
    if (magnitude < kLimit) magnitude = magnitude * 10 + (text[i] - Char('0'));
  }
  if (negative) return magnitude >= kLimit ? INT_MIN : static_cast<int>(-magnitude);
  return magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
}

}  // namespace

std::u16string ReadAgentSetting(std::u16string_view section, std::u16string_view key,
                                std::u16string_view fallback) {
  std::u16string value =
      platform::ReadProfileValue(IniPath(), section, key, fallback, kSettingBufferChars);
  // The 63-character cut holds whatever the backend hands back.
  if (value.size() > kSettingBufferChars - 1) value.resize(kSettingBufferChars - 1);
  return value;
}

std::u16string ReadLongAgentSetting(std::u16string_view section, std::u16string_view key) {
  std::u16string value = platform::ReadProfileValue(IniPath(), section, key, u"", kLongSettingChars);
  if (value.size() > kLongSettingChars - 1) value.resize(kLongSettingChars - 1);
  return value;
}

bool WriteAgentSetting(std::u16string_view section, std::u16string_view key,
                       std::u16string_view value) {
  return platform::WriteProfileValue(IniPath(), section, key, value);
}

std::u16string ResolveAgentSetting(std::u16string_view section, std::u16string_view key) {
  const KeyDefault* entry = FindDefault(section, key);
  // GET is read with its default passed to the read itself; every other key
  // is read with the empty default and completed afterwards.
  const std::u16string_view read_default = key == kKeyGet && entry != nullptr
                                               ? entry->value
                                               : std::u16string_view{};
  std::u16string value = ReadAgentSetting(section, key, read_default);
  // A key that is present but empty counts as missing (for GET too: an
  // empty value and "N" both leave GET requests unserved).
  if (value.empty() && entry != nullptr) value = entry->value;
  return value;
}

int ParseSettingNumber(std::u16string_view text) { return ParseNumber(text); }

int ParseSettingNumber(std::string_view text) { return ParseNumber(text); }

}  // namespace agent
