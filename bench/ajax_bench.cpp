// ajax_bench: one AJAX request as a browser's page makes it (a POST of the
// LAST message), against the agent's HTTP front end and against a
// reference server written with Node.js's `http` module, side by side.
//
// Two kinds of request, each timed on its own:
//   keep-alive: requests one after another on one open connection;
//   new connection: connect, one request, the whole response, close.
// Every response is checked (status line, the CORS header, Content-Length,
// no Content-Type, the body bytes), so a server that answers wrongly is
// counted as failing, never as fast. The servers take turns in blocks of
// requests, so both see the same load on the machine. The program reports;
// a missed target is printed as "MISSED" and never changes the exit status.
// It exits non-zero only when it cannot measure at all (agent or Node.js
// unavailable, bad arguments).
//
// Sections (see bench/README.md for what each figure means):
//   1. the agent after start-up;
//   2. --requests N requests of each kind against each server, alternating
//      in blocks, with each server's CPU per request;
//   3. the agent after the requests: its log per request, temp files left,
//      memory, threads, descriptors.
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
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench_report.h"
#include "support/temp_root.h"

#ifndef OVT_AGENT_PROGRAM
#error "OVT_AGENT_PROGRAM must name the agent program the build makes"
#endif
#ifndef OVT_HTTP_REFERENCE_SERVER
#error "OVT_HTTP_REFERENCE_SERVER must name bench/http_reference_server.js"
#endif

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace bench;
using ovt_test::TempRoot;

// ---------------------------------------------------------------- messages

// The body of every request: LAST, which hands back the stored reply
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

// A browser's cross-origin POST of a string body, in the order and with the
// lines a current browser sends. %d is the port, %zu the body's length.
constexpr const char* kRequestHeadFormat =
    "POST / HTTP/1.1\r\n"
    "Host: 127.0.0.1:%d\r\n"
    "Connection: keep-alive\r\n"
    "Content-Length: %zu\r\n"
    "User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like "
    "Gecko) Chrome/124.0.0.0 Safari/537.36\r\n"
    "Content-Type: text/plain;charset=UTF-8\r\n"
    "Accept: */*\r\n"
    "Origin: http://localhost\r\n"
    "Sec-Fetch-Site: cross-site\r\n"
    "Sec-Fetch-Mode: cors\r\n"
    "Sec-Fetch-Dest: empty\r\n"
    "Referer: http://localhost/\r\n"
    "Accept-Encoding: gzip, deflate, br, zstd\r\n"
    "Accept-Language: ko-KR,ko;q=0.9,en-US;q=0.8,en;q=0.7\r\n"
    "\r\n";

// ---------------------------------------------------------------- settings

constexpr int kAbsentCom = 99;  // no such port in the data root: the probe fails at once
constexpr int kBaud = 115200;

constexpr double kRatioTarget = 1.0;  // agent median / Node median, at most

// Every receive and send gives up after this long, so a server that stops
// answering costs seconds, not the run.
constexpr int kIoTimeoutMs = 5000;
// A server that fails this many requests in a row is not measured further.
constexpr int kMaxFailuresInARow = 5;
// The largest response head accepted; anything longer is a failure.
constexpr size_t kMaxHeadBytes = 16384;
constexpr auto kStartTimeout = std::chrono::seconds(20);
constexpr auto kStopTimeout = std::chrono::seconds(5);
// The agent's servers are looked for in /proc/net/tcp this often.
constexpr auto kReadyPoll = std::chrono::milliseconds(10);

struct Options {
  int requests = 5000;
  int warmup = 200;
  int block = 100;
  std::string agent = OVT_AGENT_PROGRAM;
  std::string node = "node";
};

const char* Usage() {
  return "usage: ajax_bench [--requests N] [--warmup N] [--block N] [--agent PATH] [--node PATH]\n"
         "  --requests N  timed requests of each kind against each server, at least 10\n"
         "                (default 5000)\n"
         "  --warmup N    untimed requests of each kind against each server first\n"
         "                (default 200)\n"
         "  --block N     requests in a row against one server before the other's turn\n"
         "                (default 100)\n"
         "  --agent PATH  the agent program (default: the one built beside the bench)\n"
         "  --node PATH   the Node.js program (default: node on the PATH)\n";
}

// 0 parsed, 1 help shown, 2 error shown.
int ParseOptions(int argc, char** argv, Options* options) {
  return bench::ParseOptions(argc, argv, "ajax_bench", Usage(),
                             [&](std::string_view arg, const char* value) {
    bool ok = false;
    if (arg == "--requests") {
      ok = ParseCount(value, 10, 10000000, &options->requests);
    } else if (arg == "--warmup") {
      ok = ParseCount(value, 0, 10000000, &options->warmup);
    } else if (arg == "--block") {
      ok = ParseCount(value, 1, 10000000, &options->block);
    } else if (arg == "--agent" || arg == "--node") {
      ok = value != nullptr && *value != '\0';
      if (ok) (arg == "--agent" ? options->agent : options->node) = value;
    } else {
      return Taken::kUnknown;
    }
    return ok ? Taken::kOk : Taken::kBadValue;
  });
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

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
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

// Two neighbouring loopback ports that nothing is bound to, as the agent's
// two servers take them. Another program may take them before the agent
// does; the agent then does not serve and the bench says so.
int FreePortPair() {
  const auto bound = [](int fd, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  };
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return -1;
    int port = -1;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (bound(probe, 0) && getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      port = ntohs(address.sin_port);
    bool next_free = false;
    if (port > 0 && port < 65535) {
      const int second = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      next_free = second >= 0 && bound(second, port + 1);
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
  double run_ns = 0;  // nanoseconds on a CPU, summed over the threads' schedstat
  bool run_ns_known = false;
  long rss_kb = -1;
  long threads = -1;
  long fds = -1;
};

ProcessFigures ReadProcess(pid_t pid) {
  ProcessFigures f;
  const std::string dir = "/proc/" + std::to_string(pid);
  std::ifstream status(dir + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("State:", 0) == 0 && line.find('Z') != std::string::npos) return f;
    if (line.rfind("VmRSS:", 0) == 0) f.rss_kb = std::atol(line.c_str() + 6);
    if (line.rfind("Threads:", 0) == 0) f.threads = std::atol(line.c_str() + 8);
  }
  if (f.threads < 0) return f;
  f.alive = true;
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
  }
  if (ec) f.run_ns_known = false;
  return f;
}

// Whether something listens on `port` (any IPv4 address), from /proc/net/tcp.
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

// Files of the agent's working directory whose name begins with "New": the
// temp files its POST responses are staged in, which it deletes.
long TempFilesLeft(const std::string& root) {
  long count = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(root, ec))
    if (entry.path().filename().string().rfind("New", 0) == 0) ++count;
  return count;
}

// ---------------------------------------------------------------- children

// A server under test as a child process. It gets SIGTERM should the bench
// die first, and Stop() ends and reaps it (SIGKILL when SIGTERM does not
// end it within kStopTimeout).
class Child {
 public:
  // Starts `argv[0]` with `argv` in `directory`; stderr (and stdout unless
  // `pipes`) go to `output_file`. With `pipes` the child's stdout is read
  // through ReadLine and its stdin is a pipe that stays open until Stop().
  bool Start(const std::vector<std::string>& argv, const std::string& directory,
             const std::string& output_file, bool pipes) {
    output_file_ = output_file;
    int out[2] = {-1, -1}, in[2] = {-1, -1};
    if (pipes && (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0)) return Fail("pipe2");
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
      dup2(pipes ? in[0] : open("/dev/null", O_RDONLY), STDIN_FILENO);
      dup2(pipes ? out[1] : log, STDOUT_FILENO);
      dup2(log, STDERR_FILENO);
      if (chdir(directory.c_str()) != 0) _exit(126);
      execve(pointers[0], pointers.data(), environ);
      _exit(127);
    }
    pid_ = pid;
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    close(log);
    if (pipes) {
      close(out[1]);
      close(in[0]);
      stdout_fd_ = out[0];
      stdin_fd_ = in[1];
    }
    return true;
  }

  // The first line the child prints on its stdout, within `timeout`.
  std::string ReadLine(std::chrono::milliseconds timeout) {
    std::string line;
    const auto deadline = Clock::now() + timeout;
    while (line.find('\n') == std::string::npos) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
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
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
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

// ---------------------------------------------------------------- one request

class Connection {
 public:
  ~Connection() { Close(); }

  bool Open(int port, std::string* error) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return Failed("socket", error);
    // A browser sends every request at once, without Nagle's delay.
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

  // Reads until at least `size` bytes are pending; `what` names them for
  // the error.
  bool ReceiveAtLeast(size_t size, std::string* error, const char* what) {
    while (pending_.size() < size) {
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
    return true;
  }

  // The response head through its empty line, taken from the pending bytes.
  bool ReceiveHead(std::string* head, std::string* error) {
    for (;;) {
      const size_t end = pending_.find("\r\n\r\n");
      if (end != std::string::npos) {
        *head = pending_.substr(0, end + 4);
        pending_.erase(0, end + 4);
        return true;
      }
      if (pending_.size() > kMaxHeadBytes) {
        *error = "response head longer than " + std::to_string(kMaxHeadBytes) + " bytes";
        return false;
      }
      if (!ReceiveAtLeast(pending_.size() + 1, error, "the response head")) return false;
    }
  }

  std::string Take(size_t size) {
    std::string taken = pending_.substr(0, size);
    pending_.erase(0, size);
    return taken;
  }

  bool Idle() const { return pending_.empty(); }

  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    pending_.clear();
  }

 private:
  bool Failed(const std::string& what, std::string* error) {
    *error = what + ": " + std::strerror(errno);
    return false;
  }

  int fd_ = -1;
  std::string pending_;
};

// The response head a page can read across origins: 200 OK, the CORS
// header, a Content-Length (returned in *length), no Content-Type, no
// chunked body, and for a kept connection no "Connection: close".
bool CheckHead(std::string_view head, bool keep_alive, size_t* length, std::string* error) {
  static constexpr std::string_view kStatus = "HTTP/1.1 200 OK\r\n";
  if (head.substr(0, kStatus.size()) != kStatus) {
    *error = "status line \"" + Visible(head.substr(0, head.find("\r\n"))) + "\"";
    return false;
  }
  bool cors = false, has_length = false;
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
    if (name == "access-control-allow-origin") cors = value == "*";
    if (name == "content-type") {
      *error = "a Content-Type \"" + Visible(value) + "\"";
      return false;
    }
    if (name == "transfer-encoding") {
      *error = "Transfer-Encoding \"" + Visible(value) + "\" instead of a Content-Length";
      return false;
    }
    if (name == "connection" && keep_alive && Lower(value) == "close") {
      *error = "Connection: close on a kept-alive connection";
      return false;
    }
    if (name == "content-length") {
      const std::string digits(value);
      char* stop = nullptr;
      const unsigned long n = std::strtoul(digits.c_str(), &stop, 10);
      has_length = !digits.empty() && *stop == '\0' && n < (1u << 20);
      *length = n;
    }
  }
  if (cors && has_length) return true;
  *error = std::string("head lacks ") +
           (!cors ? "Access-Control-Allow-Origin: *" : "a usable Content-Length") + ": \"" +
           Visible(head) + "\"";
  return false;
}

// One request on `c` and its whole response, checked.
bool Exchange(Connection& c, std::string_view request, bool keep_alive,
              std::string_view expected_body, std::string* error) {
  if (!c.SendAll(request, error)) return false;
  std::string head;
  if (!c.ReceiveHead(&head, error)) return false;
  size_t length = 0;
  if (!CheckHead(head, keep_alive, &length, error)) return false;
  if (!c.ReceiveAtLeast(length, error, "the response body")) return false;
  const std::string body = c.Take(length);
  if (body != expected_body) {
    *error = "body \"" + Visible(body) + "\"";
    return false;
  }
  if (!c.Idle()) {
    *error = "bytes after the response body";
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- a server's series

enum class Kind { kKeepAlive, kNewConnection };

struct Series {
  std::string name;
  int port = 0;
  pid_t pid = -1;
  std::string request;  // the whole request, head and body
  std::vector<double> times;
  long timed = 0;
  long failures = 0;
  long failures_in_a_row = 0;
  bool given_up = false;
  std::string first_error;
  double server_run_ns = 0;  // the server's time on a CPU over its timed blocks
  bool server_run_known = true;
};

void Failed(Series& s, const std::string& error) {
  ++s.failures;
  if (s.first_error.empty()) s.first_error = error;
  if (++s.failures_in_a_row >= kMaxFailuresInARow) s.given_up = true;
}

// `count` requests of `s`, timed when `timed`. Keep-alive requests share
// one connection, opened and closed outside the clock (and opened again
// after a failure); each new-connection request is timed from the socket's
// creation until it is closed after the whole response.
void Run(Series& s, Kind kind, std::string_view expected, int count, bool timed) {
  const ProcessFigures before = ReadProcess(s.pid);
  Connection kept;
  bool open = false;
  for (int i = 0; i < count && !s.given_up; ++i) {
    std::string error;
    if (kind == Kind::kKeepAlive && !open) {
      open = kept.Open(s.port, &error);
      if (!open) {
        kept.Close();
        Failed(s, error);
        continue;
      }
    }
    const auto start = Clock::now();
    bool ok;
    if (kind == Kind::kKeepAlive) {
      ok = Exchange(kept, s.request, true, expected, &error);
    } else {
      Connection c;
      ok = c.Open(s.port, &error) && Exchange(c, s.request, false, expected, &error);
      c.Close();
    }
    const double ms = MsBetween(start, Clock::now());
    if (!ok) {
      if (kind == Kind::kKeepAlive) {
        kept.Close();
        open = false;
      }
      Failed(s, error);
      continue;
    }
    s.failures_in_a_row = 0;
    if (timed) {
      s.times.push_back(ms);
      ++s.timed;
    }
  }
  if (!timed) return;
  const ProcessFigures after = ReadProcess(s.pid);
  s.server_run_ns += after.run_ns - before.run_ns;
  s.server_run_known = s.server_run_known && before.run_ns_known && after.run_ns_known;
}

// ---------------------------------------------------------------- servers

struct Agent {
  Child child;
  int port = 0;
  double ready_ms = 0;
};

bool StartAgent(const Options& options, const TempRoot& root, Agent* agent) {
  agent->port = FreePortPair();
  if (agent->port < 0) {
    std::fprintf(stderr, "ajax_bench: no free pair of ports\n");
    return false;
  }
  fs::create_directories(root.path() + "/OVVarsel");
  ovt_test::WriteFile(root.path() + "/OVVarsel/OVVARSEL.ini",
                      "[CAT]\r\nCatComPort=" + std::to_string(kAbsentCom) + "\r\nCatComBaud=" +
                          std::to_string(kBaud) + "\r\n[HTTP]\r\nWebMode=1\r\nServerPortAjax=" +
                          std::to_string(agent->port) + "\r\n");
  ovt_test::WriteFile(root.path() + "/orvaResult.txt", std::string(kStoredReply));

  const auto begun = Clock::now();
  if (!agent->child.Start({options.agent}, root.path(), root.path() + "/agent.out", false)) {
    std::fprintf(stderr, "ajax_bench: cannot start %s: %s\n", options.agent.c_str(),
                 agent->child.error().c_str());
    return false;
  }
  // Ready once both servers are up; looked for in /proc/net/tcp, so no
  // request is made (one to the second server would reach the dispatcher).
  while (Clock::now() - begun < kStartTimeout) {
    if (!agent->child.Running()) {
      std::fprintf(stderr, "ajax_bench: the agent ended during start-up (%s); its output:\n%s",
                   agent->child.ending().c_str(), agent->child.Output().c_str());
      return false;
    }
    if (Listening(agent->port) && Listening(agent->port + 1)) {
      agent->ready_ms = MsBetween(begun, Clock::now());
      return true;
    }
    SleepFor(std::chrono::duration_cast<std::chrono::milliseconds>(kReadyPoll));
  }
  std::fprintf(stderr,
               "ajax_bench: the agent did not serve on %d and %d within %lld s (is its AJAX "
               "front end built?); its output:\n%s",
               agent->port, agent->port + 1, static_cast<long long>(kStartTimeout.count()),
               agent->child.Output().c_str());
  return false;
}

bool StartNode(const Options& options, const TempRoot& root, Child* node, int* port) {
  if (!node->Start({options.node, OVT_HTTP_REFERENCE_SERVER, "--port", "0", "--request",
                    std::string(kRequest), "--reply-hex", Hex(kStoredReplyUtf8)},
                   root.path(), root.path() + "/node.err", true)) {
    std::fprintf(stderr, "ajax_bench: cannot start %s: %s\n", options.node.c_str(),
                 node->error().c_str());
    return false;
  }
  const std::string line =
      node->ReadLine(std::chrono::duration_cast<std::chrono::milliseconds>(kStartTimeout));
  static constexpr std::string_view kListening = "LISTENING ";
  if (line.rfind(kListening, 0) != 0) {
    node->Stop();
    std::fprintf(stderr, "ajax_bench: the Node.js server did not start; its output:\n%s",
                 node->Output().c_str());
    return false;
  }
  *port = std::atoi(line.c_str() + kListening.size());
  return *port > 0;
}

std::string RequestFor(int port) {
  char head[2048];
  std::snprintf(head, sizeof head, kRequestHeadFormat, port, kRequest.size());
  return head + std::string(kRequest);
}

// ---------------------------------------------------------------- report

void PrintSeries(const Series& s) {
  const Summary t = Summarize(s.times);
  Count((s.name + ": requests timed").c_str(), s.timed);
  Count((s.name + ": failed requests").c_str(), s.failures, "", "expected 0");
  if (!s.first_error.empty()) Text((s.name + ": first failure").c_str(), s.first_error);
  Micro((s.name + ": median").c_str(), t.median);
  Micro((s.name + ": p99").c_str(), t.p99);
  Micro((s.name + ": p90, min, max").c_str(), t.p90,
        Format("%.3f", t.min) + ", " + Format("%.3f", t.max) + " ms");
  if (s.timed > 0 && s.server_run_known)
    Micro((s.name + ": server cpu per request").c_str(),
          s.server_run_ns / 1e6 / static_cast<double>(s.timed), "threads' schedstat");
}

void Compare(const char* what, const Series& agent, const Series& node) {
  const Summary a = Summarize(agent.times), n = Summarize(node.times);
  const double ratio = n.median > 0 ? a.median / n.median : 0;
  Line((std::string(what) + ": median, agent / node").c_str(), Format("%.3f", ratio), "",
       "target: at most 1: " +
           Verdict(agent.timed > 0 && node.timed > 0 && ratio <= kRatioTarget));
  Ratio((std::string(what) + ": p99, agent / node").c_str(), n.p99 > 0 ? a.p99 / n.p99 : 0);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const int parsed = ParseOptions(argc, argv, &options)) return parsed == 1 ? 0 : 2;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGPIPE, SIG_IGN);

  MachineHeader("ajax_bench", argc, argv);
  const std::string node_path = FindOnPath(options.node);
  Text("agent program", options.agent);
  Text("reference server", std::string(OVT_HTTP_REFERENCE_SERVER));
  Text("Node.js", node_path.empty() ? options.node + " (not found)"
                                    : node_path + " " + FirstLineOfCommand(node_path + " --version"));
  struct stat st {};
  if (stat(options.agent.c_str(), &st) != 0) {
    std::fprintf(stderr, "ajax_bench: %s is missing; build the agent first\n",
                 options.agent.c_str());
    return 1;
  }
  if (node_path.empty()) {
    std::fprintf(stderr, "ajax_bench: %s not found\n", options.node.c_str());
    return 1;
  }
  options.node = node_path;
  Text("request body (POST, text/plain)", "\"" + std::string(kRequest) + "\"");
  Text("stored reply in orvaResult.txt", "\"" + Visible(kStoredReply) + "\"");
  Text("expected response body (UTF-8)", "\"" + Visible(kStoredReplyUtf8) + "\"");
  Text("load average at start", LoadAverage());

  TempRoot root;
  Text("data root and the agent's working directory", root.path());
  Agent agent;
  if (!StartAgent(options, root, &agent)) return 1;
  Text("agent pid, port, second port", std::to_string(agent.child.pid()) + ", " +
                                           std::to_string(agent.port) + ", " +
                                           std::to_string(agent.port + 1));
  const auto begun = Clock::now();

  Heading("1. The agent after start-up");
  Fine("start-up until both servers listen", agent.ready_ms, "ms",
       "includes the agent's fixed 500 ms waits");
  const ProcessFigures started = ReadProcess(agent.child.pid());
  Count("resident memory (VmRSS) after start-up", started.rss_kb, "kB");
  Count("threads, open descriptors after start-up", started.threads, "",
        std::to_string(started.fds) + " descriptors");

  Child node;
  int node_port = 0;
  if (!StartNode(options, root, &node, &node_port)) return 1;
  Text("node pid, port", std::to_string(node.pid()) + ", " + std::to_string(node_port));

  // series[kind][server]: server 0 the agent, 1 Node.
  Series series[2][2];
  const char* kind_names[2] = {"keep-alive", "new connection"};
  for (int k = 0; k < 2; ++k) {
    for (int v = 0; v < 2; ++v) {
      Series& s = series[k][v];
      s.name = std::string(v == 0 ? "agent" : "node") + ", " + kind_names[k];
      s.port = v == 0 ? agent.port : node_port;
      s.pid = v == 0 ? agent.child.pid() : node.pid();
      s.request = RequestFor(s.port);
    }
  }
  const Kind kinds[2] = {Kind::kKeepAlive, Kind::kNewConnection};

  Heading("2. Requests: " + std::to_string(options.requests) +
          " timed of each kind against each server after " + std::to_string(options.warmup) +
          " of warm-up, in blocks of " + std::to_string(options.block) + ", alternating");
  Text("load average before the requests", LoadAverage());
  for (int k = 0; k < 2; ++k) {
    Run(series[k][0], kinds[k], kStoredReplyUtf8, options.warmup, false);
    Run(series[k][1], kinds[k], kStoredReplyUtf8, options.warmup, false);
  }
  const long warm_failures = series[0][0].failures + series[1][0].failures;
  const long warm_failures_node = series[0][1].failures + series[1][1].failures;
  const ProcessFigures agent_warm = ReadProcess(agent.child.pid());
  const LogSize log_before = AgentLogSize(root.path());

  // Blocks in the order A B B A A B ... for each kind: neither server
  // always follows the other.
  int done = 0;
  for (int b = 0; done < options.requests; ++b) {
    const int count = std::min(options.block, options.requests - done);
    for (int k = 0; k < 2; ++k) {
      const int first = b % 2;
      Run(series[k][first], kinds[k], kStoredReplyUtf8, count, true);
      Run(series[k][1 - first], kinds[k], kStoredReplyUtf8, count, true);
    }
    done += count;
    Progress("requests of each", done, options.requests, options.block * 5);
    if (!agent.child.Running()) {
      std::fprintf(stderr, "ajax_bench: the agent ended during the requests (%s)\n",
                   agent.child.ending().c_str());
      break;
    }
  }
  const LogSize log_after = AgentLogSize(root.path());
  const ProcessFigures agent_end = ReadProcess(agent.child.pid());
  const ProcessFigures node_end = ReadProcess(node.pid());
  Text("load average after the requests", LoadAverage());
  Text("failed warm-up requests, agent / node",
       std::to_string(warm_failures) + " / " + std::to_string(warm_failures_node) +
           "  (expected 0 / 0)");
  for (int k = 0; k < 2; ++k) {
    PrintSeries(series[k][0]);
    PrintSeries(series[k][1]);
  }
  for (int k = 0; k < 2; ++k) Compare(kind_names[k], series[k][0], series[k][1]);

  Heading("3. The agent after the requests");
  const double agent_requests = static_cast<double>(
      series[0][0].timed + series[0][0].failures + series[1][0].timed + series[1][0].failures -
      warm_failures);
  if (agent_requests > 0) {
    Fine("agent log lines per request",
         static_cast<double>(log_after.lines - log_before.lines) / agent_requests, "",
         "each line opens, appends to and closes the file");
    Fine("agent log bytes per request",
         static_cast<double>(log_after.bytes - log_before.bytes) / agent_requests, "bytes");
  }
  Count("temp files (\"New*\") left in the working directory", TempFilesLeft(root.path()), "",
        "expected 0");
  Count("resident memory (VmRSS), after warm-up", agent_warm.rss_kb, "kB");
  Count("resident memory (VmRSS), after the requests", agent_end.rss_kb, "kB");
  Count("resident memory, requests minus warm-up", agent_end.rss_kb - agent_warm.rss_kb, "kB",
        "expected about 0");
  Text("threads, after warm-up -> after the requests",
       std::to_string(agent_warm.threads) + " -> " + std::to_string(agent_end.threads) +
           "  (expected the same)");
  Text("descriptors, after warm-up -> after the requests",
       std::to_string(agent_warm.fds) + " -> " + std::to_string(agent_end.fds) +
           "  (expected the same)");
  Count("node: VmRSS after the requests", node_end.rss_kb, "kB", "for comparison");

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
