// The checks of the opt-in hardening over what a browser or a client sends
// (Origin and Host fields, an SBMP file name) and what a shop types into
// its settings (the AllowedOrigins list). The input is split at its first
// zero byte: the list before it, the field after it.
//
// Checked: nothing reads past its input; a normalised origin is stable
// under normalising again; every entry of a parsed list is served under
// that list; an empty list serves everything; a Host that is served names
// the loopback with the port; a bare file name holds no separator, drive or
// control byte.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/security.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_origin_check: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t zero = input.find('\0');
  const std::string list_text = input.substr(0, zero);
  // A field as the layers hand it over: a C string.
  const std::string field = zero == std::string::npos ? input : input.substr(zero + 1);
  const char* field_text = field.c_str();

  const std::vector<std::string> allowed = agent::ParseOriginList(list_text);
  for (const std::string& entry : allowed) {
    if (entry.empty()) Fail("empty entry kept");
    if (agent::NormalizeOrigin(entry) != entry) Fail("normalising is not stable");
    if (!agent::OriginAllowed(allowed, entry.c_str())) Fail("a listed origin is refused");
  }
  if (!agent::OriginAllowed({}, field_text)) Fail("an empty list refused an origin");
  if (!agent::OriginAllowed(allowed, nullptr)) Fail("no Origin refused");
  agent::OriginAllowed(allowed, field_text);

  for (uint16_t port : {uint16_t{0}, uint16_t{9088}, uint16_t{65535}}) {
    if (!agent::HostIsLoopback(field_text, port)) continue;
    const std::string host(field_text);
    const std::string suffix = ":" + std::to_string(port);
    if (host.size() <= suffix.size() ||
        host.compare(host.size() - suffix.size(), suffix.size(), suffix) != 0) {
      Fail("a Host without the port was served");
    }
  }

  if (agent::IsBareFileName(field)) {
    for (char c : field) {
      if (c == '/' || c == '\\' || c == ':' || static_cast<unsigned char>(c) < 0x20) {
        Fail("a name with a folder part passed");
      }
    }
    if (field == "." || field == "..") Fail("a dot name passed");
  }
  return 0;
}
