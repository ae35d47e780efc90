// Serial ports on POSIX: termios raw lines, woken through poll().
//
// Port names keep their Windows form ("COM3", "\\.\COM12"); a name resolves
// to the device that $ROOT/dosdevices/com<n> points to when that link
// exists (the layout Wine uses), otherwise to a fixed table:
//   COM1-COM32 -> /dev/ttyS0-31, COM33-COM64 -> /dev/ttyUSB0-31,
//   COM65-COM96 -> /dev/ttyACM0-31.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "native_posix.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/serial.h"

namespace platform {
namespace {

constexpr int kWriteCompletionMs = 1000;

struct BaudEntry {
  int rate;
  speed_t code;
};

// The rates termios names; a rate outside this table is refused rather
// than silently replaced by another.
constexpr BaudEntry kBaudTable[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
    {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

struct DeviceRange {
  int first_port;
  const char* prefix;
};

// Each range covers 32 ports.
constexpr DeviceRange kDefaultDevices[] = {
    {1, "/dev/ttyS"}, {33, "/dev/ttyUSB"}, {65, "/dev/ttyACM"}};
constexpr int kPortsPerRange = 32;

SystemError ErrnoError(const char* what, int code) {
  return SystemError{code, std::string(what) + ": " + std::strerror(code)};
}

// The port number of "COMn" or "\\.\COMn" (letter case ignored, as Windows
// does), or 0.
int PortNumber(const std::string& name) {
  std::string_view s(name);
  if (s.substr(0, 4) == "\\\\.\\") s.remove_prefix(4);
  if (s.size() < 4) return 0;
  for (int i = 0; i < 3; ++i) {
    if (std::toupper(static_cast<unsigned char>(s[i])) != "COM"[i]) return 0;
  }
  s.remove_prefix(3);
  if (s.size() > 4 || s.front() == '0') return 0;
  int n = 0;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return 0;
    n = n * 10 + (c - '0');
  }
  return n;
}

bool ApplyLine(int fd, const LineSettings& s, SystemError* error) {
  const BaudEntry* baud = nullptr;
  for (const BaudEntry& e : kBaudTable) {
    if (e.rate == s.baud_rate) baud = &e;
  }
  if (baud == nullptr) {
    *error = SystemError{EINVAL, "unsupported baud rate " + std::to_string(s.baud_rate)};
    return false;
  }
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) {
    *error = ErrnoError("tcgetattr", errno);
    return false;
  }
  // Raw 8-bit line without software flow control; hardware flow control
  // and the modem lines stay as the driver has them.
  tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                   IXOFF | IXANY | INPCK);
  tio.c_oflag &= ~OPOST;
  tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
  tio.c_cflag |= CLOCAL | CREAD;
  switch (s.byte_size) {
    case 5: tio.c_cflag |= CS5; break;
    case 6: tio.c_cflag |= CS6; break;
    case 7: tio.c_cflag |= CS7; break;
    case 8: tio.c_cflag |= CS8; break;
    default:
      *error = SystemError{EINVAL, "unsupported byte size"};
      return false;
  }
  switch (s.parity) {
    case 0: break;
    case 1: tio.c_cflag |= PARENB | PARODD; break;
    case 2: tio.c_cflag |= PARENB; break;
    default:
      *error = SystemError{EINVAL, "unsupported parity"};
      return false;
  }
  switch (s.stop_bits) {
    case 0: break;
    case 2: tio.c_cflag |= CSTOPB; break;
    default:
      *error = SystemError{EINVAL, "unsupported stop bits"};
      return false;
  }
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, baud->code);
  cfsetospeed(&tio, baud->code);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    *error = ErrnoError("tcsetattr", errno);
    return false;
  }
  return true;
}

class PosixSerialPort final : public SerialPort {
 public:
  PosixSerialPort(int fd, int wake_fd) : fd_(fd), wake_fd_(wake_fd) {}
  ~PosixSerialPort() override {
    close(wake_fd_);
    close(fd_);  // also releases the flock
  }

  int Write(const uint8_t* data, int count) override {
    if (count <= 0) return 0;
    const uint32_t start = TickCount();
    int done = 0;
    while (done < count) {
      const ssize_t n = write(fd_, data + done, static_cast<size_t>(count - done));
      if (n > 0) {
        done += static_cast<int>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) break;
      const uint32_t elapsed = TickCount() - start;
      if (elapsed >= static_cast<uint32_t>(kWriteCompletionMs)) break;
      pollfd p{fd_, POLLOUT, 0};
      if (PollRetrying(&p, 1, kWriteCompletionMs - static_cast<int>(elapsed)) <= 0) break;
      if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) break;
    }
    if (done == count) return count;
    // Incomplete: count as nothing and drop what is stuck, so the next
    // write starts clean.
    tcflush(fd_, TCOFLUSH);
    return 0;
  }

  int Read(uint8_t* buffer, int max) override {
    if (max <= 0) return 0;
    int waiting = 0;
    if (ioctl(fd_, FIONREAD, &waiting) != 0 || waiting <= 0) return 0;
    for (;;) {
      const ssize_t n = read(fd_, buffer, static_cast<size_t>(max));
      if (n < 0 && errno == EINTR) continue;
      return n > 0 ? static_cast<int>(n) : 0;
    }
  }

  CommEvent WaitForEvent(Event& kill) override {
    pollfd fds[3] = {{kill.native().fd, POLLIN, 0}, {wake_fd_, POLLIN, 0}, {fd_, POLLIN, 0}};
    // After a hang-up the device stays readable-with-error forever; leaving
    // it out of the set keeps the wait asleep until stop or cancel.
    const unsigned count = hung_up_ ? 2 : 3;
    for (;;) {
      if (PollRetrying(fds, count, -1) < 0) {
        // Nothing sensible to wait on; report once and let the caller's
        // state decide, as a failed wait would on Windows.
        return CommEvent::kOther;
      }
      if (fds[0].revents & POLLIN) {
        if (!kill.native().manual) ConsumeEvent(kill.native());
        return CommEvent::kKilled;
      }
      if (fds[1].revents & POLLIN) {
        uint64_t value = 0;
        (void)!read(wake_fd_, &value, sizeof value);
        return CommEvent::kOther;
      }
      if (count < 3 || fds[2].revents == 0) continue;
      // A hung-up line reports itself readable with an error; only bytes
      // that can still be read count as received.
      if (fds[2].revents & (POLLHUP | POLLERR | POLLNVAL)) {
        int waiting = 0;
        if (ioctl(fd_, FIONREAD, &waiting) == 0 && waiting > 0) return CommEvent::kReceived;
        hung_up_ = true;
        return CommEvent::kOther;
      }
      return CommEvent::kReceived;
    }
  }

  void CancelWait() override {
    const uint64_t one = 1;
    (void)!write(wake_fd_, &one, sizeof one);
  }

  void Purge() override { tcflush(fd_, TCIOFLUSH); }

 private:
  const int fd_;
  const int wake_fd_;
  bool hung_up_ = false;  // touched only by the thread that waits
};

}  // namespace

std::string ResolveSerialDevice(const std::string& port_name) {
  const int n = PortNumber(port_name);
  if (n <= 0) return {};
  namespace fs = std::filesystem;
  const fs::path link = fs::path(DataRoot()) / "dosdevices" / ("com" + std::to_string(n));
  std::error_code ec;
  if (fs::is_symlink(fs::symlink_status(link, ec))) {
    fs::path target = fs::read_symlink(link, ec);
    if (ec) return link.string();
    if (target.is_relative()) target = link.parent_path() / target;
    return target.lexically_normal().string();
  }
  for (const DeviceRange& r : kDefaultDevices) {
    if (n >= r.first_port && n < r.first_port + kPortsPerRange) {
      return r.prefix + std::to_string(n - r.first_port);
    }
  }
  return {};
}

std::shared_ptr<SerialPort> OpenSerialPort(const std::string& port_name,
                                           const LineSettings& settings,
                                           SystemError* error) {
  SystemError ignored;
  if (error == nullptr) error = &ignored;
  if (settings.baud_rate <= 0) {
    *error = SystemError{EINVAL, "baud rate must be positive"};
    return nullptr;
  }
  const std::string device = ResolveSerialDevice(port_name);
  if (device.empty()) {
    *error = SystemError{ENOENT, "no device for port name " + port_name};
    return nullptr;
  }
  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = ErrnoError(device.c_str(), errno);
    return nullptr;
  }
  auto fail = [&](SystemError e) -> std::shared_ptr<SerialPort> {
    *error = std::move(e);
    close(fd);
    return nullptr;
  };
  if (!isatty(fd)) return fail(SystemError{ENOTTY, device + ": not a serial device"});
  // Exclusive use is an flock on the device: the kernel drops it when its
  // holder's process ends, however it ends, so a port whose user was killed
  // is free at once. The driver's exclusive flag (TIOCEXCL) is not set: it
  // belongs to the device rather than to a process, and after a kill it
  // stayed set for as long as anything else kept the device open (the far
  // side of a pseudo-terminal, a virtual or bridged port), refusing the
  // next agent. A flag that another program has set is still honoured.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int code = errno;
    return fail(code == EWOULDBLOCK ? SystemError{EBUSY, device + ": held by another program"}
                                    : ErrnoError("flock", code));
  }
  int held_exclusively = 0;
  if (ioctl(fd, TIOCGEXCL, &held_exclusively) == 0 && held_exclusively) {
    return fail(SystemError{EBUSY, device + ": held by another program"});
  }
  SystemError line_error;
  if (!ApplyLine(fd, settings, &line_error)) return fail(std::move(line_error));
  tcflush(fd, TCIOFLUSH);
  const int wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd < 0) return fail(ErrnoError("eventfd", errno));
  return std::make_shared<PosixSerialPort>(fd, wake_fd);
}

}  // namespace platform
