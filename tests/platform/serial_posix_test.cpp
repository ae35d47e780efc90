// The POSIX serial backend against real pseudo-terminals.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/serial.h"
#include "platform/sync.h"
#include "support/temp_root.h"

namespace platform {
namespace {

// A pseudo-terminal pair: the test plays the far end on the master.
struct Pty {
  int master = -1;
  std::string slave;
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    grantpt(master);
    unlockpt(master);
    slave = ptsname(master);
  }
  ~Pty() { CloseMaster(); }
  void CloseMaster() {
    if (master >= 0) close(master);
    master = -1;
  }
  std::string ReadMaster(size_t want) {
    std::string got;
    while (got.size() < want) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) break;
      char buf[256];
      const ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }
};

// Makes COM<n> of the temporary root point at `device`.
void LinkPort(const ovt_test::TempRoot& root, int n, const std::string& device) {
  std::filesystem::create_directories(root.path() + "/dosdevices");
  std::filesystem::create_symlink(device, root.path() + "/dosdevices/com" + std::to_string(n));
}

// COM3 of a temporary root on a fresh pseudo-terminal.
class PortOnPty : public ::testing::Test {
 protected:
  void SetUp() override { LinkPort(root_, 3, pty_.slave); }
  std::shared_ptr<SerialPort> Open(int baud = 9600) {
    auto port = OpenSerialPort("COM3", {baud, 8, 0, 0}, &error_);
    EXPECT_TRUE(port) << error_.text;
    return port;
  }

  ovt_test::TempRoot root_;
  Pty pty_;
  SystemError error_;
};

TEST(SerialNames, DefaultTableWithoutLinks) {
  ovt_test::TempRoot root;
  const std::pair<const char*, const char*> cases[] = {
      {"COM1", "/dev/ttyS0"},        {"COM32", "/dev/ttyS31"},   {"COM33", "/dev/ttyUSB0"},
      {"COM64", "/dev/ttyUSB31"},    {"COM65", "/dev/ttyACM0"},  {"COM96", "/dev/ttyACM31"},
      {"\\\\.\\COM12", "/dev/ttyS11"}, {"com3", "/dev/ttyS2"},   {"COM97", ""},
      {"COM0", ""},                  {"COM", ""},                {"COMx", ""},
      {"COM01", ""},                 {"LPT1", ""},               {"COM3 ", ""},
  };
  for (const auto& [name, device] : cases) EXPECT_EQ(ResolveSerialDevice(name), device) << name;
}

TEST(SerialNames, DosdevicesLinkWins) {
  ovt_test::TempRoot root;
  LinkPort(root, 5, "/dev/pts/77");
  LinkPort(root, 12, "../dev/ttyX");
  EXPECT_EQ(ResolveSerialDevice("COM5"), "/dev/pts/77");
  EXPECT_EQ(ResolveSerialDevice("\\\\.\\COM12"),
            root.path() + "/dev/ttyX");
  EXPECT_EQ(ResolveSerialDevice("COM6"), "/dev/ttyS5");
}

TEST_F(PortOnPty, ConfiguresARawLine) {
  auto port = Open(115200);
  ASSERT_TRUE(port);
  // The master reports the settings of its slave.
  termios tio{};
  ASSERT_EQ(tcgetattr(pty_.master, &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), B115200);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
}

TEST_F(PortOnPty, RefusesWhatCannotBeAPort) {
  LinkPort(root_, 4, root_.path() + "/missing");
  ovt_test::WriteFile(root_.path() + "/plain", "x");
  LinkPort(root_, 7, root_.path() + "/plain");
  struct {
    const char* name;
    int baud;
  } cases[] = {{"COM3", 0}, {"COM3", -9600}, {"COM3", 14400}, {"COM4", 9600},
               {"COM7", 9600}, {"PRN", 9600}};
  for (const auto& c : cases) {
    SystemError error;
    EXPECT_FALSE(OpenSerialPort(c.name, {c.baud, 8, 0, 0}, &error)) << c.name << " " << c.baud;
    EXPECT_FALSE(error.text.empty()) << c.name;
  }
  // A refusal after the device was opened leaves it free for the next try.
  EXPECT_TRUE(Open());
}

TEST_F(PortOnPty, ExclusiveWhileOpenAndFreeAfterwards) {
  SystemError error;
  auto first = Open();
  ASSERT_TRUE(first);
  EXPECT_FALSE(OpenSerialPort("COM3", {9600, 8, 0, 0}, &error));
  EXPECT_NE(error.text.find("held by another program"), std::string::npos) << error.text;
  first.reset();
  EXPECT_TRUE(OpenSerialPort("COM3", {9600, 8, 0, 0}, &error)) << error.text;

  // Another program's lock counts too.
  const int other = open(pty_.slave.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_FALSE(OpenSerialPort("COM3", {9600, 8, 0, 0}, &error));
  close(other);
}

// A port whose user was killed in the middle of an exchange, while the far
// side keeps the device open, is free for the next program at once; while
// its user lives, it is refused.
TEST_F(PortOnPty, APortWhoseUserWasKilledIsFreeAtOnce) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t user = fork();
  ASSERT_GE(user, 0);
  if (user == 0) {
    SystemError error;
    auto port = OpenSerialPort("COM3", {9600, 8, 0, 0}, &error);
    const char opened = port ? '1' : '0';
    (void)!write(ready[1], &opened, 1);
    for (;;) pause();
  }
  close(ready[1]);
  char opened = 0;
  ASSERT_EQ(read(ready[0], &opened, 1), 1);
  close(ready[0]);
  EXPECT_EQ(opened, '1');
  SystemError error;
  EXPECT_FALSE(OpenSerialPort("COM3", {9600, 8, 0, 0}, &error));
  EXPECT_NE(error.text.find("held by another program"), std::string::npos) << error.text;

  kill(user, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(user, &status, 0), user);
  EXPECT_TRUE(OpenSerialPort("COM3", {9600, 8, 0, 0}, &error)) << error.text;
}

// Another program's exclusive flag is honoured, whether or not it locks.
TEST_F(PortOnPty, AnotherProgramsExclusiveFlagIsHonoured) {
  const int other = open(pty_.slave.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(ioctl(other, TIOCEXCL), 0);
  SystemError error;
  EXPECT_FALSE(OpenSerialPort("COM3", {9600, 8, 0, 0}, &error));
  EXPECT_FALSE(error.text.empty());
  ioctl(other, TIOCNXCL);
  close(other);
  EXPECT_TRUE(OpenSerialPort("COM3", {9600, 8, 0, 0}, &error)) << error.text;
}

TEST_F(PortOnPty, ReadsWhatArrivedWithoutBlockingAndWrites) {
  auto port = Open();
  ASSERT_TRUE(port);
  uint8_t buf[16];
  EXPECT_EQ(port->Read(buf, sizeof buf), 0);

  const uint8_t frame[] = {0x02, 'A', 0x03, 0x17, 0x42};
  EXPECT_EQ(port->Write(frame, sizeof frame), 5);
  EXPECT_EQ(pty_.ReadMaster(5), std::string(reinterpret_cast<const char*>(frame), 5));

  // Bytes the line would mangle in cooked mode arrive unchanged.
  const std::string sent = "\r\n\x03\x11\x13\x7f";
  ASSERT_EQ(write(pty_.master, sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
  Event kill(Event::Mode::kAutoReset);
  ASSERT_EQ(port->WaitForEvent(kill), CommEvent::kReceived);
  std::string got;
  while (got.size() < sent.size()) {
    const int n = port->Read(buf, 4);
    ASSERT_GT(n, 0);
    ASSERT_LE(n, 4);
    got.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
  }
  EXPECT_EQ(got, sent);
}

TEST_F(PortOnPty, AWriteThatCannotCompleteCountsAsNothing) {
  auto port = Open();
  ASSERT_TRUE(port);
  // Nobody reads the master, so the line's buffers fill up.
  const std::string block(64 * 1024, 'x');
  int written = 0;
  for (int i = 0; i < 64 && written >= 0; ++i) {
    written = port->Write(reinterpret_cast<const uint8_t*>(block.data()), static_cast<int>(block.size()));
    if (written == 0) break;
  }
  EXPECT_EQ(written, 0);
}

TEST_F(PortOnPty, StopAndCancelWakeAWaitingReader) {
  auto port = Open();
  ASSERT_TRUE(port);
  Event kill(Event::Mode::kAutoReset);

  std::atomic<int> woke{-1};
  std::thread reader([&] { woke = static_cast<int>(port->WaitForEvent(kill)); });
  kill.Set();
  reader.join();
  EXPECT_EQ(woke, static_cast<int>(CommEvent::kKilled));
  EXPECT_FALSE(kill.Wait(0)) << "an auto-reset stop is consumed by the wait it ends";

  std::thread cancelled([&] { woke = static_cast<int>(port->WaitForEvent(kill)); });
  port->CancelWait();
  cancelled.join();
  EXPECT_EQ(woke, static_cast<int>(CommEvent::kOther));
}

TEST_F(PortOnPty, AHangUpDoesNotMakeTheReaderSpin) {
  auto port = Open();
  ASSERT_TRUE(port);
  Event kill(Event::Mode::kAutoReset);
  pty_.CloseMaster();
  EXPECT_EQ(port->WaitForEvent(kill), CommEvent::kOther);

  // From now on the wait sleeps until it is stopped.
  std::atomic<int> returns{0};
  std::thread reader([&] {
    while (port->WaitForEvent(kill) != CommEvent::kKilled) ++returns;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  kill.Set();
  reader.join();
  EXPECT_EQ(returns, 0);
}

}  // namespace
}  // namespace platform
