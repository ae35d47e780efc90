// The simulator is what the link library's tests measure against, so it is
// checked on its own: the pure frame reader, and the built program driven
// through the test-support class exactly as the library's tests drive it.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "frame_reader.h"
#include "support/simulator.h"

namespace {

using ovt_test::Simulator;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Of(std::string_view text) { return Bytes(text.begin(), text.end()); }

TEST(FrameReaderTest, SeparatesFramesRawCommandsAndLooseBytes) {
  // ACK, a good frame, EOT, a frame with an STX inside and a wrong LRC, a
  // frame with a wrong trailer, two stray stars followed by a frame, and a
  // raw command that swallows control bytes.
  const Bytes stream = Cat(
      Cat(Cat(Bytes{0x06}, Simulator::RequestFrame("ABC")),
          Bytes{0x04, 0x02, 'x', 0x02, 'y', 0x03, 0x17, 0x55, 0x02, 'Q', 0x03, 0x18,
                'Q' ^ 0x03, '*', '*'}),
      Cat(Simulator::RequestFrame(""), Of("***P\x02\x03")));

  catsim::FrameReader reader;
  std::vector<catsim::RequestFrame> frames;
  std::vector<catsim::Verdict> verdicts;
  for (uint8_t byte : stream) {
    verdicts.push_back(reader.Feed(byte));
    if (verdicts.back() == catsim::Verdict::kFrameComplete) frames.push_back(reader.Frame());
  }

  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[0].text, Of("ABC"));
  EXPECT_TRUE(frames[0].LrcOk());
  EXPECT_TRUE(frames[0].TrailerOk());
  EXPECT_EQ(frames[1].text, (Bytes{'x', 0x02, 'y'}));
  EXPECT_FALSE(frames[1].LrcOk());
  EXPECT_EQ(frames[1].expected_lrc, 'x' ^ 0x02 ^ 'y' ^ 0x03);
  EXPECT_EQ(frames[2].text, Of("Q"));
  EXPECT_FALSE(frames[2].TrailerOk());
  EXPECT_EQ(frames[2].trailer, 0x18);
  EXPECT_TRUE(frames[2].LrcOk());
  EXPECT_TRUE(frames[3].text.empty());
  EXPECT_TRUE(frames[3].LrcOk());

  EXPECT_EQ(verdicts.front(), catsim::Verdict::kOutside);  // the host's ACK
  EXPECT_EQ(verdicts[8], catsim::Verdict::kOutside);       // the EOT
  ASSERT_TRUE(reader.RawPending());
  EXPECT_EQ(reader.TakeRaw(), Of("***P\x02\x03"));
  EXPECT_FALSE(reader.RawPending());

  // A lone "**" that the line leaves quiet is not a command.
  reader.Feed('*');
  reader.Feed('*');
  EXPECT_TRUE(reader.RawPending());
  EXPECT_TRUE(reader.TakeRaw().empty());
  EXPECT_EQ(reader.Feed(0x06), catsim::Verdict::kOutside);
}

// A temporary root folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "catsim-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The host's end of the line, opened through the link as the library does.
class Host {
 public:
  explicit Host(const std::filesystem::path& device) {
    fd_ = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios tio{};
    if (fd_ >= 0 && ::tcgetattr(fd_, &tio) == 0) {
      ::cfmakeraw(&tio);
      ::tcsetattr(fd_, TCSANOW, &tio);
    }
  }
  ~Host() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

  // The line speed, set on the host's side as a serial driver sets it.
  void SetSpeed(speed_t speed) {
    termios tio{};
    ASSERT_EQ(::tcgetattr(fd_, &tio), 0);
    ASSERT_EQ(::cfsetspeed(&tio, speed), 0);
    ASSERT_EQ(::tcsetattr(fd_, TCSANOW, &tio), 0);
  }

  void Send(const Bytes& bytes) {
    ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Reads until `count` bytes arrived or `timeout` passed.
  Bytes Receive(size_t count, milliseconds timeout) {
    Bytes got;
    const auto deadline = Clock::now() + timeout;
    while (got.size() < count) {
      const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      pollfd fd = {fd_, POLLIN, 0};
      if (::poll(&fd, 1, static_cast<int>(left)) <= 0) continue;
      uint8_t buffer[512];
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n > 0) got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }

 private:
  int fd_ = -1;
};

TEST(CatsimTest, AnswersFramesAndRawCommandsAndRecordsEveryByte) {
  TempDir root;
  const Bytes request = Simulator::RequestFrame("ABC");
  ASSERT_EQ(request, (Bytes{0x02, 0x41, 0x42, 0x43, 0x03, 0x17, 0x43}));
  const Bytes answer = Simulator::AnswerFrame(Simulator::DefaultAnswer("ABC"));
  const Bytes answer_new = Simulator::AnswerFrame(Simulator::DefaultAnswer("NEW"));
  {
    Simulator sim(root.path(), 5, "answer");
    ASSERT_TRUE(sim.Ready()) << sim.Error();
    EXPECT_EQ(std::filesystem::read_symlink(sim.LinkPath()), sim.SlavePath());
    {
      Host host(sim.LinkPath());
      ASSERT_TRUE(host.ok());
      // The frame in pieces, as a slow line delivers it.
      host.Send(Bytes(request.begin(), request.begin() + 2));
      ASSERT_TRUE(sim.WaitForReceived(2, milliseconds(2000)));
      host.Send(Bytes(request.begin() + 2, request.end()));
      EXPECT_EQ(host.Receive(1, milliseconds(2000)), Bytes{0x06});
      // The answer waits for the host's ACK.
      EXPECT_TRUE(host.Receive(1, milliseconds(100)).empty());
      host.Send({0x06});
      EXPECT_EQ(host.Receive(answer.size(), milliseconds(2000)), answer);
      host.Send({0x06, 0x06, 0x06});
      ASSERT_TRUE(sim.WaitForReceived(request.size() + 4, milliseconds(2000)));
    }
    // The host closed its side between exchanges; the next ones still work.
    Host host(sim.LinkPath());
    ASSERT_TRUE(host.ok());
    // A request the host gives up on before acknowledging: its answer must
    // not leak into the next exchange.
    host.Send(Simulator::RequestFrame("OLD"));
    EXPECT_EQ(host.Receive(1, milliseconds(2000)), Bytes{0x06});
    host.Send(Simulator::RequestFrame("NEW"));
    EXPECT_EQ(host.Receive(1, milliseconds(2000)), Bytes{0x06});
    host.Send({0x06});
    EXPECT_EQ(host.Receive(answer_new.size(), milliseconds(2000)), answer_new);

    host.Send(Of("***"));
    EXPECT_EQ(host.Receive(9, milliseconds(2000)), Simulator::RawReply());
    // The host may see the reply before catsim has recorded its write.
    ASSERT_TRUE(sim.WaitForLines("TX ", 6, milliseconds(2000)));

    EXPECT_EQ(sim.Received(),
              Cat(Cat(Cat(request, Bytes{0x06, 0x06, 0x06, 0x06}),
                      Cat(Simulator::RequestFrame("OLD"), Simulator::RequestFrame("NEW"))),
                  Of("\x06***")));
    EXPECT_EQ(sim.Sent(), Cat(Cat(Cat(Bytes{0x06}, answer), Cat(Bytes{0x06, 0x06}, answer_new)),
                              Simulator::RawReply()));
    const std::vector<std::string> lines = sim.RecordLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "LRC OK"), 3);
    EXPECT_EQ(lines.back(), "TX 54 51 53 49 4D 20 4F 4B 06");

    sim.Stop();
    EXPECT_FALSE(std::filesystem::is_symlink(sim.LinkPath()));
  }
}

TEST(CatsimTest, BaudAnswersOnlyAtItsLineSpeed) {
  TempDir root;
  {
    Simulator refused(root.path(), 6, "answer", {"--baud", "0"});
    EXPECT_FALSE(refused.Ready());
  }
  Simulator sim(root.path(), 4, "answer", {"--baud", "19200"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  Host host(sim.LinkPath());
  ASSERT_TRUE(host.ok());
  // At another speed neither a raw command nor a frame gets an answer; each
  // is recorded with the speed it came at. catsim handles them in order, so
  // a reply to either would be sent before the reply to the last request.
  host.SetSpeed(B9600);
  host.Send(Of("***"));
  ASSERT_TRUE(sim.WaitForLines("BAUD ", 1, milliseconds(2000)));
  host.Send(Simulator::RequestFrame("SLOW"));
  ASSERT_TRUE(sim.WaitForLines("BAUD ", 2, milliseconds(2000)));
  host.SetSpeed(B19200);
  host.Send(Of("***"));
  EXPECT_EQ(host.Receive(9, milliseconds(2000)), Simulator::RawReply());
  ASSERT_TRUE(sim.WaitForLines("TX ", 1, milliseconds(2000)));

  EXPECT_EQ(sim.Received(), Cat(Cat(Of("***"), Simulator::RequestFrame("SLOW")), Of("***")));
  EXPECT_EQ(sim.Sent(), Simulator::RawReply());
  std::vector<std::string> bauds;
  for (const std::string& line : sim.RecordLines()) {
    if (line.rfind("BAUD ", 0) == 0) bauds.push_back(line);
  }
  EXPECT_EQ(bauds, (std::vector<std::string>{"BAUD 9600", "BAUD 9600", "BAUD 19200"}));
}

TEST(CatsimTest, PrinterRecordsEveryByteAndNeverReplies) {
  TempDir root;
  Simulator sim(root.path(), 7, "printer");
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  Host host(sim.LinkPath());
  ASSERT_TRUE(host.ok());
  // What would make any other scenario answer: a request frame, a raw
  // command, the host's ACK; then a print job with code page 949 text.
  const Bytes job = {0x1B, 0x40, 0xBF, 0xB5, 0xBC, 0xF6, 0xC1, 0xF5, 0x0A, 0x0A, 0x0A,
                     0x1D, 0x56, 0x01};
  const Bytes requests = Cat(Simulator::RequestFrame("PAY"), Of("***VER"));
  const Bytes print = Cat(Bytes{0x06}, job);
  host.Send(requests);
  ASSERT_TRUE(sim.WaitForReceived(requests.size(), milliseconds(2000)));
  // Longer than a raw command's 20 ms quiet time: a reply would be out by now.
  EXPECT_TRUE(host.Receive(1, milliseconds(300)).empty());
  host.Send(print);
  ASSERT_TRUE(sim.WaitForReceived(requests.size() + print.size(), milliseconds(2000)));
  EXPECT_TRUE(host.Receive(1, milliseconds(300)).empty());

  EXPECT_EQ(sim.Received(), Cat(requests, print));
  EXPECT_TRUE(sim.Sent().empty());
  for (const std::string& line : sim.RecordLines()) {
    EXPECT_EQ(line.rfind("RX ", 0), 0u) << line;  // no LRC, TRAILER or TX lines
  }
}

TEST(CatsimTest, PrinterRefusesAnExchangeCount) {
  TempDir root;
  Simulator sim(root.path(), 7, "printer", {"--exchanges", "1"});
  EXPECT_FALSE(sim.Ready());
  EXPECT_FALSE(std::filesystem::exists(root.path() / "dosdevices" / "com7"));
}

TEST(CatsimTest, ExchangesLimitEndsAfterTheLastDelayedReply) {
  TempDir root;
  Simulator sim(root.path(), 12, "ack-eot",
                {"--exchanges", "1", "--delay", "150"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  Host host(sim.LinkPath());
  ASSERT_TRUE(host.ok());
  const auto start = Clock::now();
  host.Send(Simulator::RequestFrame("PAY"));
  EXPECT_EQ(host.Receive(1, milliseconds(3000)), Bytes{0x06});
  host.Send({0x06});
  EXPECT_EQ(host.Receive(1, milliseconds(3000)), Bytes{0x04});
  // The delay comes before each of the two writes.
  EXPECT_GE(Clock::now() - start, milliseconds(300));
  host.Send({0x04});  // the host's closing byte is still recorded
  int code = -2;
  ASSERT_TRUE(sim.WaitForExit(milliseconds(5000), &code));
  EXPECT_EQ(code, 0);
  EXPECT_EQ(sim.Received(), Cat(Simulator::RequestFrame("PAY"), Bytes{0x06, 0x04}));
  EXPECT_FALSE(std::filesystem::is_symlink(root.path() / "dosdevices" / "com12"));
}

TEST(CatsimTest, HoldKeepsTheDeviceLocked) {
  TempDir root;
  Simulator sim(root.path(), 3, "answer", {"--hold"});
  ASSERT_TRUE(sim.Ready()) << sim.Error();
  const int fd = ::open(sim.LinkPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    EXPECT_EQ(errno, EBUSY);  // TIOCEXCL
  } else {
    // A privileged opener gets past TIOCEXCL, but not past the lock.
    EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ::close(fd);
  }
  sim.Stop();
  EXPECT_FALSE(std::filesystem::is_symlink(root.path() / "dosdevices" / "com3"));
}

}  // namespace
