// POSIX backend of platform/serial_ports.h.
//
// The candidates are the names OpenSerialPort resolves: a link
// $ROOT/dosdevices/comN makes "COMN" (the layout Wine uses), and without
// any such link the fixed table of devices stands in. A machine that has
// links has said which ports it means; the table is only the fallback, so
// that a bare machine still finds a terminal on its first ports.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/files.h"
#include "platform/serial_ports.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

// The table OpenSerialPort falls back on; each range covers 32 ports.
struct DeviceRange {
  int first_port;
  const char* device;  // file name stem under the device directory
};
constexpr DeviceRange kDefaultDevices[] = {{1, "ttyS"}, {33, "ttyUSB"}, {65, "ttyACM"}};
constexpr int kPortsPerRange = 32;

// Port numbers have at most four digits ("COM9999"), as OpenSerialPort
// accepts them.
constexpr int kMaxPortDigits = 4;

std::mutex g_device_directory_turn;
std::string g_device_directory;  // the testing override; empty: /dev

std::string DeviceDirectory() {
  std::lock_guard<std::mutex> turn(g_device_directory_turn);
  return g_device_directory.empty() ? std::string("/dev") : g_device_directory;
}

// The port number of a link name "comN" (lower case, N without a leading
// zero, as OpenSerialPort looks the link up), or 0 for any other name.
int LinkPortNumber(std::string_view name) {
  if (name.size() < 4 || name.substr(0, 3) != "com") return 0;
  const std::string_view digits = name.substr(3);
  if (digits.size() > static_cast<size_t>(kMaxPortDigits) || digits.front() == '0') return 0;
  int n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
  }
  return n;
}

// The port numbers of the comN links, ascending. A directory that cannot
// be read has no links.
std::vector<int> LinkedPorts(const fs::path& dosdevices) {
  std::vector<int> ports;
  std::error_code ec;
  fs::directory_iterator it(dosdevices, ec);
  if (ec) return ports;
  for (const fs::directory_entry& entry : it) {
    const int n = LinkPortNumber(entry.path().filename().string());
    if (n <= 0) continue;
    std::error_code status_error;
    if (!entry.is_symlink(status_error)) continue;
    ports.push_back(n);
  }
  std::sort(ports.begin(), ports.end());
  return ports;
}

// The ports of the fixed table whose device exists, in table order, at most
// `max_count`.
std::vector<int> TablePorts(const std::string& device_directory, size_t max_count) {
  std::vector<int> ports;
  for (const DeviceRange& range : kDefaultDevices) {
    for (int i = 0; i < kPortsPerRange && ports.size() < max_count; ++i) {
      const std::string device =
          device_directory + "/" + range.device + std::to_string(i);
      struct stat st {};
      if (::stat(device.c_str(), &st) == 0) ports.push_back(range.first_port + i);
    }
  }
  return ports;
}

}  // namespace

std::vector<std::string> ListSerialPorts(int max_count) {
  const size_t limit =
      static_cast<size_t>(std::clamp(max_count, 0, kMaxListedSerialPorts));
  std::vector<int> ports = LinkedPorts(fs::path(DataRoot()) / "dosdevices");
  if (ports.empty()) ports = TablePorts(DeviceDirectory(), limit);
  if (ports.size() > limit) ports.resize(limit);
  std::vector<std::string> names;
  names.reserve(ports.size());
  for (int n : ports) names.push_back("COM" + std::to_string(n));
  return names;
}

namespace testing {
void SetSerialDeviceDirectory(const std::string& directory) {
  std::lock_guard<std::mutex> turn(g_device_directory_turn);
  g_device_directory = directory;
}
}  // namespace testing

}  // namespace platform
