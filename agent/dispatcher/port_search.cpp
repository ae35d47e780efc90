#include "dispatcher/port_search.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Telquin.h"
#include "common/agent_log.h"
#include "common/agent_texts.h"
#include "platform/clock.h"
#include "platform/message_box.h"
#include "platform/module.h"
#include "platform/serial_ports.h"

namespace agent {
namespace {

constexpr const char* kLinkLibrary = "Telquin.dll";
constexpr const char* kBindLabel = "SearchPortForCat";

// The probe's response buffer holds whatever a raw command may bring back
// (the link library's 3000 bytes and a NUL); its content is not used.
constexpr const char* kProbeRequest = "***";
constexpr int kProbeAckTimeoutSeconds = 5;
constexpr size_t kProbeResponseBytes = 4098;

// A listed name is kept to this many bytes; its number follows "COM".
constexpr size_t kMaxNameBytes = 20;
constexpr size_t kPrefixLength = 3;
constexpr size_t kMaxNumberDigits = 9;  // fits an int without overflow

// The rates in the order they are tried. The first pass tries the two
// common rates on every port before the second pass tries the rest, so a
// terminal at a common rate on a later port is not kept waiting behind
// every rate of the ports before it.
constexpr int kBaudRates[] = {9600, 115200, 57600, 38400, 19200};

struct SearchPass {
  size_t first_rate;  // index into kBaudRates
  size_t rate_count;
  uint32_t pause_ms;  // between two probes of one port
};
constexpr SearchPass kPasses[] = {{0, 2, 500}, {2, 3, 0}};

struct Entry {
  std::string name;  // "COM3", at most kMaxNameBytes
  int number = 0;    // 0: not a port that can be probed
};

void Log(const char* label, const std::string& text) { WriteAgentLog(0, label, text.c_str()); }

// The box and the log line of a binding failure.
int BindFailed(const std::string& box_text, std::string_view log_text) {
  platform::ShowMessageBox(texts::Wide(box_text));
  Log(kBindLabel, texts::Ansi(log_text));
  return 0;
}

std::vector<Entry> ListEntries() {
  std::vector<Entry> entries;
  for (std::string& name : platform::ListSerialPorts(platform::kMaxListedSerialPorts)) {
    if (name.size() > kMaxNameBytes) name.resize(kMaxNameBytes);
    entries.push_back(Entry{std::move(name), 0});
  }
  return entries;
}

bool Probe(ReqToCat_WS_fn request, int port, int baud) {
  return ProbeTerminal(request, port, baud) == 1;
}

// Runs the passes over the entries in order; true with the first probe
// that was acknowledged.
bool FindTerminal(ReqToCat_WS_fn request, const std::vector<Entry>& entries, int* found_port,
                  int* found_baud) {
  for (const SearchPass& pass : kPasses) {
    for (const Entry& entry : entries) {
      // A name without a port number names nothing that can be opened.
      if (entry.number <= 0) continue;
      for (size_t i = 0; i < pass.rate_count; ++i) {
        if (i > 0 && pass.pause_ms > 0) platform::SleepMs(pass.pause_ms);
        const int baud = kBaudRates[pass.first_rate + i];
        if (Probe(request, entry.number, baud)) {
          *found_port = entry.number;
          *found_baud = baud;
          return true;
        }
      }
    }
  }
  return false;
}

}  // namespace

int ProbeTerminal(ReqToCat_WS_fn request, int port, int baud) {
  std::vector<char> response(kProbeResponseBytes, '\0');
  return request(port, baud, kProbeRequest, response.data(), kProbeAckTimeoutSeconds);
}

int SearchedPortNumber(const std::string& name) {
  if (name.size() <= kPrefixLength || name.size() > kPrefixLength + kMaxNumberDigits) return 0;
  for (size_t i = 0; i < kPrefixLength; ++i) {
    if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return 0;
  }
  int n = 0;
  for (size_t i = kPrefixLength; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

int SearchPortForCat(int* port, int* baud) {
  platform::SystemError error;
  const std::unique_ptr<platform::Module> link = platform::Module::Load(kLinkLibrary, &error);
  if (!link) {
    return BindFailed(std::string(kLinkLibrary) + std::string(texts::kLoadFailed),
                      texts::kPortSearchFailedDll);
  }
  const auto request = reinterpret_cast<ReqToCat_WS_fn>(link->Find("ReqToCat_WS"));
  if (request == nullptr) {
    return BindFailed("ReqToCat_WS" + std::string(texts::kEntryNotFound),
                      texts::kPortSearchFailedWs);
  }

  Log("SearchPort", "SearchPort Start!!");
  std::vector<Entry> entries = ListEntries();
  if (entries.empty()) {
    Log("SearchPort", "Port Not Found!!");
    return -1;
  }
  for (Entry& entry : entries) {
    const std::string number_text =
        entry.name.size() > kPrefixLength ? entry.name.substr(kPrefixLength) : std::string();
    Log("SearchedPort", number_text);
    entry.number = SearchedPortNumber(entry.name);
  }

  int found_port = 0;
  int found_baud = 0;
  if (!FindTerminal(request, entries, &found_port, &found_baud)) {
    Log("SearchPort", "SearchPort Fail.");
    return -1;
  }
  if (port != nullptr) *port = found_port;
  if (baud != nullptr) *baud = found_baud;
  Log("iComPort", std::to_string(found_port));
  Log("iBaudRate", std::to_string(found_baud));
  Log("SearchPort", "SearchPort Success.");
  return 1;
}

}  // namespace agent
