#include "support/simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <system_error>

#include "support/temp_root.h"

#ifndef OVT_CATSIM
#error "OVT_CATSIM must name the built catsim program"
#endif

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kReadyTimeout(10000);
constexpr milliseconds kStopTimeout(5000);
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kTrailer = 0x17;

// Milliseconds until `deadline`, for poll(); 0 once it has passed.
int MsLeft(Clock::time_point deadline) {
  const auto now = Clock::now();
  if (deadline <= now) return 0;
  const auto ms = std::chrono::ceil<milliseconds>(deadline - now).count();
  return static_cast<int>(std::min<long long>(ms, 24LL * 3600 * 1000));
}

// poll() that survives signals, always against the same deadline.
int PollUntil(pollfd* fds, nfds_t count, Clock::time_point deadline) {
  for (;;) {
    const int n = ::poll(fds, count, MsLeft(deadline));
    if (n >= 0 || errno != EINTR) return n;
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

uint8_t Xor(std::string_view text, uint8_t start) {
  uint8_t lrc = start;
  for (char c : text) lrc ^= static_cast<uint8_t>(c);
  return lrc;
}

}  // namespace

namespace ovt_test {

Simulator::Simulator(const TempRoot& root, int com, const std::string& scenario,
                     const std::vector<std::string>& extra_args, const std::string& program)
    : Simulator(std::filesystem::path(root.path()), com, scenario, extra_args, program) {}

Simulator::Simulator(const std::filesystem::path& root, int com,
                     const std::string& scenario,
                     const std::vector<std::string>& extra_args, const std::string& program)
    : com_(com), root_(root) {
  static std::atomic<unsigned> sequence{0};

  const std::string catsim = program.empty() ? std::string(OVT_CATSIM) : program;
  std::vector<std::string> args = {catsim, "--root", root.string(),
                                   "--com", std::to_string(com),
                                   "--scenario", scenario};
  const auto named = std::find(extra_args.begin(), extra_args.end(), "--record");
  if (named != extra_args.end() && named + 1 != extra_args.end()) {
    record_path_ = *(named + 1);
  } else {
    // Kept under the test's root so it goes away with it; one file per
    // simulator so two of them never mix their lines.
    const std::filesystem::path dir = root / "catsim";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    record_path_ = dir / ("com" + std::to_string(com) + "-" +
                          std::to_string(sequence.fetch_add(1)) + ".record");
    std::filesystem::remove(record_path_, ec);
    args.push_back("--record");
    args.push_back(record_path_.string());
  }
  args.insert(args.end(), extra_args.begin(), extra_args.end());

  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    error_ = std::string("pipe2: ") + std::strerror(errno);
    std::fprintf(stderr, "Simulator: %s\n", error_.c_str());
    return;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  // The child starts with default stop signals and nothing blocked, whatever
  // the test process has set up for itself.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int spawned = ::posix_spawn(&pid_, catsim.c_str(), &actions, &attributes,
                                    argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(out[1]);
  if (spawned != 0) {
    pid_ = -1;
    ::close(out[0]);
    error_ = "cannot start " + catsim + ": " + std::strerror(spawned);
    std::fprintf(stderr, "Simulator: %s\n", error_.c_str());
    return;
  }
  // A descriptor that becomes readable when the child ends, so every wait
  // for it is a poll() with a deadline. Older kernels lack it (see Reap).
  pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));

  // Read stdout up to the first line end; catsim prints nothing else.
  std::string line;
  const auto deadline = Clock::now() + kReadyTimeout;
  bool ended = false;
  while (line.find('\n') == std::string::npos && !ended) {
    pollfd fd = {out[0], POLLIN, 0};
    const int n = PollUntil(&fd, 1, deadline);
    if (n <= 0) break;
    char buffer[256];
    const ssize_t got = ::read(out[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ended = true;
    } else {
      line.append(buffer, static_cast<size_t>(got));
    }
  }
  // Held open until catsim is reaped: if this process dies first, catsim
  // sees its stdout lose the reader and stops by itself.
  stdout_fd_ = out[0];

  const size_t end = line.find('\n');
  static constexpr std::string_view kReady = "READY ";
  if (end != std::string::npos && line.compare(0, kReady.size(), kReady) == 0) {
    slave_path_ = line.substr(kReady.size(), end - kReady.size());
    ready_ = true;
    return;
  }
  error_ = ended ? "catsim ended before it was ready"
                 : (end == std::string::npos ? "no READY line from catsim within 10 s"
                                             : "unexpected first line from catsim: " +
                                                   line.substr(0, end));
  std::fprintf(stderr, "Simulator: %s\n", error_.c_str());
  Stop();
}

Simulator::~Simulator() { Stop(); }

std::filesystem::path Simulator::LinkPath() const {
  return root_ / "dosdevices" / ("com" + std::to_string(com_));
}

bool Simulator::Reap(milliseconds timeout, int* exit_code) {
  if (pid_ < 0) return true;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_ || (done < 0 && errno == ECHILD)) {
      if (exit_code != nullptr) {
        *exit_code = (done == pid_ && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
      }
      pid_ = -1;
      if (pidfd_ >= 0) ::close(pidfd_);
      pidfd_ = -1;
      if (stdout_fd_ >= 0) ::close(stdout_fd_);
      stdout_fd_ = -1;
      ready_ = false;
      return true;
    }
    if (done < 0 && errno == EINTR) continue;
    if (MsLeft(deadline) == 0) return false;
    if (pidfd_ >= 0) {
      pollfd fd = {pidfd_, POLLIN, 0};
      PollUntil(&fd, 1, deadline);
    } else {
      // Without a process descriptor there is nothing to sleep on; look
      // again every 20 ms until the deadline.
      ::poll(nullptr, 0, std::min(20, MsLeft(deadline)));
    }
  }
}

bool Simulator::WaitForExit(milliseconds timeout, int* exit_code) {
  return Reap(timeout, exit_code);
}

void Simulator::Stop() {
  if (pid_ < 0) return;
  ::kill(pid_, SIGTERM);
  if (Reap(kStopTimeout, nullptr)) return;
  std::fprintf(stderr, "Simulator: catsim ignored SIGTERM for 5 s; killing it\n");
  ::kill(pid_, SIGKILL);
  if (!Reap(kStopTimeout, nullptr)) {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    if (pidfd_ >= 0) ::close(pidfd_);
    pidfd_ = -1;
    if (stdout_fd_ >= 0) ::close(stdout_fd_);
    stdout_fd_ = -1;
    ready_ = false;
  }
}

std::vector<std::string> Simulator::RecordLines() const {
  std::vector<std::string> lines;
  std::ifstream in(record_path_, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::vector<uint8_t> Simulator::TaggedBytes(std::string_view tag) const {
  std::vector<uint8_t> bytes;
  for (const std::string& line : RecordLines()) {
    if (line.size() <= tag.size() || line.compare(0, tag.size(), tag) != 0 ||
        line[tag.size()] != ' ') {
      continue;
    }
    int high = -1;
    for (size_t i = tag.size() + 1; i < line.size(); ++i) {
      const int digit = HexValue(line[i]);
      if (digit < 0) {
        high = -1;
        continue;
      }
      if (high < 0) {
        high = digit;
      } else {
        bytes.push_back(static_cast<uint8_t>(high * 16 + digit));
        high = -1;
      }
    }
  }
  return bytes;
}

std::vector<uint8_t> Simulator::Received() const { return TaggedBytes("RX"); }
std::vector<uint8_t> Simulator::Sent() const { return TaggedBytes("TX"); }

bool Simulator::WaitForRecord(const std::function<bool()>& done,
                              milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  // Watch the record's folder: that covers a file not created yet, and
  // every append to it.
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch >= 0) {
    const std::string dir = record_path_.parent_path().empty()
                                ? std::string(".")
                                : record_path_.parent_path().string();
    ::inotify_add_watch(watch, dir.c_str(), IN_MODIFY | IN_CREATE | IN_MOVED_TO);
  }
  bool result = false;
  for (;;) {
    if (done()) {
      result = true;
      break;
    }
    if (MsLeft(deadline) == 0) break;
    pollfd fds[2] = {{watch, POLLIN, 0}, {pidfd_, POLLIN, 0}};
    if (watch < 0) {
      // No inotify: look again every 20 ms until the deadline.
      ::poll(nullptr, 0, std::min(20, MsLeft(deadline)));
      continue;
    }
    const nfds_t count = pidfd_ >= 0 ? 2 : 1;
    if (PollUntil(fds, count, deadline) < 0) break;
    if (fds[0].revents & POLLIN) {
      char events[4096];
      while (::read(watch, events, sizeof events) > 0) {
      }
    }
    if (count == 2 && fds[1].revents != 0) {
      // catsim has ended: the record cannot change any more.
      result = done();
      break;
    }
  }
  if (watch >= 0) ::close(watch);
  return result;
}

bool Simulator::WaitForReceived(size_t count, milliseconds timeout) const {
  return WaitForRecord([&] { return Received().size() >= count; }, timeout);
}

bool Simulator::WaitForLines(std::string_view prefix, size_t count,
                             milliseconds timeout) const {
  return WaitForRecord(
      [&] {
        size_t n = 0;
        for (const std::string& line : RecordLines()) {
          if (line.compare(0, prefix.size(), prefix) == 0) ++n;
        }
        return n >= count;
      },
      timeout);
}

std::vector<uint8_t> Simulator::RequestFrame(std::string_view text) {
  std::vector<uint8_t> frame;
  frame.push_back(kStx);
  frame.insert(frame.end(), text.begin(), text.end());
  frame.push_back(kEtx);
  frame.push_back(kTrailer);
  frame.push_back(Xor(text, kEtx));
  return frame;
}

std::vector<uint8_t> Simulator::AnswerFrame(std::string_view answer) {
  std::vector<uint8_t> frame;
  frame.push_back(kStx);
  frame.insert(frame.end(), answer.begin(), answer.end());
  frame.push_back(kEtx);
  frame.push_back(Xor(answer, kEtx));
  return frame;
}

std::string Simulator::DefaultAnswer(std::string_view request) {
  std::string answer = "OK:";
  answer += request;
  answer += ' ';
  answer += "\xBD\xC2\xC0\xCE";
  return answer;
}

std::vector<uint8_t> Simulator::RawReply(std::string_view raw_answer) {
  std::vector<uint8_t> reply(raw_answer.begin(), raw_answer.end());
  reply.push_back(kAck);
  return reply;
}

}  // namespace ovt_test
