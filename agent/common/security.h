// Opt-in hardening, from the section [SECURITY] of the settings file. Each
// value is empty unless a shop sets it, and empty means the behaviour of a
// file without the section:
//
//   ListenAddress    the IPv4 address the WebSocket listeners bind
//                    ("127.0.0.1" keeps the shop's network out); empty:
//                    every local address
//   AllowedOrigins   origins separated by blanks or commas
//                    ("https://pos.example.com http://localhost:3000"):
//                    a browser page from any other origin is refused (403)
//                    before its message reaches the dispatcher; so is an
//                    AJAX request whose Host is not the loopback address or
//                    localhost with the server's port. A request without
//                    an Origin (a local program, not a browser) is served;
//                    "null" only when listed.
//   SignatureFolder  the folder SBMP writes in; the request may then name
//                    only a bare file name in it
//
// Values are read when needed, never cached, like every other setting.
// The pure checks take no lock and read no file, so they can be fuzzed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace agent {

// The ListenAddress text, as typed (empty when unset).
std::string ReadListenAddress();

// The AllowedOrigins list; empty when unset (every origin served).
std::vector<std::string> ReadAllowedOrigins();

// The SignatureFolder in the file system's text (empty when unset).
std::string ReadSignatureFolder();

// The entries of an AllowedOrigins value, each normalised as
// NormalizeOrigin does; empty entries dropped.
std::vector<std::string> ParseOriginList(std::string_view text);

// An origin as browsers send it, for comparison: scheme and host in lower
// case, trailing "/" dropped, the default port (:80 for http, :443 for
// https) dropped. Normalising twice gives the same text.
std::string NormalizeOrigin(std::string_view origin);

// Whether a request with this Origin field (nullptr: none) is served under
// `allowed`. An empty list serves every request.
bool OriginAllowed(const std::vector<std::string>& allowed, const char* origin);

// Whether a Host field names this server: "127.0.0.1:<port>" or
// "localhost:<port>" (letter case ignored). A missing Host (nullptr) does
// not.
bool HostIsLoopback(const char* host, std::uint16_t port);

// Whether `name` is a bare file name: no folder part ('/' or '\'), no drive
// (':'), not "." or "..", no control character. The empty name is one (it
// stands for the default file name).
bool IsBareFileName(std::string_view name);

}  // namespace agent
