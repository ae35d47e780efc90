#include "common/security.h"

#include <algorithm>
#include <cctype>

#include "common/agent_config.h"
#include "platform/files.h"
#include "platform/text.h"

namespace agent {
namespace {

bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == ','; }

struct DefaultPort {
  std::string_view scheme;
  std::string_view port;
};
constexpr DefaultPort kDefaultPorts[] = {{"http://", ":80"}, {"https://", ":443"}};

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && Lower(a) == Lower(b);
}

}  // namespace

std::string ReadListenAddress() {
  return platform::Utf16ToUtf8(ReadLongAgentSetting(kSectionSecurity, kKeyListenAddress));
}

std::vector<std::string> ReadAllowedOrigins() {
  return ParseOriginList(
      platform::Utf16ToUtf8(ReadLongAgentSetting(kSectionSecurity, kKeyAllowedOrigins)));
}

std::string ReadSignatureFolder() {
  return platform::FileSystemText(ReadLongAgentSetting(kSectionSecurity, kKeySignatureFolder));
}

std::vector<std::string> ParseOriginList(std::string_view text) {
  std::vector<std::string> origins;
  size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && IsSeparator(text[at])) ++at;
    size_t end = at;
    while (end < text.size() && !IsSeparator(text[end])) ++end;
    std::string origin = NormalizeOrigin(text.substr(at, end - at));
    if (!origin.empty()) origins.push_back(std::move(origin));
    at = end;
  }
  return origins;
}

std::string NormalizeOrigin(std::string_view origin) {
  std::string normal = Lower(origin);
  // Each step only shortens the text; repeated until nothing changes, so
  // that normalising again changes nothing either.
  for (bool changed = true; changed;) {
    const size_t before = normal.size();
    while (!normal.empty() && normal.back() == '/') normal.pop_back();
    // Browsers leave the default port out; a list may name it.
    for (const DefaultPort& d : kDefaultPorts) {
      const std::string_view text(normal);
      if (text.size() <= d.scheme.size() + d.port.size() ||
          text.substr(0, d.scheme.size()) != d.scheme ||
          text.substr(text.size() - d.port.size()) != d.port) {
        continue;
      }
      const std::string_view host =
          text.substr(d.scheme.size(), text.size() - d.scheme.size() - d.port.size());
      if (host.find(':') == std::string_view::npos) normal.resize(normal.size() - d.port.size());
    }
    changed = normal.size() != before;
  }
  return normal;
}

bool OriginAllowed(const std::vector<std::string>& allowed, const char* origin) {
  if (allowed.empty() || origin == nullptr) return true;
  const std::string normal = NormalizeOrigin(origin);
  if (normal.empty()) return false;
  return std::find(allowed.begin(), allowed.end(), normal) != allowed.end();
}

bool HostIsLoopback(const char* host, std::uint16_t port) {
  if (host == nullptr) return false;
  const std::string_view text(host);
  const std::string suffix = ":" + std::to_string(port);
  if (text.size() <= suffix.size() || text.substr(text.size() - suffix.size()) != suffix) {
    return false;
  }
  const std::string_view name = text.substr(0, text.size() - suffix.size());
  return name == "127.0.0.1" || EqualsIgnoringCase(name, "localhost");
}

bool IsBareFileName(std::string_view name) {
  if (name == "." || name == "..") return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    return c == '/' || c == '\\' || c == ':' || static_cast<unsigned char>(c) < 0x20;
  });
}

}  // namespace agent
