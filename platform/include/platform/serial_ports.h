// The serial ports the system knows, as the candidates for looking for the
// terminal.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The most ports a listing holds.
inline constexpr int kMaxListedSerialPorts = 40;

// Names "COMn" of the serial ports the system knows, in the system's
// enumeration order, at most `max_count` (never more than
// kMaxListedSerialPorts). Empty when none is known.
//
// Windows: the values of the registry key HARDWARE\DEVICEMAP\SERIALCOMM, in
// the order the registry enumerates them; a value whose name or data does
// not fit the reading buffers is skipped.
// POSIX: the links $ROOT/dosdevices/comN, by ascending N; only when there is
// no such link at all, the devices of the fixed table that exist
// (/dev/ttyS0.. as COM1.., /dev/ttyUSB0.. as COM33.., /dev/ttyACM0.. as
// COM65..), in table order.
std::vector<std::string> ListSerialPorts(int max_count = kMaxListedSerialPorts);

namespace testing {
// Makes the POSIX listing look for the fixed table's devices in `directory`
// instead of /dev (empty: /dev again), so that a test does not depend on the
// machine's devices. Tests only; no effect on Windows.
void SetSerialDeviceDirectory(const std::string& directory);
}  // namespace testing

}  // namespace platform
