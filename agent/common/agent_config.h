// The agent's settings in "C:\OVVarsel\OVVARSEL.ini". Nothing is cached:
// every read opens the file again, so a value edited by hand applies at its
// next use.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace agent {

inline constexpr const char* kAgentIniPath = "C:\\OVVarsel\\OVVARSEL.ini";

// Section and key names, exactly as spelled in the file.
inline constexpr std::u16string_view kSectionCat = u"CAT";
inline constexpr std::u16string_view kSectionHttp = u"HTTP";
inline constexpr std::u16string_view kKeyWebMode = u"WebMode";
inline constexpr std::u16string_view kKeyServerPortWebsocket = u"ServerPortWebsocket";
inline constexpr std::u16string_view kKeyServerPortAjax = u"ServerPortAjax";
inline constexpr std::u16string_view kKeyGet = u"GET";
inline constexpr std::u16string_view kKeyCatComPort = u"CatComPort";
inline constexpr std::u16string_view kKeyCatComBaud = u"CatComBaud";
// Opt-in hardening (common/security.h); none of these keys has a default.
inline constexpr std::u16string_view kSectionSecurity = u"SECURITY";
inline constexpr std::u16string_view kKeyListenAddress = u"ListenAddress";
inline constexpr std::u16string_view kKeyAllowedOrigins = u"AllowedOrigins";
inline constexpr std::u16string_view kKeySignatureFolder = u"SignatureFolder";

// The value of `key` in `section`, or `fallback` when the file, section or
// key is missing; at most 63 characters (a longer value is cut).
std::u16string ReadAgentSetting(std::u16string_view section, std::u16string_view key,
                                std::u16string_view fallback);

// The same with room for kLongSettingChars - 1 characters, for values that
// can be longer than 63 (a list of origins, a folder).
inline constexpr std::size_t kLongSettingChars = 1024;
std::u16string ReadLongAgentSetting(std::u16string_view section, std::u16string_view key);

// Writes the value, creating file, section and key as needed (never the
// folder). True on success.
bool WriteAgentSetting(std::u16string_view section, std::u16string_view key,
                       std::u16string_view value);

// The value with the key's default text when it is empty or missing
// ("0" WebMode, "8088" ServerPortWebsocket, "9088" ServerPortAjax, "N" GET;
// CatComPort and CatComBaud have none and stay empty).
std::u16string ResolveAgentSetting(std::u16string_view section, std::u16string_view key);

// Decimal conversion as the agent does it everywhere: leading blanks
// skipped, an optional sign, digits up to the first other character; no
// digits give 0 ("abc" -> 0, "80x" -> 80). Values beyond 32 bits saturate.
int ParseSettingNumber(std::u16string_view text);
int ParseSettingNumber(std::string_view text);

}  // namespace agent
