// catsim: a card-payment terminal on a pseudo-terminal, for tests and trials.
//
//   catsim --root DIR --com N [--scenario NAME] [--answer TEXT]
//          [--answer-hex HEX] [--raw-answer TEXT] [--delay MS]
//          [--record FILE] [--hold] [--exchanges K] [--baud RATE]
//
// catsim opens a pseudo-terminal pair, puts the slave in raw mode and makes
// the symbolic link DIR/dosdevices/comN (folder created when missing, an
// existing link replaced) that points at the slave device, which is where the
// POSIX serial backend finds "COMN". Then it prints one line
// "READY <slave path>" on stdout and plays the terminal on the master side.
// It keeps a slave descriptor of its own open for its whole life (and never
// reads it), so the master never sees a hang-up when the program under test
// closes the port between exchanges. Bytes written while nobody else has the
// slave open wait in the slave's input queue until the next opener purges
// them.
//
// What it receives: request frames (STX, text, ETX, 0x17, LRC, with LRC the
// XOR of text and ETX), raw commands (text starting with "***", no framing;
// one ends when the line has been quiet for 20 ms) and loose control bytes
// such as the host's ACK and EOT, which are only recorded.
//
// How it answers (--scenario, default "answer"; every request frame gets the
// same treatment, whether its LRC was right or not). Each item below is one
// write() call (only a reply larger than the line's buffer is continued as
// the line drains); "|" separates writes, "|ack|" means the write after it waits until
// the host has sent its ACK for the terminal's ACK (as a real terminal does,
// so the host has surely seen the acknowledgement before what follows it).
// --delay MS, default 0, is waited before each write (after the host's ACK,
// where one is awaited).
//   answer                      ACK |ack| answer frame
//   nak                         NAK
//   eot                         EOT
//   ack-eot                     ACK |ack| EOT
//   ack-nak                     ACK |ack| NAK
//   silent                      nothing (raw commands get nothing either)
//   ack-silent                  ACK
//   ack-partial                 ACK |ack| STX and the first half of the answer
//   at-ack                      40 |ack| answer frame
//   noise                       5A 5A 11 7E | ACK |ack| answer frame
//   trailing                    ACK |ack| answer frame followed by "XYZ"
//   ack-then-answer-one-write   ACK and answer frame
//   printer                     nothing, ever: catsim plays a receipt
//                               printer. Every byte received is recorded
//                               (RX lines) and none is taken apart: no
//                               frames, no raw commands, so no LRC or
//                               TRAILER lines and no reply of any kind.
//                               --exchanges is refused with it.
// A new request (frame or raw command) drops whatever is still unsent of the
// reply to an earlier one: the host has given up on that exchange.
// The answer frame is STX, answer, ETX, LRC (XOR of answer and ETX). The
// answer is --answer TEXT, or the bytes of --answer-hex HEX, or by default
// "OK:" + request text + " " + BD C2 C0 CE (the code page 949 bytes of the
// Korean word for "approved").
// A raw command gets the --raw-answer TEXT (default "TQSIM OK") followed by
// one ACK, in one write, in every scenario but "silent" and "printer".
//
// --baud RATE: a real terminal understands the host only at its own line
// speed. With this option catsim answers a request frame or a raw command
// only when the line speed the host has set on its side (the slave's
// termios, as the master reports it) is RATE when the request is complete;
// at any other speed it stays silent, records what it receives as always,
// and the request does not cut short the reply to an earlier one. Without
// it catsim answers at any speed.
//
// --exchanges K: after the reply to the K-th request frame (raw commands do
// not count) catsim stops answering, keeps recording until the line has been
// quiet for 600 ms (at most 3 s, so the host's closing bytes are recorded),
// then exits 0.
//
// --hold: no terminal at all. catsim opens the slave device, takes an
// exclusive flock and sets TIOCEXCL on it, prints READY and holds it until
// it is stopped: another program owns the port.
//
// SIGTERM, SIGINT and SIGHUP end catsim at once: it removes its link (if the
// link still points at its slave) and exits 0. So does the reader of stdout
// going away when stdout is a pipe: a test that started catsim and died
// leaves no simulator behind.
//
// Record file (--record FILE): appended, one line per event, each line
// written with a single write() as it happens, so a reader sees every byte
// received so far. Hex is upper case, two digits per byte, one blank between.
//   RX <hex>          one chunk read from the line, e.g. "RX 02 41 42 43"
//   TRAILER BAD <hh>  a request frame had <hh> instead of 17 after its ETX
//   LRC OK            a request frame ended and its LRC was right
//   LRC BAD <hh>      a request frame ended with a wrong LRC; <hh> is the
//                     LRC it should have had
//   BAUD <rate>       a request frame or raw command was complete while the
//                     line's speed was <rate> bits per second (0: a speed
//                     catsim cannot name); written whether or not it is
//                     answered, so the record shows each request's speed
//   TX <hex>          the bytes of one write to the line
// The TRAILER, LRC and BAUD lines of a frame follow the RX line of the chunk
// that ended it; the BAUD line of a raw command follows once the line has
// been quiet for the raw command's 20 ms.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "frame_reader.h"
#include "options.h"
#include "scenario.h"

namespace catsim {
namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr auto kRawQuiet = std::chrono::milliseconds(20);
constexpr auto kLingerQuiet = std::chrono::milliseconds(600);
constexpr auto kLingerMax = std::chrono::milliseconds(3000);
constexpr size_t kReadChunk = 4096;

void Complain(const std::string& what) {
  std::fprintf(stderr, "catsim: %s\n", what.c_str());
}

std::string ErrnoText(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// Closes a descriptor when it goes out of scope.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Close(); }
  void Reset(int fd) {
    Close();
    fd_ = fd;
  }
  int get() const { return fd_; }

 private:
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd_ = -1;
};

// ---------------------------------------------------------------- signals

// Self-pipe: the handler writes one byte, the poll loop wakes on the read end.
int g_signal_write_fd = -1;

void OnSignal(int) {
  const int saved = errno;
  const char byte = 1;
  // A full pipe already holds a wake-up; losing this byte is harmless.
  [[maybe_unused]] const ssize_t n = ::write(g_signal_write_fd, &byte, 1);
  errno = saved;
}

bool InstallSignals(Fd* read_end, Fd* write_end, std::string* error) {
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
    *error = ErrnoText("pipe2");
    return false;
  }
  read_end->Reset(fds[0]);
  write_end->Reset(fds[1]);
  g_signal_write_fd = fds[1];

  struct sigaction action{};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigset_t stops;
  sigemptyset(&stops);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    if (::sigaction(sig, &action, nullptr) != 0) {
      *error = ErrnoText("sigaction");
      return false;
    }
    sigaddset(&stops, sig);
  }
  // A parent may have spawned us with these blocked; they must get through.
  ::sigprocmask(SIG_UNBLOCK, &stops, nullptr);
  // A reader of stdout that goes away must not kill us before the cleanup.
  ::signal(SIGPIPE, SIG_IGN);
  return true;
}

// ---------------------------------------------------------------- record

std::string Hex(const uint8_t* data, size_t size) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(size * 3);
  for (size_t i = 0; i < size; ++i) {
    if (i != 0) text.push_back(' ');
    text.push_back(kDigits[data[i] >> 4]);
    text.push_back(kDigits[data[i] & 0x0F]);
  }
  return text;
}

class Recorder {
 public:
  bool Open(const std::string& path, std::string* error) {
    if (path.empty()) return true;
    fd_.Reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (fd_.get() < 0) {
      *error = ErrnoText("cannot open record file " + path);
      return false;
    }
    return true;
  }

  void Line(std::string line) {
    if (fd_.get() < 0) return;
    line.push_back('\n');
    size_t done = 0;
    while (done < line.size()) {
      const ssize_t n = ::write(fd_.get(), line.data() + done, line.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        Complain(ErrnoText("record write"));
        return;
      }
      done += static_cast<size_t>(n);
    }
  }

  void Bytes(const char* tag, const uint8_t* data, size_t size) {
    if (fd_.get() < 0) return;
    Line(std::string(tag) + " " + Hex(data, size));
  }

 private:
  Fd fd_;
};

// ---------------------------------------------------------------- device

struct Pty {
  Fd master;
  Fd slave;  // ours; kept open so the master never hangs up
  std::string slave_path;
};

bool OpenPty(Pty* pty, std::string* error) {
  pty->master.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  const int master = pty->master.get();
  if (master < 0) {
    *error = ErrnoText("posix_openpt");
    return false;
  }
  if (::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    *error = ErrnoText("grantpt/unlockpt");
    return false;
  }
  const char* name = ::ptsname(master);
  if (name == nullptr) {
    *error = ErrnoText("ptsname");
    return false;
  }
  pty->slave_path = name;
  pty->slave.Reset(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (pty->slave.get() < 0) {
    *error = ErrnoText("open " + pty->slave_path);
    return false;
  }
  termios tio{};
  if (::tcgetattr(pty->slave.get(), &tio) != 0) {
    *error = ErrnoText("tcgetattr");
    return false;
  }
  ::cfmakeraw(&tio);
  if (::tcsetattr(pty->slave.get(), TCSANOW, &tio) != 0) {
    *error = ErrnoText("tcsetattr");
    return false;
  }
  const int flags = ::fcntl(master, F_GETFL);
  if (flags < 0 || ::fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0) {
    *error = ErrnoText("fcntl O_NONBLOCK");
    return false;
  }
  return true;
}

// The link DIR/dosdevices/comN. Removed again on destruction, but only while
// it still points at our slave: a later catsim may have replaced it.
class DeviceLink {
 public:
  DeviceLink() = default;
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;
  ~DeviceLink() { Remove(); }

  bool Make(const std::string& root, int com, const std::string& target,
            std::string* error) {
    const fs::path dir = fs::path(root) / "dosdevices";
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
      *error = "cannot create " + dir.string() + ": " + ec.message();
      return false;
    }
    const fs::path link = dir / ("com" + std::to_string(com));
    // A fresh link renamed over the old one: replacing is atomic, and a
    // reader never finds the name missing.
    const fs::path temp =
        dir / (".com" + std::to_string(com) + ".catsim-" + std::to_string(::getpid()));
    ::unlink(temp.c_str());
    if (::symlink(target.c_str(), temp.c_str()) != 0) {
      *error = ErrnoText("symlink " + temp.string());
      return false;
    }
    if (::rename(temp.c_str(), link.c_str()) != 0) {
      *error = ErrnoText("rename to " + link.string());
      ::unlink(temp.c_str());
      return false;
    }
    link_ = link;
    target_ = target;
    return true;
  }

  void Remove() {
    if (link_.empty()) return;
    std::error_code ec;
    const fs::path points_to = fs::read_symlink(link_, ec);
    if (!ec && points_to == target_) ::unlink(link_.c_str());
    link_.clear();
  }

 private:
  fs::path link_;
  std::string target_;
};

// "Another program holds the device": an exclusive flock plus TIOCEXCL on a
// second descriptor of the slave.
bool HoldSlave(const std::string& path, Fd* held, std::string* error) {
  held->Reset(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (held->get() < 0) {
    *error = ErrnoText("open " + path);
    return false;
  }
  if (::flock(held->get(), LOCK_EX | LOCK_NB) != 0) {
    *error = ErrnoText("flock " + path);
    return false;
  }
  if (::ioctl(held->get(), TIOCEXCL) != 0) {
    *error = ErrnoText("TIOCEXCL " + path);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- terminal

struct LineSpeed {
  speed_t code;
  int rate;
};

constexpr LineSpeed kLineSpeeds[] = {
    {B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},
    {B150, 150},       {B200, 200},       {B300, 300},       {B600, 600},
    {B1200, 1200},     {B1800, 1800},     {B2400, 2400},     {B4800, 4800},
    {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},
    {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B500000, 500000},
    {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000},
    {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
};

// The line speed the host set on the slave, in bits per second; on Linux
// the master's termios reports the slave's. 0 when it cannot be read or is
// not one of the named speeds.
int LineRate(int master) {
  termios tio{};
  if (::tcgetattr(master, &tio) != 0) return 0;
  const speed_t code = ::cfgetospeed(&tio);
  for (const LineSpeed& speed : kLineSpeeds) {
    if (speed.code == code) return speed.rate;
  }
  return 0;
}

// Milliseconds poll() may sleep to wake no later than `deadline`.
int MsUntil(Clock::time_point deadline, Clock::time_point now) {
  if (deadline <= now) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
  return static_cast<int>(std::min<long long>(ms, 60 * 60 * 1000));
}

class Terminal {
 public:
  // `scenario` nullptr: record only, never write (the --hold mode).
  Terminal(const Options& options, const Scenario* scenario, int master,
           Recorder* recorder)
      : options_(options),
        scenario_(scenario),
        master_(master),
        recorder_(recorder),
        delay_(options.delay_ms) {}

  // Runs until a stop signal arrives or `watched_pipe` (the write end of a
  // pipe, or -1) loses its reader (returns 0), the last of --exchanges is
  // done (returns 0) or the line fails (returns 1).
  int Run(int signal_fd, int watched_pipe) {
    for (;;) {
      Clock::time_point now = Clock::now();
      if (!StartDueWrite(now)) return 1;

      if (raw_deadline_ && now >= *raw_deadline_) {
        raw_deadline_.reset();
        OnRawCommand(reader_.TakeRaw(), now);
        continue;  // its reply may be due at once
      }
      if (finished_ && ((out_.empty() && queue_.empty() && now >= linger_quiet_) ||
                        now >= linger_end_)) {
        return 0;
      }

      std::optional<Clock::time_point> wake;
      auto consider = [&wake](Clock::time_point t) {
        if (!wake || t < *wake) wake = t;
      };
      if (raw_deadline_) consider(*raw_deadline_);
      if (out_.empty() && !queue_.empty() && !FrontHeld()) consider(next_due_);
      if (finished_) consider(std::min(linger_quiet_, linger_end_));

      // The pipe is polled for nothing but its error state (reader gone).
      pollfd fds[3] = {{signal_fd, POLLIN, 0},
                       {master_, static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0},
                       {watched_pipe, 0, 0}};
      const int timeout = wake ? MsUntil(*wake, now) : -1;
      const int ready = ::poll(fds, 3, timeout);
      if (ready < 0) {
        if (errno == EINTR) continue;
        Complain(ErrnoText("poll"));
        return 1;
      }
      if (fds[0].revents != 0) return 0;  // stop signal
      if (fds[2].revents != 0) return 0;  // our starter is gone
      if (fds[1].revents & POLLIN) {
        if (!ReadChunk()) return 1;
      } else if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) {
        // Cannot happen while we hold the slave; refuse to spin on it.
        Complain("the line hung up");
        return 1;
      }
      if ((fds[1].revents & POLLOUT) && !ContinueWrite(Clock::now())) return 1;
    }
  }

 private:
  struct Pending {
    Bytes bytes;
    bool after_host_ack = false;  // held until the host has sent an ACK
    bool ends_frame = false;      // the last write of a request frame's reply
  };

  // False for a printer: the bytes are only recorded. --hold (no scenario)
  // still reads frames, so its record shows what the host tried to send.
  bool TakesRequests() const { return scenario_ == nullptr || scenario_->takes_requests; }

  // The front of the queue waits for the host's ACK, not for a time.
  bool FrontHeld() const {
    return !queue_.empty() && queue_.front().after_host_ack && !host_acked_;
  }

  bool ReadChunk() {
    uint8_t buffer[kReadChunk];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) return true;
      Complain(ErrnoText("read"));
      return false;
    }
    if (n == 0) return true;
    const Clock::time_point now = Clock::now();
    const size_t size = static_cast<size_t>(n);
    recorder_->Bytes("RX", buffer, size);
    if (!TakesRequests()) return true;
    for (size_t i = 0; i < size; ++i) {
      const Verdict verdict = reader_.Feed(buffer[i]);
      if (verdict == Verdict::kFrameComplete) {
        OnFrame(now);
      } else if (verdict == Verdict::kOutside && buffer[i] == kAck) {
        OnHostAck(now);
      }
    }
    if (reader_.RawPending()) {
      raw_deadline_ = now + kRawQuiet;
    } else {
      raw_deadline_.reset();
    }
    if (finished_) linger_quiet_ = now + kLingerQuiet;
    return true;
  }

  void OnHostAck(Clock::time_point now) {
    if (host_acked_) return;
    host_acked_ = true;
    // The --delay of a held write counts from the host's ACK.
    if (out_.empty() && !queue_.empty() && queue_.front().after_host_ack) {
      next_due_ = now + delay_;
    }
  }

  // A new request supersedes what is left of the previous reply.
  void DropUnsent() {
    for (const Pending& p : queue_) {
      if (p.ends_frame) --frames_taken_;
    }
    queue_.clear();
  }

  void OnFrame(Clock::time_point now) {
    const RequestFrame& frame = reader_.Frame();
    if (!frame.TrailerOk()) recorder_->Bytes("TRAILER BAD", &frame.trailer, 1);
    if (frame.LrcOk()) {
      recorder_->Line("LRC OK");
    } else {
      recorder_->Bytes("LRC BAD", &frame.expected_lrc, 1);
    }
    if (!Understood()) return;
    DropUnsent();
    if (!Answering()) return;
    ++frames_taken_;
    const Bytes answer = options_.answer ? *options_.answer : DefaultAnswer(frame.text);
    const ReplyContext context{frame.text, answer, options_.raw_answer};
    std::vector<Write> writes = scenario_->on_frame(context);
    if (writes.empty()) {
      FrameDone(now);
      return;
    }
    for (size_t i = 0; i < writes.size(); ++i) {
      Enqueue(Pending{std::move(writes[i].bytes), writes[i].after_host_ack,
                      i + 1 == writes.size()},
              now);
    }
  }

  void OnRawCommand(const Bytes& raw, Clock::time_point now) {
    if (raw.empty() || !Understood()) return;
    DropUnsent();
    if (scenario_->on_raw == nullptr || !Answering()) return;
    const Bytes no_answer;
    const ReplyContext context{raw, no_answer, options_.raw_answer};
    for (Write& write : scenario_->on_raw(context)) {
      Enqueue(Pending{std::move(write.bytes), write.after_host_ack, false}, now);
    }
  }

  // Records the line speed of a request that is complete; false when
  // nothing answers it: --hold, or a speed other than --baud's, at which a
  // real terminal would have read only noise.
  bool Understood() {
    const int rate = LineRate(master_);
    recorder_->Line("BAUD " + std::to_string(rate));
    if (scenario_ == nullptr) return false;
    return options_.baud == 0 || rate == options_.baud;
  }

  // False once the requests that --exchanges allows have all been taken.
  bool Answering() const {
    return options_.exchanges == 0 || frames_taken_ < options_.exchanges;
  }

  void Enqueue(Pending pending, Clock::time_point now) {
    if (queue_.empty() && out_.empty()) next_due_ = now + delay_;
    queue_.push_back(std::move(pending));
  }

  // Starts the next queued write when it is due and the line is free.
  bool StartDueWrite(Clock::time_point now) {
    if (!out_.empty() || queue_.empty() || FrontHeld() || now < next_due_) return true;
    out_ = std::move(queue_.front().bytes);
    out_ends_frame_ = queue_.front().ends_frame;
    out_done_ = 0;
    queue_.pop_front();
    return ContinueWrite(now);
  }

  // One write() of what is left of the current write. The master is
  // non-blocking: a full line leaves the rest for the next POLLOUT.
  bool ContinueWrite(Clock::time_point now) {
    if (out_.empty()) return true;
    const ssize_t n = ::write(master_, out_.data() + out_done_, out_.size() - out_done_);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) return true;
      Complain(ErrnoText("write"));
      return false;
    }
    recorder_->Bytes("TX", out_.data() + out_done_, static_cast<size_t>(n));
    out_done_ += static_cast<size_t>(n);
    if (out_done_ < out_.size()) return true;
    out_.clear();
    out_done_ = 0;
    next_due_ = now + delay_;
    // Only an ACK that answers this write may release the next one.
    host_acked_ = false;
    if (out_ends_frame_) FrameDone(now);
    return true;
  }

  void FrameDone(Clock::time_point now) {
    ++frames_done_;
    if (options_.exchanges != 0 && frames_done_ >= options_.exchanges && !finished_) {
      finished_ = true;
      linger_quiet_ = now + kLingerQuiet;
      linger_end_ = now + kLingerMax;
    }
  }

  const Options& options_;
  const Scenario* scenario_;
  const int master_;
  Recorder* recorder_;
  const std::chrono::milliseconds delay_;

  FrameReader reader_;
  std::optional<Clock::time_point> raw_deadline_;

  std::deque<Pending> queue_;
  Clock::time_point next_due_{};
  Bytes out_;
  size_t out_done_ = 0;
  bool out_ends_frame_ = false;
  bool host_acked_ = false;  // an ACK from the host since the last write

  long long frames_taken_ = 0;  // frames whose reply was queued
  long long frames_done_ = 0;   // frames whose reply was fully written
  bool finished_ = false;       // --exchanges reached: lingering
  Clock::time_point linger_quiet_{};
  Clock::time_point linger_end_{};
};

int Main(int argc, char** argv) {
  Options options;
  std::string error;
  switch (ParseOptions(argc, argv, &options, &error)) {
    case ParseResult::kHelp:
      std::fputs(UsageText(), stdout);
      return 0;
    case ParseResult::kError:
      Complain(error);
      std::fputs(UsageText(), stderr);
      return 2;
    case ParseResult::kOk:
      break;
  }

  Fd signal_read, signal_write;
  if (!InstallSignals(&signal_read, &signal_write, &error)) {
    Complain(error);
    return 1;
  }
  Recorder recorder;
  if (!recorder.Open(options.record, &error)) {
    Complain(error);
    return 1;
  }
  Pty pty;
  if (!OpenPty(&pty, &error)) {
    Complain(error);
    return 1;
  }
  DeviceLink link;
  if (!link.Make(options.root, options.com, pty.slave_path, &error)) {
    Complain(error);
    return 1;
  }
  Fd held;
  if (options.hold && !HoldSlave(pty.slave_path, &held, &error)) {
    Complain(error);
    return 1;
  }

  std::printf("READY %s\n", pty.slave_path.c_str());
  std::fflush(stdout);

  const Scenario* scenario = options.hold ? nullptr : FindScenario(options.scenario);
  Terminal terminal(options, scenario, pty.master.get(), &recorder);
  struct stat out{};
  const int watched = ::fstat(STDOUT_FILENO, &out) == 0 && S_ISFIFO(out.st_mode) ? STDOUT_FILENO : -1;
  const int status = terminal.Run(signal_read.get(), watched);
  link.Remove();
  return status;
}

}  // namespace
}  // namespace catsim

int main(int argc, char** argv) { return catsim::Main(argc, argv); }
