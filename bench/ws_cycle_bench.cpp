// ws_cycle_bench: one WebSocket message cycle as a browser makes it, against
// the agent and against a reference server written with Node.js and the
// `ws` package, side by side; then the agent's resident memory and its CPU
// time while idle.
//
// A cycle is one short connection: connect, the opening handshake for
// /VEVU, one masked text frame with the LAST request, the reply frame, the
// agent's closing frame, the client's closing frame in answer, close. Every
// answer is checked (status line, accept key, reply bytes, closing frame),
// so a server that answers wrongly is counted as failing, never as fast.
// The two servers take turns in blocks of cycles, so both see the same load
// on the machine. The program reports; a missed target is printed as
// "MISSED" and never changes the exit status. It exits non-zero only when
// it cannot measure at all (agent or Node.js unavailable, bad arguments).
//
// Sections (see bench/README.md for what each figure means):
//   1. the agent at rest after start-up: resident memory, and its CPU time
//      over --idle-seconds S;
//   2. --cycles N cycles against each server, alternating in blocks, with
//      the phases of a cycle and each server's CPU per cycle;
//   3. the agent after the cycles: memory, threads, descriptors, its log.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench_report.h"
#include "support/temp_root.h"
#include "websocket/base64_encode.h"
#include "websocket/sha1.h"

#ifndef OVT_AGENT_PROGRAM
#error "OVT_AGENT_PROGRAM must name the agent program the build makes"
#endif
#ifndef OVT_WS_REFERENCE_SERVER
#error "OVT_WS_REFERENCE_SERVER must name bench/ws_reference_server.js"
#endif

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace bench;
using ovt_test::TempRoot;

// ---------------------------------------------------------------- messages

// The request of every cycle: LAST, which hands back the stored reply
// without touching the terminal.
constexpr std::string_view kRequest = "0016VEVU00000004LAST";

// The reply stored in orvaResult.txt: a payment reply as the dispatcher
// builds it, the terminal's answer frame from STX through ETX with the
// Korean word for "approved" in code page 949 (BD C2 C0 CE).
constexpr std::string_view kStoredReply =
    "0026VEVU00000014\x02"
    "OK:D1AB \xBD\xC2\xC0\xCE\x03";
// The same reply as it leaves for the browser: UTF-8 (EC 8A B9 EC 9D B8).
constexpr std::string_view kStoredReplyUtf8 =
    "0026VEVU00000014\x02"
    "OK:D1AB \xEC\x8A\xB9\xEC\x9D\xB8\x03";
// LAST with nothing stored: the header counts the 32 bytes of the text in
// code page 949, the browser receives the text in UTF-8.
constexpr std::string_view kNoStoredReplyUtf8 = "0044VEVU00000032결과데이터 파일을 열수 없습니다.";

// A browser's opening handshake, in the order and with the lines a current
// browser sends (the permessage-deflate offer included; neither server
// takes it). %d is the port, %s the key.
constexpr const char* kHandshakeFormat =
    "GET /VEVU HTTP/1.1\r\n"
    "Host: 127.0.0.1:%d\r\n"
    "Connection: Upgrade\r\n"
    "Pragma: no-cache\r\n"
    "Cache-Control: no-cache\r\n"
    "User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like "
    "Gecko) Chrome/124.0.0.0 Safari/537.36\r\n"
    "Upgrade: websocket\r\n"
    "Origin: http://localhost\r\n"
    "Sec-WebSocket-Version: 13\r\n"
    "Accept-Encoding: gzip, deflate, br, zstd\r\n"
    "Accept-Language: ko-KR,ko;q=0.9,en-US;q=0.8,en;q=0.7\r\n"
    "Sec-WebSocket-Key: %s\r\n"
    "Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits\r\n"
    "\r\n";
constexpr char kGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

// ---------------------------------------------------------------- settings

constexpr int kAbsentCom = 99;  // no such port in the data root: the probe fails at once
constexpr int kBaud = 115200;

constexpr double kRatioTarget = 1.0;      // agent median / Node median, at most
constexpr double kRssTargetKb = 10240.0;  // idle agent after start-up, under
constexpr double kIdleCpuTargetMs = 50.0;  // over 60 idle seconds, under

// Every receive and send of a cycle gives up after this long, so a server
// that stops answering costs seconds, not the run.
constexpr int kIoTimeoutMs = 5000;
// A server that fails this many cycles in a row is not measured further.
constexpr int kMaxFailuresInARow = 5;
constexpr auto kStartTimeout = std::chrono::seconds(20);
constexpr auto kStopTimeout = std::chrono::seconds(5);
// The agent's listeners are looked for in /proc/net/tcp this often.
constexpr auto kReadyPoll = std::chrono::milliseconds(10);

struct Options {
  int cycles = 2000;
  int warmup = 200;
  int block = 100;
  int idle_seconds = 60;
  bool stored_reply = true;
  std::string agent = OVT_AGENT_PROGRAM;
  std::string node = "node";
};

const char* Usage() {
  return "usage: ws_cycle_bench [--cycles N] [--warmup N] [--block N] [--idle-seconds S]\n"
         "                      [--no-stored-reply] [--agent PATH] [--node PATH]\n"
         "  --cycles N        timed cycles against each server, at least 10 (default 2000)\n"
         "  --warmup N        untimed cycles against each server first (default 200)\n"
         "  --block N         cycles in a row against one server before the other's turn\n"
         "                    (default 100)\n"
         "  --idle-seconds S  the agent's idle CPU is measured over S seconds, 0 skips it\n"
         "                    (default 60)\n"
         "  --no-stored-reply no orvaResult.txt: LAST answers with the \"0044\" reply\n"
         "  --agent PATH      the agent program (default: the one built beside the bench)\n"
         "  --node PATH       the Node.js program (default: node on the PATH)\n";
}

// 0 parsed, 1 help shown, 2 error shown.
int ParseOptions(int argc, char** argv, Options* options) {
  const auto take = [&](std::string_view arg, const char* value) {
    bool ok = false;
    if (arg == "--cycles") {
      ok = ParseCount(value, 10, 10000000, &options->cycles);
    } else if (arg == "--warmup") {
      ok = ParseCount(value, 0, 10000000, &options->warmup);
    } else if (arg == "--block") {
      ok = ParseCount(value, 1, 10000000, &options->block);
    } else if (arg == "--idle-seconds") {
      ok = ParseCount(value, 0, 3600, &options->idle_seconds);
    } else if (arg == "--agent") {
      ok = value != nullptr && *value != '\0';
      if (ok) options->agent = value;
    } else if (arg == "--node") {
      ok = value != nullptr && *value != '\0';
      if (ok) options->node = value;
    } else {
      return Taken::kUnknown;
    }
    return ok ? Taken::kOk : Taken::kBadValue;
  };
  // --no-stored-reply takes no value; the shared parser walks pairs, so it
  // is taken out of the arguments first.
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (i > 0 && std::string_view(argv[i]) == "--no-stored-reply") {
      options->stored_reply = false;
    } else {
      rest.push_back(argv[i]);
    }
  }
  return bench::ParseOptions(static_cast<int>(rest.size()), rest.data(), "ws_cycle_bench",
                             Usage(), take);
}

// ---------------------------------------------------------------- helpers

std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// Printable ASCII as it is, everything else as \xNN.
std::string Visible(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02X", c);
      out += esc;
    }
  }
  return out;
}

void SleepFor(std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); }

// The full path of a program named without a slash, as execvp would find it.
std::string FindOnPath(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// The first line a command prints, for the header (node --version).
std::string FirstLineOfCommand(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  char line[256] = {};
  if (std::fgets(line, sizeof line, pipe) == nullptr) line[0] = '\0';
  pclose(pipe);
  std::string text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// Two neighbouring ports that nothing listens on or is bound to, on all
// addresses, as the agent binds them. Another program may take them before
// the agent does; the agent then fails to start listening and the bench
// says so.
int FreePortPair() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    int port = -1;
    if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port = ntohs(address.sin_port);
    }
    bool next_free = false;
    if (port > 0 && port < 65535) {
      const int second = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in next = address;
      next.sin_port = htons(static_cast<uint16_t>(port + 1));
      next_free = second >= 0 && bind(second, reinterpret_cast<sockaddr*>(&next), sizeof next) == 0;
      if (second >= 0) close(second);
    }
    close(probe);
    if (next_free) return port;
  }
  return -1;
}

// ---------------------------------------------------------------- /proc

// What /proc tells about one running process.
struct ProcessFigures {
  bool alive = false;
  double cpu_ms = 0;         // utime + stime of /proc/<pid>/stat, all threads, tick resolution
  double run_ns = 0;         // nanoseconds on a CPU from the threads' schedstat
  bool run_ns_known = false;
  long context_switches = 0;  // voluntary + involuntary, over the live threads
  long rss_kb = -1;
  long threads = -1;
  long fds = -1;
};

ProcessFigures ReadProcess(pid_t pid) {
  ProcessFigures f;
  const std::string dir = "/proc/" + std::to_string(pid);
  {
    std::ifstream in(dir + "/stat");
    std::string stat;
    if (!std::getline(in, stat)) return f;
    // The fields after the command name, which ends at the last ')':
    // state is field 3, utime and stime are fields 14 and 15.
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos) return f;
    std::istringstream fields(stat.substr(paren + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int number = 3; number <= 15 && fields >> field; ++number) {
      if (number == 3 && field == "Z") return f;
      if (number == 14) utime = std::stoull(field);
      if (number == 15) stime = std::stoull(field);
    }
    f.alive = true;
    f.cpu_ms = static_cast<double>(utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  {
    std::ifstream in(dir + "/status");
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("VmRSS:", 0) == 0) f.rss_kb = std::atol(line.c_str() + 6);
      if (line.rfind("Threads:", 0) == 0) f.threads = std::atol(line.c_str() + 8);
    }
  }
  std::error_code ec;
  long fds = 0;
  for (const auto& entry : fs::directory_iterator(dir + "/fd", ec)) {
    (void)entry;
    ++fds;
  }
  if (!ec) f.fds = fds;
  f.run_ns_known = true;
  for (const auto& task : fs::directory_iterator(dir + "/task", ec)) {
    std::ifstream schedstat(task.path() / "schedstat");
    double ns = 0;
    if (schedstat >> ns) {
      f.run_ns += ns;
    } else {
      f.run_ns_known = false;
    }
    std::ifstream status(task.path() / "status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
        f.context_switches += std::atol(line.c_str() + 24);
      if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
        f.context_switches += std::atol(line.c_str() + 27);
    }
  }
  if (ec) f.run_ns_known = false;
  return f;
}

// Whether something listens on `port` (any address), from /proc/net/tcp.
bool Listening(int port) {
  std::ifstream in("/proc/net/tcp");
  std::string line;
  std::getline(in, line);  // the column names
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    if (!(fields >> slot >> local >> remote >> state)) continue;
    if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0)
      return true;
  }
  return false;
}

// The agent's daily logs in the data root: bytes and lines together (a run
// that passes midnight writes two files).
struct LogSize {
  long long bytes = 0;
  long long lines = 0;
};

LogSize AgentLogSize(const std::string& root) {
  LogSize size;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(root + "/ORVAlog", ec)) {
    if (entry.path().filename().string().rfind("OVTelquin_", 0) != 0) continue;
    const std::string content = ovt_test::ReadFile(entry.path().string());
    size.bytes += static_cast<long long>(content.size());
    for (size_t at = content.find("\r\n"); at != std::string::npos;
         at = content.find("\r\n", at + 2))
      ++size.lines;
  }
  return size;
}

bool AgentLogHas(const std::string& root, std::string_view text) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(root + "/ORVAlog", ec)) {
    if (entry.path().filename().string().rfind("OVTelquin_", 0) != 0) continue;
    if (ovt_test::ReadFile(entry.path().string()).find(text) != std::string::npos) return true;
  }
  return false;
}

// ---------------------------------------------------------------- children

// A server under test as a child process. It gets SIGTERM should the bench
// die first, and Stop() ends and reaps it (SIGKILL when SIGTERM does not
// end it within kStopTimeout).
class Child {
 public:
  // Starts `argv[0]` with `argv` in `directory`; stderr (and stdout unless
  // `pipe_stdout`) go to `output_file`. With `pipe_stdin` the child's stdin
  // is a pipe that stays open until Stop().
  bool Start(const std::vector<std::string>& argv, const std::string& directory,
             const std::string& output_file, bool pipe_stdout, bool pipe_stdin) {
    output_file_ = output_file;
    int out[2] = {-1, -1}, in[2] = {-1, -1};
    if (pipe_stdout && pipe2(out, O_CLOEXEC) != 0) return Fail("pipe2");
    if (pipe_stdin && pipe2(in, O_CLOEXEC) != 0) return Fail("pipe2");
    const int log = open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log < 0) return Fail("open " + output_file);
    // Everything the child needs is made before fork: after it, only
    // async-signal-safe calls.
    std::vector<std::string> args = argv;
    std::vector<char*> pointers;
    for (std::string& a : args) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) return Fail("fork");
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(127);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      dup2(pipe_stdin ? in[0] : open("/dev/null", O_RDONLY), STDIN_FILENO);
      dup2(pipe_stdout ? out[1] : log, STDOUT_FILENO);
      dup2(log, STDERR_FILENO);
      if (chdir(directory.c_str()) != 0) _exit(126);
      execve(pointers[0], pointers.data(), environ);
      _exit(127);
    }
    pid_ = pid;
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    close(log);
    if (pipe_stdout) {
      close(out[1]);
      stdout_fd_ = out[0];
    }
    if (pipe_stdin) {
      close(in[0]);
      stdin_fd_ = in[1];
    }
    return true;
  }

  // The first line the child prints on its stdout, within `timeout`.
  std::string ReadLine(std::chrono::milliseconds timeout) {
    std::string line;
    const auto deadline = Clock::now() + timeout;
    while (line.find('\n') == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) break;
      pollfd fd = {stdout_fd_, POLLIN, 0};
      const int n = poll(&fd, 1, static_cast<int>(left.count()));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      char buffer[256];
      const ssize_t got = read(stdout_fd_, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      line.append(buffer, static_cast<size_t>(got));
    }
    const size_t end = line.find('\n');
    return end == std::string::npos ? "" : line.substr(0, end);
  }

  // True while the child runs (it is reaped here when it has ended).
  bool Running() {
    if (pid_ < 0) return false;
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == 0) return true;
    Forget(done == pid_ ? status : -1);
    return false;
  }

  void Stop() {
    if (pid_ < 0) return;
    kill(pid_, SIGTERM);
    if (!WaitForEnd(kStopTimeout)) {
      kill(pid_, SIGKILL);
      WaitForEnd(kStopTimeout);
    }
  }

  ~Child() { Stop(); }

  pid_t pid() const { return pid_; }
  const std::string& error() const { return error_; }
  // How the child ended, for the report ("exit 1", "signal 15").
  const std::string& ending() const { return ending_; }
  std::string Output() const { return ovt_test::ReadFile(output_file_); }

 private:
  bool Fail(const std::string& what) {
    error_ = what + ": " + std::strerror(errno);
    return false;
  }

  bool WaitForEnd(std::chrono::seconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (pid_ >= 0) {
      if (!Running()) return true;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      if (pidfd_ >= 0) {
        pollfd fd = {pidfd_, POLLIN, 0};
        poll(&fd, 1, static_cast<int>(left.count()));
      } else {
        SleepFor(std::chrono::milliseconds(10));
      }
    }
    return true;
  }

  void Forget(int status) {
    if (status >= 0) {
      ending_ = WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                  : "signal " + std::to_string(WTERMSIG(status));
    }
    pid_ = -1;
    for (int* fd : {&pidfd_, &stdout_fd_, &stdin_fd_}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
  }

  pid_t pid_ = -1;
  int pidfd_ = -1;
  int stdout_fd_ = -1;
  int stdin_fd_ = -1;
  std::string output_file_;
  std::string error_;
  std::string ending_;
};

// ---------------------------------------------------------------- one cycle

// What a cycle sends, made before its clock starts: a fresh key with the
// accept value it must get back, and fresh masking keys.
struct Prepared {
  std::string handshake;
  std::string accept;
  std::string text_frame;
  std::string close_frame;
};

std::string AcceptFor(const std::string& key) {
  const std::string joined = key + kGuid;
  std::uint8_t digest[agent::kWsSha1DigestSize];
  agent::wsSha1(reinterpret_cast<const std::uint8_t*>(joined.data()), joined.size(), digest);
  char text[32] = {};
  const size_t length = agent::wsBase64Encode(text, sizeof text, digest, sizeof digest);
  return std::string(text, length);
}

// A masked client frame with FIN set: the 7-bit or 16-bit length form.
std::string ClientFrame(std::uint8_t opcode, std::string_view payload,
                        const std::array<std::uint8_t, 4>& mask) {
  std::string frame;
  frame += static_cast<char>(0x80 | opcode);
  if (payload.size() <= 125) {
    frame += static_cast<char>(0x80 | payload.size());
  } else {
    frame += static_cast<char>(0x80 | 126);
    frame += static_cast<char>(payload.size() >> 8);
    frame += static_cast<char>(payload.size() & 0xFF);
  }
  for (std::uint8_t b : mask) frame += static_cast<char>(b);
  for (size_t i = 0; i < payload.size(); ++i)
    frame += static_cast<char>(static_cast<std::uint8_t>(payload[i]) ^ mask[i % 4]);
  return frame;
}

Prepared Prepare(std::mt19937& random, int port) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::uint8_t nonce[16];
  for (auto& b : nonce) b = static_cast<std::uint8_t>(byte(random));
  char key[32] = {};
  const size_t key_length = agent::wsBase64Encode(key, sizeof key, nonce, sizeof nonce);
  Prepared p;
  const std::string key_text(key, key_length);
  char head[1024];
  std::snprintf(head, sizeof head, kHandshakeFormat, port, key_text.c_str());
  p.handshake = head;
  p.accept = AcceptFor(key_text);
  std::array<std::uint8_t, 4> mask{};
  for (auto& b : mask) b = static_cast<std::uint8_t>(byte(random));
  p.text_frame = ClientFrame(0x1, kRequest, mask);
  for (auto& b : mask) b = static_cast<std::uint8_t>(byte(random));
  // A browser answers a closing frame without a status code with one
  // without a payload.
  p.close_frame = ClientFrame(0x8, "", mask);
  return p;
}

// Milliseconds from the start of a cycle to each of its steps.
struct CycleTimes {
  double connected = 0;  // connect() returned
  double upgraded = 0;   // the whole 101 answer has arrived
  double replied = 0;    // the whole reply frame has arrived
  double closed = 0;     // the server's closing frame has arrived
  double done = 0;       // the client's closing frame sent and the socket closed
};

class Connection {
 public:
  ~Connection() {
    if (fd_ >= 0) close(fd_);
  }

  bool Open(int port, std::string* error) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return Failed("socket", error);
    // A browser sends every message at once, without Nagle's delay.
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval timeout{kIoTimeoutMs / 1000, (kIoTimeoutMs % 1000) * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      return Failed("connect", error);
    return true;
  }

  bool SendAll(std::string_view bytes, std::string* error) {
    while (!bytes.empty()) {
      const ssize_t sent = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (sent < 0 && errno == EINTR) continue;
      if (sent <= 0) return Failed("send", error);
      bytes.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
  }

  // Receives until `complete(buffer)` returns a size other than 0 (the
  // bytes it consumed); those bytes are handed back, the rest is kept
  // for the next read.
  template <class Complete>
  bool Receive(Complete complete, std::string* taken, std::string* error, const char* what) {
    for (;;) {
      const size_t used = complete(std::string_view(pending_));
      if (used > 0) {
        *taken = pending_.substr(0, used);
        pending_.erase(0, used);
        return true;
      }
      char chunk[4096];
      const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got == 0) {
        *error = std::string("connection closed before ") + what + " (had \"" +
                 Visible(pending_) + "\")";
        return false;
      }
      if (got < 0) return Failed(std::string("recv for ") + what, error);
      pending_.append(chunk, static_cast<size_t>(got));
    }
  }

  // Sends without looking at the result: the server may have closed its
  // end already.
  void SendAndForget(std::string_view bytes) {
    (void)!send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }

  void Close() {
    close(fd_);
    fd_ = -1;
  }

 private:
  bool Failed(const std::string& what, std::string* error) {
    *error = what + ": " + std::strerror(errno);
    return false;
  }

  int fd_ = -1;
  std::string pending_;
};

// The size of a complete head (through its empty line), or 0.
size_t HeadSize(std::string_view bytes) {
  const size_t end = bytes.find("\r\n\r\n");
  return end == std::string_view::npos ? 0 : end + 4;
}

// The size of a complete unmasked server frame at the start, or 0.
size_t ServerFrameSize(std::string_view bytes) {
  if (bytes.size() < 2) return 0;
  const auto* b = reinterpret_cast<const std::uint8_t*>(bytes.data());
  size_t header = 2, length = b[1] & 0x7F;
  if (length == 126) {
    if (bytes.size() < 4) return 0;
    header = 4;
    length = (size_t{b[2]} << 8) | b[3];
  } else if (length == 127) {
    if (bytes.size() < 10) return 0;
    header = 10;
    length = 0;
    for (int i = 2; i < 10; ++i) length = (length << 8) | b[i];
  }
  if (b[1] & 0x80) header += 4;  // a server must not mask; refused below
  return bytes.size() >= header + length ? header + length : 0;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// The 101 answer: its status line, Upgrade, Connection and the accept key.
bool CheckUpgrade(std::string_view head, const std::string& accept, std::string* error) {
  static constexpr std::string_view kStatus = "HTTP/1.1 101 Switching Protocols\r\n";
  if (head.substr(0, kStatus.size()) != kStatus) {
    *error = "status line: \"" + Visible(head.substr(0, head.find("\r\n"))) + "\"";
    return false;
  }
  bool upgrade = false, connection = false, accepted = false;
  size_t at = kStatus.size();
  while (at < head.size()) {
    const size_t end = head.find("\r\n", at);
    if (end == std::string_view::npos || end == at) break;
    const std::string_view line = head.substr(at, end - at);
    at = end + 2;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string name = Lower(line.substr(0, colon));
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    if (name == "upgrade") upgrade = Lower(value) == "websocket";
    if (name == "connection") connection = Lower(value).find("upgrade") != std::string::npos;
    if (name == "sec-websocket-accept") accepted = value == accept;
  }
  if (upgrade && connection && accepted) return true;
  *error = std::string("101 answer lacks ") + (!upgrade ? "Upgrade: websocket" : !connection ? "Connection: Upgrade" : "the right Sec-WebSocket-Accept") + ": \"" + Visible(head) + "\"";
  return false;
}

bool CheckReplyFrame(std::string_view frame, std::string_view expected, std::string* error) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(frame.data());
  const size_t header = (b[1] & 0x7F) == 126 ? 4 : (b[1] & 0x7F) == 127 ? 10 : 2;
  if (b[0] != 0x81 || (b[1] & 0x80) != 0) {
    *error = "reply frame is not one unmasked text frame: \"" + Visible(frame.substr(0, 16)) + "\"";
    return false;
  }
  if (frame.substr(header) != expected) {
    *error = "reply payload \"" + Visible(frame.substr(header)) + "\"";
    return false;
  }
  return true;
}

bool RunCycle(int port, const Prepared& p, std::string_view expected_reply, CycleTimes* t,
              std::string* error) {
  const auto start = Clock::now();
  Connection c;
  if (!c.Open(port, error)) return false;
  t->connected = MsBetween(start, Clock::now());

  if (!c.SendAll(p.handshake, error)) return false;
  std::string head;
  if (!c.Receive(HeadSize, &head, error, "the 101 answer")) return false;
  if (!CheckUpgrade(head, p.accept, error)) return false;
  t->upgraded = MsBetween(start, Clock::now());

  if (!c.SendAll(p.text_frame, error)) return false;
  std::string frame;
  if (!c.Receive(ServerFrameSize, &frame, error, "the reply frame")) return false;
  if (!CheckReplyFrame(frame, expected_reply, error)) return false;
  t->replied = MsBetween(start, Clock::now());

  if (!c.Receive(ServerFrameSize, &frame, error, "the closing frame")) return false;
  if (frame != std::string_view("\x88\x00", 2)) {
    *error = "closing frame \"" + Visible(frame) + "\", expected \\x88\\x00";
    return false;
  }
  t->closed = MsBetween(start, Clock::now());

  c.SendAndForget(p.close_frame);
  c.Close();
  t->done = MsBetween(start, Clock::now());
  return true;
}

// ---------------------------------------------------------------- a server's series

struct Series {
  const char* name = "";
  int port = 0;
  pid_t pid = -1;
  std::vector<double> connected, upgraded, replied, closed, done;
  long failures = 0;
  long failures_in_a_row = 0;
  bool given_up = false;
  std::string first_error;
  double server_cpu_ms = 0;  // the server's utime + stime over its timed blocks
  double server_run_ns = 0;  // its threads' time on a cpu over the same blocks
  bool server_run_known = true;
  long timed = 0;
};

// One cycle of `s`; timed ones go into its figures.
void Cycle(Series& s, std::mt19937& random, std::string_view expected, bool timed) {
  if (s.given_up) return;
  const Prepared p = Prepare(random, s.port);
  CycleTimes t;
  std::string error;
  if (!RunCycle(s.port, p, expected, &t, &error)) {
    ++s.failures;
    if (s.first_error.empty()) s.first_error = error;
    if (++s.failures_in_a_row >= kMaxFailuresInARow) {
      s.given_up = true;
      std::fprintf(stderr, "ws_cycle_bench: %s failed %d cycles in a row, the last: %s\n", s.name,
                   kMaxFailuresInARow, error.c_str());
    }
    return;
  }
  s.failures_in_a_row = 0;
  if (!timed) return;
  s.connected.push_back(t.connected);
  s.upgraded.push_back(t.upgraded - t.connected);
  s.replied.push_back(t.replied - t.upgraded);
  s.closed.push_back(t.closed - t.replied);
  s.done.push_back(t.done);
  ++s.timed;
}

// `count` timed cycles of `s`, with its CPU time around them.
void Block(Series& s, std::mt19937& random, std::string_view expected, int count) {
  const ProcessFigures before = ReadProcess(s.pid);
  for (int i = 0; i < count && !s.given_up; ++i) Cycle(s, random, expected, true);
  const ProcessFigures after = ReadProcess(s.pid);
  s.server_cpu_ms += after.cpu_ms - before.cpu_ms;
  s.server_run_ns += after.run_ns - before.run_ns;
  s.server_run_known = s.server_run_known && before.run_ns_known && after.run_ns_known;
}

// ---------------------------------------------------------------- sections

struct Agent {
  Child child;
  int port = 0;
  double ready_ms = 0;
};

bool StartAgent(const Options& options, const TempRoot& root, Agent* agent) {
  agent->port = FreePortPair();
  if (agent->port < 0) {
    std::fprintf(stderr, "ws_cycle_bench: no free pair of ports\n");
    return false;
  }
  fs::create_directories(root.path() + "/OVVarsel");
  ovt_test::WriteFile(root.path() + "/OVVarsel/OVVARSEL.ini",
                      "[CAT]\r\nCatComPort=" + std::to_string(kAbsentCom) + "\r\nCatComBaud=" +
                          std::to_string(kBaud) + "\r\n[HTTP]\r\nWebMode=0\r\nServerPortWebsocket=" +
                          std::to_string(agent->port) + "\r\n");
  if (options.stored_reply)
    ovt_test::WriteFile(root.path() + "/orvaResult.txt", std::string(kStoredReply));

  const auto begun = Clock::now();
  if (!agent->child.Start({options.agent}, root.path(), root.path() + "/agent.out", false,
                          false)) {
    std::fprintf(stderr, "ws_cycle_bench: cannot start %s: %s\n", options.agent.c_str(),
                 agent->child.error().c_str());
    return false;
  }
  // Ready once both listeners are up; looked for in /proc/net/tcp, so no
  // connection is made (one to the stop port would call ReqStop).
  while (Clock::now() - begun < kStartTimeout) {
    if (!agent->child.Running()) {
      std::fprintf(stderr, "ws_cycle_bench: the agent ended during start-up (%s); its output:\n%s",
                   agent->child.ending().c_str(), agent->child.Output().c_str());
      return false;
    }
    if (Listening(agent->port) && Listening(agent->port + 1)) {
      agent->ready_ms = MsBetween(begun, Clock::now());
      return true;
    }
    SleepFor(std::chrono::duration_cast<std::chrono::milliseconds>(kReadyPoll));
  }
  std::fprintf(stderr, "ws_cycle_bench: the agent did not listen on %d and %d within %lld s\n",
               agent->port, agent->port + 1,
               static_cast<long long>(kStartTimeout.count()));
  return false;
}

bool StartNode(const Options& options, const TempRoot& root, std::string_view reply,
               Child* node, int* port) {
  if (!node->Start({options.node, OVT_WS_REFERENCE_SERVER, "--port", "0", "--request",
                    std::string(kRequest), "--reply-hex", Hex(reply)},
                   root.path(), root.path() + "/node.err", true, true)) {
    std::fprintf(stderr, "ws_cycle_bench: cannot start %s: %s\n", options.node.c_str(),
                 node->error().c_str());
    return false;
  }
  const std::string line = node->ReadLine(std::chrono::duration_cast<std::chrono::milliseconds>(kStartTimeout));
  static constexpr std::string_view kListening = "LISTENING ";
  if (line.rfind(kListening, 0) != 0) {
    node->Stop();
    std::fprintf(stderr,
                 "ws_cycle_bench: the Node.js server did not start (is `ws` installed? run "
                 "`npm ci` at the repository root); its output:\n%s",
                 node->Output().c_str());
    return false;
  }
  *port = std::atoi(line.c_str() + kListening.size());
  return *port > 0;
}

void IdleSection(Agent& agent, int seconds, const TempRoot& root) {
  Heading("1. The agent at rest after start-up");
  const ProcessFigures start = ReadProcess(agent.child.pid());
  Fine("start-up until both listeners listen", agent.ready_ms, "ms",
       "includes the agent's fixed 500 ms waits");
  Text("start-up END line in the agent log",
       AgentLogHas(root.path(), "===========END==========") ? "yes  (expected yes)"
                                                            : "no  (expected yes)");
  Count("resident memory (VmRSS) after start-up", start.rss_kb, "kB",
        "target: under 10 MB: " + Verdict(start.rss_kb >= 0 && start.rss_kb < kRssTargetKb));
  Count("threads after start-up", start.threads);
  Count("open descriptors after start-up", start.fds);
  Fine("cpu time of the start-up (utime + stime)", start.cpu_ms, "ms");
  if (start.run_ns_known)
    Micro("time on a cpu during start-up (schedstat)", start.run_ns / 1e6,
          "its live threads; finer than the ticks");
  if (seconds == 0) {
    Text("idle cpu", "skipped (--idle-seconds 0)");
    return;
  }
  SleepFor(std::chrono::seconds(seconds));
  const ProcessFigures end = ReadProcess(agent.child.pid());
  if (!end.alive) {
    Text("idle cpu", "the agent ended while idle");
    return;
  }
  const double scale = 60.0 / seconds;
  const double idle_cpu = end.cpu_ms - start.cpu_ms;
  Count("idle period", seconds, "s");
  Fine("cpu time while idle (utime + stime)", idle_cpu, "ms",
       seconds == 60 ? "target: under 50 ms: " + Verdict(idle_cpu < kIdleCpuTargetMs)
                     : "target over 60 s: under 50 ms");
  if (seconds != 60)
    Fine("the same per 60 s", idle_cpu * scale, "ms",
         "target: under 50 ms: " + Verdict(idle_cpu * scale < kIdleCpuTargetMs));
  if (start.run_ns_known && end.run_ns_known)
    Micro("time on a cpu while idle (threads' schedstat)", (end.run_ns - start.run_ns) / 1e6,
          "finer than the clock ticks of utime + stime");
  Count("context switches while idle (all threads)", end.context_switches - start.context_switches,
        "", "each is a wake-up; expected few or none");
  Count("resident memory (VmRSS) after the idle period", end.rss_kb, "kB");
}

void PrintSeries(const Series& s) {
  const Summary total = Summarize(s.done);
  Count((std::string(s.name) + ": cycles timed").c_str(), s.timed);
  Count((std::string(s.name) + ": failed cycles").c_str(), s.failures, "", "expected 0");
  if (!s.first_error.empty()) Text((std::string(s.name) + ": first failure").c_str(), s.first_error);
  Micro((std::string(s.name) + ": cycle, median").c_str(), total.median);
  Micro((std::string(s.name) + ": cycle, p99").c_str(), total.p99);
  Micro((std::string(s.name) + ": cycle, p90").c_str(), total.p90);
  Micro((std::string(s.name) + ": cycle, min").c_str(), total.min);
  Micro((std::string(s.name) + ": cycle, max").c_str(), total.max);
}

void Phases(const Series& agent, const Series& node) {
  std::printf("  %-47s %12s %12s\n", "phase, median (ms)", agent.name, node.name);
  const auto row = [&](const char* label, const std::vector<double>& a,
                       const std::vector<double>& n) {
    std::printf("  %-47s %12.3f %12.3f\n", label, Summarize(a).median, Summarize(n).median);
  };
  row("connect", agent.connected, node.connected);
  row("handshake sent until the 101 answer is in", agent.upgraded, node.upgraded);
  row("text frame sent until the reply frame is in", agent.replied, node.replied);
  row("reply frame until the closing frame is in", agent.closed, node.closed);
  std::vector<double> a_close, n_close;
  const auto tail = [](const Series& s, std::vector<double>* out) {
    for (size_t i = 0; i < s.done.size(); ++i)
      out->push_back(s.done[i] - s.connected[i] - s.upgraded[i] - s.replied[i] - s.closed[i]);
  };
  tail(agent, &a_close);
  tail(node, &n_close);
  row("closing frame answered and socket closed", a_close, n_close);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const int parsed = ParseOptions(argc, argv, &options)) return parsed == 1 ? 0 : 2;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGPIPE, SIG_IGN);

  MachineHeader("ws_cycle_bench", argc, argv);
  const std::string node_path = FindOnPath(options.node);
  Text("agent program", options.agent);
  Text("reference server", std::string(OVT_WS_REFERENCE_SERVER));
  Text("Node.js", node_path.empty() ? options.node + " (not found)"
                                    : node_path + " " + FirstLineOfCommand(node_path + " --version"));
  struct stat st {};
  if (stat(options.agent.c_str(), &st) != 0) {
    std::fprintf(stderr, "ws_cycle_bench: %s is missing; build the agent first\n",
                 options.agent.c_str());
    return 1;
  }
  if (node_path.empty()) {
    std::fprintf(stderr, "ws_cycle_bench: %s not found\n", options.node.c_str());
    return 1;
  }
  options.node = node_path;
  const std::string_view expected = options.stored_reply ? kStoredReplyUtf8 : kNoStoredReplyUtf8;
  Text("request (one masked text frame)", "\"" + std::string(kRequest) + "\"");
  Text("stored reply in orvaResult.txt",
       options.stored_reply ? "\"" + Visible(kStoredReply) + "\"" : "none (--no-stored-reply)");
  Text("expected reply frame payload (UTF-8)", "\"" + Visible(expected) + "\"");
  Text("load average at start", LoadAverage());

  TempRoot root;
  Text("data root and the agent's working directory", root.path());
  Agent agent;
  if (!StartAgent(options, root, &agent)) return 1;
  Text("agent pid, port, stop port", std::to_string(agent.child.pid()) + ", " +
                                         std::to_string(agent.port) + ", " +
                                         std::to_string(agent.port + 1));
  const auto begun = Clock::now();

  IdleSection(agent, options.idle_seconds, root);

  Child node;
  int node_port = 0;
  if (!StartNode(options, root, expected, &node, &node_port)) return 1;

  Series a, n;
  a.name = "agent";
  a.port = agent.port;
  a.pid = agent.child.pid();
  n.name = "node";
  n.port = node_port;
  n.pid = node.pid();
  std::mt19937 random(std::random_device{}());

  Heading("2. Cycles: " + std::to_string(options.cycles) + " timed against each server after " +
          std::to_string(options.warmup) + " of warm-up, in blocks of " +
          std::to_string(options.block) + ", alternating");
  Text("node pid, port", std::to_string(node.pid()) + ", " + std::to_string(node_port));
  Text("load average before the cycles", LoadAverage());
  for (int i = 0; i < options.warmup; ++i) {
    Cycle(a, random, expected, false);
    Cycle(n, random, expected, false);
    Progress("warm-up", i + 1, options.warmup, 50);
  }
  const long warm_failures_agent = a.failures, warm_failures_node = n.failures;
  const ProcessFigures agent_warm = ReadProcess(a.pid);
  const ProcessFigures node_warm = ReadProcess(n.pid);
  const LogSize log_before = AgentLogSize(root.path());

  // Blocks in the order A B B A A B ...: neither server always follows
  // the other.
  int done = 0;
  for (int b = 0; done < options.cycles; ++b) {
    const int count = std::min(options.block, options.cycles - done);
    Series& first = (b % 2 == 0) ? a : n;
    Series& second = (b % 2 == 0) ? n : a;
    Block(first, random, expected, count);
    Block(second, random, expected, count);
    done += count;
    Progress("cycles of each", done, options.cycles);
    if (!agent.child.Running()) {
      std::fprintf(stderr, "ws_cycle_bench: the agent ended during the cycles (%s)\n",
                   agent.child.ending().c_str());
      break;
    }
  }
  const LogSize log_after = AgentLogSize(root.path());
  const ProcessFigures agent_end = ReadProcess(a.pid);
  const ProcessFigures node_end = ReadProcess(n.pid);
  Text("load average after the cycles", LoadAverage());

  Text("failed warm-up cycles, agent / node",
       std::to_string(warm_failures_agent) + " / " + std::to_string(warm_failures_node) +
           "  (expected 0 / 0)");
  PrintSeries(a);
  PrintSeries(n);
  const double a_median = Summarize(a.done).median, n_median = Summarize(n.done).median;
  const double ratio = n_median > 0 ? a_median / n_median : 0;
  Line("cycle median, agent / node", Format("%.3f", ratio), "",
       "target: at most 1: " + Verdict(a.timed > 0 && n.timed > 0 && ratio <= kRatioTarget));
  Ratio("cycle p99, agent / node",
        Summarize(n.done).p99 > 0 ? Summarize(a.done).p99 / Summarize(n.done).p99 : 0);
  std::vector<double> a_reply, n_reply;
  for (size_t i = 0; i < a.done.size(); ++i)
    a_reply.push_back(a.connected[i] + a.upgraded[i] + a.replied[i]);
  for (size_t i = 0; i < n.done.size(); ++i)
    n_reply.push_back(n.connected[i] + n.upgraded[i] + n.replied[i]);
  Micro("agent: start until the reply is in, median", Summarize(a_reply).median,
        "what the page waits for its answer");
  Micro("node: start until the reply is in, median", Summarize(n_reply).median);
  Phases(a, n);
  for (const Series* s : {&a, &n}) {
    if (s->timed == 0) continue;
    const double cycles = static_cast<double>(s->timed);
    const std::string name = s->name;
    if (s->server_run_known)
      Micro((name + ": server time on a cpu per cycle").c_str(), s->server_run_ns / 1e6 / cycles,
            "threads' schedstat over its blocks");
    Micro((name + ": server cpu per cycle (utime + stime)").c_str(), s->server_cpu_ms / cycles,
          "clock ticks");
  }

  Heading("3. The agent after the cycles");
  const double cycles_logged = static_cast<double>(a.timed + a.failures - warm_failures_agent);
  if (cycles_logged > 0) {
    Fine("agent log lines per cycle",
         static_cast<double>(log_after.lines - log_before.lines) / cycles_logged, "");
    Fine("agent log bytes per cycle",
         static_cast<double>(log_after.bytes - log_before.bytes) / cycles_logged, "bytes");
  }
  Count("agent log at the end", static_cast<long>(log_after.bytes), "bytes",
        std::to_string(log_after.lines) + " lines");
  Count("resident memory (VmRSS), after warm-up", agent_warm.rss_kb, "kB");
  Count("resident memory (VmRSS), after the cycles", agent_end.rss_kb, "kB");
  Count("resident memory, cycles minus warm-up", agent_end.rss_kb - agent_warm.rss_kb, "kB",
        "expected about 0");
  Text("threads, after warm-up -> after the cycles",
       std::to_string(agent_warm.threads) + " -> " + std::to_string(agent_end.threads) +
           "  (expected the same)");
  Text("descriptors, after warm-up -> after the cycles",
       std::to_string(agent_warm.fds) + " -> " + std::to_string(agent_end.fds) +
           "  (expected the same)");
  Count("node: VmRSS after the cycles", node_end.rss_kb, "kB", "for comparison");
  (void)node_warm;

  node.Stop();
  agent.child.Stop();
  const std::string agent_output = agent.child.Output();
  Heading("Run");
  Text("agent ended by SIGTERM", agent.child.ending().empty() ? "unknown" : agent.child.ending());
  Count("agent stdout and stderr", static_cast<long>(agent_output.size()), "bytes",
        "the failed terminal probe is reported there");
  Figure("total run time", MsBetween(begun, Clock::now()) / 1000.0, "s");
  Text("load average at the end", LoadAverage());
  return 0;
}
