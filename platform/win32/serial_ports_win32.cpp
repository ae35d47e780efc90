// Windows backend of platform/serial_ports.h: the registry's list of serial
// ports, HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM. Each value there
// is one port: its name is the driver's device ("\Device\Serial0"), its data
// the port's name ("COM3").
#include <algorithm>
#include <string>
#include <vector>

#include "native_win32.h"
#include "platform/serial_ports.h"

namespace platform {
namespace {

// Reading buffers: a value name of up to 99 UTF-16 units and its NUL; a
// port name of up to 9 characters and its NUL, in 20 bytes.
constexpr DWORD kValueNameUnits = 100;
constexpr DWORD kValueDataBytes = 20;
constexpr DWORD kValueDataUnits = kValueDataBytes / sizeof(wchar_t);

// The port name in 8-bit text (the ANSI code page), from the UTF-16 units
// up to the first NUL within `units`.
std::string Narrow(const wchar_t* text, DWORD units) {
  DWORD length = 0;
  while (length < units && text[length] != L'\0') ++length;
  if (length == 0) return {};
  char narrow[kValueDataBytes * 2] = {};
  const int bytes = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), narrow,
                                        static_cast<int>(sizeof narrow), nullptr, nullptr);
  return bytes > 0 ? std::string(narrow, static_cast<size_t>(bytes)) : std::string();
}

}  // namespace

std::vector<std::string> ListSerialPorts(int max_count) {
  const size_t limit =
      static_cast<size_t>(std::clamp(max_count, 0, kMaxListedSerialPorts));
  std::vector<std::string> names;
  HKEY key = nullptr;
  if (RegOpenKeyW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", &key) !=
      ERROR_SUCCESS) {
    return names;
  }
  for (DWORD index = 0; names.size() < limit; ++index) {
    // Cleared for every index, so nothing of a longer earlier value remains.
    wchar_t value_name[kValueNameUnits] = {};
    wchar_t value_data[kValueDataUnits] = {};
    DWORD name_units = kValueNameUnits;
    const LONG listed = RegEnumValueW(key, index, value_name, &name_units, nullptr, nullptr,
                                      nullptr, nullptr);
    // A name that does not fit the buffer is not this index's end of the
    // list: skip the value and go on with the next.
    if (listed == ERROR_MORE_DATA) continue;
    if (listed != ERROR_SUCCESS) break;
    DWORD type = 0;
    DWORD data_bytes = kValueDataBytes;
    const LONG read = RegQueryValueExW(key, value_name, nullptr, &type,
                                       reinterpret_cast<BYTE*>(value_data), &data_bytes);
    // A port name longer than the buffer would only be a cut name, which
    // names another port or none: skipped. So is data that is not text.
    if (read != ERROR_SUCCESS || type != REG_SZ) continue;
    std::string name = Narrow(value_data, data_bytes / sizeof(wchar_t));
    if (!name.empty()) names.push_back(std::move(name));
  }
  RegCloseKey(key);
  return names;
}

namespace testing {
void SetSerialDeviceDirectory(const std::string&) {}
}  // namespace testing

}  // namespace platform
