// bench_agent.h: what the benchmarks that run the agent program (beside a
// Node.js reference server, or against the terminal simulator) share: the
// child processes, a free pair of ports, the agent's start in a data root
// with its settings, the reference server's start, the figures /proc gives
// about a process, the client's end of a loopback connection and a
// browser's POST over it.
//
// Linux only (/proc, pidfd, prctl), as are the benchmarks. Every function
// that prints does so on stderr with the bench's name first, so that the
// figures on stdout stay as bench_report.h lays them out.
#ifndef OVT_BENCH_BENCH_AGENT_H
#define OVT_BENCH_BENCH_AGENT_H

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

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

extern char** environ;

namespace bench {

constexpr int kAbsentCom = 99;  // no such port in the data root: the probe fails at once
constexpr int kBaud = 115200;

constexpr auto kStartTimeout = std::chrono::seconds(20);
constexpr auto kStopTimeout = std::chrono::seconds(5);
// The agent's ports are looked for in /proc/net/tcp this often.
constexpr auto kReadyPoll = std::chrono::milliseconds(10);
// Every receive and send on a Connection gives up after this long, so a
// server that stops answering costs seconds, not the run.
constexpr int kIoTimeoutMs = 5000;
// A server that fails this many exchanges in a row is not measured further.
constexpr int kMaxFailuresInARow = 5;

// ---------------------------------------------------------------- messages

// The request both benches send: LAST, which hands back the stored reply
// without touching the terminal.
constexpr std::string_view kLastRequest = "0016VEVU00000004LAST";

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

// ---------------------------------------------------------------- text

inline std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// Printable ASCII as it is, everything else as \xNN.
inline std::string Visible(std::string_view bytes) {
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

inline std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Calls visit(name, value) for each "Name: value" line of the response
// head `head` from offset `from` on, with the name in lower case and the
// value without the blanks before it, until the empty line or until visit
// returns false. Lines without a colon are passed over. False when visit
// stopped the walk.
template <class Visit>
bool ForEachHeaderLine(std::string_view head, size_t from, Visit visit) {
  size_t at = from;
  while (at < head.size()) {
    const size_t end = head.find("\r\n", at);
    if (end == std::string_view::npos || end == at) break;
    const std::string_view line = head.substr(at, end - at);
    at = end + 2;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    if (!visit(Lower(line.substr(0, colon)), value)) return false;
  }
  return true;
}

inline void SleepFor(std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); }

// ---------------------------------------------------------------- programs

// The full path of a program named without a slash, as execvp would find it.
inline std::string FindOnPath(const std::string& program) {
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
inline std::string FirstLineOfCommand(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  char line[256] = {};
  if (std::fgets(line, sizeof line, pipe) == nullptr) line[0] = '\0';
  pclose(pipe);
  std::string text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// Whether the program `path` exists; when it does not, says so on stderr
// with `what` ("the agent") as the thing to build.
inline bool ProgramPresent(const char* bench, const std::string& path, const char* what) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return true;
  std::fprintf(stderr, "%s: %s is missing; build %s first\n", bench, path.c_str(), what);
  return false;
}

// stdout by lines and no SIGPIPE from a peer that has closed: how every
// bench that talks to the agent over sockets starts.
inline void PrepareOutput() {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGPIPE, SIG_IGN);
}

// The start of a run: stdout by lines, no SIGPIPE from a peer that has
// closed, the header with the agent program, the reference server and
// Node.js. Checks that the agent program exists and Node.js is found; on
// success *node holds Node.js's full path, on failure the reason is on
// stderr.
inline bool BeginRun(const char* bench, int argc, char** argv, const std::string& agent,
                     const char* script, std::string* node) {
  PrepareOutput();
  MachineHeader(bench, argc, argv);
  const std::string node_path = FindOnPath(*node);
  Text("agent program", agent);
  Text("reference server", script);
  Text("Node.js", node_path.empty()
                     ? *node + " (not found)"
                     : node_path + " " + FirstLineOfCommand(node_path + " --version"));
  if (!ProgramPresent(bench, agent, "the agent")) return false;
  if (node_path.empty()) {
    std::fprintf(stderr, "%s: %s not found\n", bench, node->c_str());
    return false;
  }
  *node = node_path;
  return true;
}

// ---------------------------------------------------------------- ports

// Two neighbouring ports that nothing is bound to on `address` (in host
// order: INADDR_ANY or INADDR_LOOPBACK, as the agent's front end binds
// them). Another program may take them before the agent does; the agent
// then does not serve and the bench says so.
inline int FreePortPair(in_addr_t address) {
  const auto bound = [address](int fd, int port) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(address);
    where.sin_port = htons(static_cast<uint16_t>(port));
    return bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
  };
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return -1;
    int port = -1;
    sockaddr_in taken{};
    socklen_t length = sizeof taken;
    if (bound(probe, 0) && getsockname(probe, reinterpret_cast<sockaddr*>(&taken), &length) == 0)
      port = ntohs(taken.sin_port);
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

// Whether something listens on `port` (any IPv4 address), from /proc/net/tcp.
inline bool Listening(int port) {
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

// All fields stay at their defaults (alive false) for a process that has
// ended, a zombie included.
inline ProcessFigures ReadProcess(pid_t pid) {
  namespace fs = std::filesystem;
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
    f.cpu_ms =
        static_cast<double>(utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
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

// A server's time on a CPU, summed over the blocks it was measured in.
struct ServerTime {
  double cpu_ms = 0;       // utime + stime, clock ticks
  double run_ns = 0;       // its threads' schedstat, finer than the ticks
  bool run_known = true;   // false once a sample lacked the schedstat figure

  // Adds what the server spent between two samples of it.
  void Add(const ProcessFigures& before, const ProcessFigures& after) {
    cpu_ms += after.cpu_ms - before.cpu_ms;
    run_ns += after.run_ns - before.run_ns;
    run_known = run_known && before.run_ns_known && after.run_ns_known;
  }
};

// ---------------------------------------------------------------- children

// A server under test as a child process. It gets SIGTERM should the bench
// die first, and Stop() ends and reaps it (SIGKILL when SIGTERM does not
// end it within kStopTimeout).
class Child {
 public:
  // Starts `argv[0]` with `argv` in `directory`; stderr (and stdout unless
  // `pipe_stdout`) go to `output_file`. With `pipe_stdout` the child's
  // stdout is read through ReadLine; with `pipe_stdin` its stdin is a pipe
  // that stays open until Stop().
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

  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
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

// ---------------------------------------------------------------- the agent

// How a bench runs the agent: the front end its settings pick and what the
// messages say when the agent does not come up.
struct AgentLaunch {
  const char* bench = "";       // the bench's name, first in its messages
  std::string program;          // the agent program
  int web_mode = 0;             // WebMode of the [HTTP] section
  const char* port_key = "";    // the [HTTP] key that names the first port
  in_addr_t address = 0;        // where the front end binds, for FreePortPair
  std::string_view stored_reply;  // written to orvaResult.txt; none when empty
  const char* serve = "listen";   // the verb of the message when the ports stay shut
  // Added to that message together with the agent's output; without it
  // the message ends there.
  const char* shut_hint = nullptr;
  // CatComPort: the terminal the agent checks at start-up and pays on.
  int com = kAbsentCom;
  // Given to the agent after its name; headless unless a bench wants its
  // desktop face.
  std::vector<std::string> arguments = {"--headless"};
};

struct Agent {
  Child child;
  int port = 0;
  double ready_ms = 0;
};

// Names the data root in the report, writes the agent's settings into it
// (the terminal port, absent unless `how.com` names one; the front end on a
// free pair of ports), starts
// the agent with `root` as its working directory and waits until both
// ports listen. Readiness is looked for in /proc/net/tcp, so no connection
// is made: one to the second port would reach the agent's stop or dispatch
// path.
inline bool StartAgent(const AgentLaunch& how, const ovt_test::TempRoot& root, Agent* agent) {
  Text("data root and the agent's working directory", root.path());
  agent->port = FreePortPair(how.address);
  if (agent->port < 0) {
    std::fprintf(stderr, "%s: no free pair of ports\n", how.bench);
    return false;
  }
  std::filesystem::create_directories(root.path() + "/OVVarsel");
  ovt_test::WriteFile(root.path() + "/OVVarsel/OVVARSEL.ini",
                      "[CAT]\r\nCatComPort=" + std::to_string(how.com) + "\r\nCatComBaud=" +
                          std::to_string(kBaud) + "\r\n[HTTP]\r\nWebMode=" +
                          std::to_string(how.web_mode) + "\r\n" + how.port_key + "=" +
                          std::to_string(agent->port) + "\r\n");
  if (!how.stored_reply.empty())
    ovt_test::WriteFile(root.path() + "/orvaResult.txt", std::string(how.stored_reply));

  const auto begun = Clock::now();
  std::vector<std::string> argv = {how.program};
  argv.insert(argv.end(), how.arguments.begin(), how.arguments.end());
  if (!agent->child.Start(argv, root.path(), root.path() + "/agent.out", false, false)) {
    std::fprintf(stderr, "%s: cannot start %s: %s\n", how.bench, how.program.c_str(),
                 agent->child.error().c_str());
    return false;
  }
  while (Clock::now() - begun < kStartTimeout) {
    if (!agent->child.Running()) {
      std::fprintf(stderr, "%s: the agent ended during start-up (%s); its output:\n%s", how.bench,
                   agent->child.ending().c_str(), agent->child.Output().c_str());
      return false;
    }
    if (Listening(agent->port) && Listening(agent->port + 1)) {
      agent->ready_ms = MsBetween(begun, Clock::now());
      return true;
    }
    SleepFor(std::chrono::duration_cast<std::chrono::milliseconds>(kReadyPoll));
  }
  std::fprintf(stderr, "%s: the agent did not %s on %d and %d within %lld s", how.bench, how.serve,
               agent->port, agent->port + 1, static_cast<long long>(kStartTimeout.count()));
  if (how.shut_hint != nullptr) {
    std::fprintf(stderr, "%s; its output:\n%s", how.shut_hint, agent->child.Output().c_str());
  } else {
    std::fputs("\n", stderr);
  }
  return false;
}

// Starts the Node.js reference server `script` on a port of its choosing,
// answering `request` with `reply`, and reads that port from its
// "LISTENING <port>" line. `hint` follows the failure message (may be "").
inline bool StartReferenceServer(const char* bench, const std::string& node, const char* script,
                                 std::string_view request, std::string_view reply,
                                 const ovt_test::TempRoot& root, const char* hint, Child* server,
                                 int* port) {
  if (!server->Start({node, script, "--port", "0", "--request", std::string(request),
                      "--reply-hex", Hex(reply)},
                     root.path(), root.path() + "/node.err", true, true)) {
    std::fprintf(stderr, "%s: cannot start %s: %s\n", bench, node.c_str(),
                 server->error().c_str());
    return false;
  }
  const std::string line =
      server->ReadLine(std::chrono::duration_cast<std::chrono::milliseconds>(kStartTimeout));
  static constexpr std::string_view kListening = "LISTENING ";
  if (line.rfind(kListening, 0) != 0) {
    server->Stop();
    std::fprintf(stderr, "%s: the Node.js server did not start%s; its output:\n%s", bench, hint,
                 server->Output().c_str());
    return false;
  }
  *port = std::atoi(line.c_str() + kListening.size());
  return *port > 0;
}

// Files of the agent's working directory whose name begins with "New": the
// temp files its POST responses are staged in, which it deletes.
inline long TempFilesLeft(const std::string& root) {
  long count = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(root, ec))
    if (entry.path().filename().string().rfind("New", 0) == 0) ++count;
  return count;
}

// The agent and a reference server side by side after `events` (say
// "cycles"): the agent's growth since the warm-up, and Node's memory for
// comparison.
inline void GrowthReport(const std::string& events, const ProcessFigures& agent_warm,
                         const ProcessFigures& agent_end, const ProcessFigures& node_end) {
  const std::string after = "after the " + events;
  Count("resident memory (VmRSS), after warm-up", agent_warm.rss_kb, "kB");
  Count(("resident memory (VmRSS), " + after).c_str(), agent_end.rss_kb, "kB");
  Count(("resident memory, " + events + " minus warm-up").c_str(),
        agent_end.rss_kb - agent_warm.rss_kb, "kB", "expected about 0");
  Text(("threads, after warm-up -> " + after).c_str(),
       std::to_string(agent_warm.threads) + " -> " + std::to_string(agent_end.threads) +
           "  (expected the same)");
  Text(("descriptors, after warm-up -> " + after).c_str(),
       std::to_string(agent_warm.fds) + " -> " + std::to_string(agent_end.fds) +
           "  (expected the same)");
  Count(("node: VmRSS " + after).c_str(), node_end.rss_kb, "kB", "for comparison");
}

// How a stopped agent ended and the size of its output; `output_note`
// says what the output is expected to hold.
inline void AgentEndReport(Agent& agent, const std::string& output_note) {
  const std::string agent_output = agent.child.Output();
  Text("agent ended by SIGTERM", agent.child.ending().empty() ? "unknown" : agent.child.ending());
  Count("agent stdout and stderr", static_cast<long>(agent_output.size()), "bytes", output_note);
}

// Ends both servers and prints the run's last block: how the agent ended,
// its output's size, the run's time from `begun`.
inline void EndRun(Child& node, Agent& agent, Clock::time_point begun) {
  node.Stop();
  agent.child.Stop();
  Heading("Run");
  AgentEndReport(agent, "the failed terminal probe is reported there");
  Figure("total run time", MsBetween(begun, Clock::now()) / 1000.0, "s");
  Text("load average at the end", LoadAverage());
}

// ---------------------------------------------------------------- a connection

// The size of a complete head (through its empty line), or 0.
inline size_t HeadSize(std::string_view bytes) {
  const size_t end = bytes.find("\r\n\r\n");
  return end == std::string_view::npos ? 0 : end + 4;
}

// The client's end of one loopback connection, as a browser opens it, with
// kIoTimeoutMs on every receive and send. Received bytes wait in a pending
// buffer until they are taken.
class Connection {
 public:
  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() { Close(); }

  // Connects to 127.0.0.1:`port`; every receive and send then gives up
  // after `timeout_ms`.
  bool Open(int port, std::string* error, int timeout_ms = kIoTimeoutMs) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return Failed("socket", error);
    // A browser sends what it has at once, without Nagle's delay.
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
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

  // Sends without looking at the result: the server may have closed its
  // end already.
  void SendAndForget(std::string_view bytes) {
    (void)!send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }

  // Tells the server that nothing more will come (FIN), keeping the
  // receiving side open.
  void ShutdownSending() {
    if (fd_ >= 0) shutdown(fd_, SHUT_WR);
  }

  // Reads until the server closes its end, or resets it (as a server that
  // has closed does when more bytes reach it); what arrives before stays
  // pending. False when a receive fails otherwise or times out first.
  bool WaitForClose(std::string* error) {
    for (;;) {
      char chunk[4096];
      const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got == 0 || (got < 0 && errno == ECONNRESET)) return true;
      if (got < 0) return Failed("recv until the server closes", error);
      pending_.append(chunk, static_cast<size_t>(got));
    }
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

  // Receives until `complete(pending)` returns a size other than 0 (the
  // bytes it consumed); those bytes are handed back, the rest is kept
  // for the next read.
  template <class Complete>
  bool Receive(Complete complete, std::string* taken, std::string* error, const char* what) {
    for (;;) {
      const size_t used = complete(std::string_view(pending_));
      if (used > 0) {
        *taken = Take(used);
        return true;
      }
      if (!ReceiveAtLeast(pending_.size() + 1, error, what)) return false;
    }
  }

  std::string Take(size_t size) {
    std::string taken = pending_.substr(0, size);
    pending_.erase(0, size);
    return taken;
  }

  std::string_view pending() const { return pending_; }
  bool Idle() const { return pending_.empty(); }

  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    pending_.clear();
  }

  // Ends the connection with a reset instead of an orderly close, as a
  // browser does when its tab is closed: a zero linger time makes close()
  // send RST and drop whatever is unsent or unread.
  void Reset() {
    if (fd_ >= 0) {
      const linger abort{1, 0};
      setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    Close();
  }

 private:
  bool Failed(const std::string& what, std::string* error) {
    *error = what + ": " + std::strerror(errno);
    return false;
  }

  int fd_ = -1;
  std::string pending_;
};

// ---------------------------------------------------------------- a POST

// A browser's cross-origin POST of a string body, in the order and with the
// lines a current browser sends. %d is the port, %zu the body's length.
constexpr const char* kPostHeadFormat =
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

// The largest response head accepted; anything longer is a failure.
constexpr size_t kMaxHeadBytes = 16384;

// The whole POST, head and body, that a page's fetch makes to
// 127.0.0.1:`port` with `body` as a text/plain body.
inline std::string PostRequest(int port, std::string_view body) {
  char head[2048];
  std::snprintf(head, sizeof head, kPostHeadFormat, port, body.size());
  return head + std::string(body);
}

// The response head through its empty line, taken from the pending bytes.
inline bool ReceiveHead(Connection& c, std::string* head, std::string* error) {
  for (;;) {
    const size_t size = HeadSize(c.pending());
    if (size > 0) {
      *head = c.Take(size);
      return true;
    }
    if (c.pending().size() > kMaxHeadBytes) {
      *error = "response head longer than " + std::to_string(kMaxHeadBytes) + " bytes";
      return false;
    }
    if (!c.ReceiveAtLeast(c.pending().size() + 1, error, "the response head")) return false;
  }
}

// The response head a page can read across origins: 200 OK, the CORS
// header, a Content-Length (returned in *length), no Content-Type, no
// chunked body, and for a kept connection no "Connection: close".
inline bool CheckHead(std::string_view head, bool keep_alive, size_t* length,
                      std::string* error) {
  static constexpr std::string_view kStatus = "HTTP/1.1 200 OK\r\n";
  if (head.substr(0, kStatus.size()) != kStatus) {
    *error = "status line \"" + Visible(head.substr(0, head.find("\r\n"))) + "\"";
    return false;
  }
  bool cors = false, has_length = false;
  const bool whole = ForEachHeaderLine(head, kStatus.size(), [&](const std::string& name,
                                                                 std::string_view value) {
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
    return true;
  });
  if (!whole) return false;
  if (cors && has_length) return true;
  *error = std::string("head lacks ") +
           (!cors ? "Access-Control-Allow-Origin: *" : "a usable Content-Length") + ": \"" +
           Visible(head) + "\"";
  return false;
}

// The response to a POST sent on `c`: its head, checked (CheckHead), and
// then its body of Content-Length bytes in *body. Bytes after the body stay
// pending.
inline bool ReceivePostResponse(Connection& c, bool keep_alive, std::string* body,
                                std::string* error) {
  std::string head;
  if (!ReceiveHead(c, &head, error)) return false;
  size_t length = 0;
  if (!CheckHead(head, keep_alive, &length, error)) return false;
  if (!c.ReceiveAtLeast(length, error, "the response body")) return false;
  *body = c.Take(length);
  return true;
}

}  // namespace bench

#endif  // OVT_BENCH_BENCH_AGENT_H
