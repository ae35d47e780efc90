// POSIX backend of platform/process.h.
//
// Command lines are kept in the Windows form, one text, because that is
// what the callers build and test ("--Restart" anywhere in it). They are
// split into arguments with the rules of CommandLineToArgvW and joined
// with the quoting those rules read back unchanged.
//
// The named lock is an flock on "$ROOT/<name>.lock": the system drops it
// when the holder's descriptor closes, which its process's end does, as it
// does a named mutex. The file itself stays; removing it while another
// process waits on it would let a third lock a new file beside the waiter.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/process.h"

extern char** environ;

namespace platform {
namespace {

SystemError ErrnoError(const std::string& what, int code) {
  return SystemError{code, what + ": " + std::strerror(code)};
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The program name ends at the next quote when it starts with one, else at
// the first blank; backslashes are plain characters in it (Windows paths
// are full of them, and a program name cannot hold a quote).
std::string QuoteProgram(const std::string& program) {
  if (!program.empty() && program.find_first_of(" \t") == std::string::npos) return program;
  return "\"" + program + "\"";
}

// Other arguments: quoted when empty or holding a blank; a quote in them is
// escaped with a backslash, and the backslashes right before a quote (or
// before the closing quote) are doubled, so that they stay backslashes.
std::string QuoteArgument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  const bool enclose = argument.empty() || argument.find_first_of(" \t") != std::string::npos;
  std::string quoted;
  if (enclose) quoted += '"';
  size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      quoted.append(backslashes * 2 + 1, '\\');
    } else {
      quoted.append(backslashes, '\\');
    }
    quoted += c;
    backslashes = 0;
  }
  quoted.append(enclose ? backslashes * 2 : backslashes, '\\');
  if (enclose) quoted += '"';
  return quoted;
}

// CommandLineToArgvW's reading: outside the program name, 2n backslashes
// and a quote give n backslashes and open or close a quoted part, 2n + 1
// backslashes and a quote give n backslashes and a literal quote, other
// backslashes are themselves; inside a quoted part "" is a literal quote.
std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> arguments;
  size_t at = 0;
  const size_t size = line.size();
  if (size > 0 && line[0] == '"') {
    const size_t close = line.find('"', 1);
    arguments.push_back(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    at = close == std::string::npos ? size : close + 1;
  } else {
    size_t end = 0;
    while (end < size && !IsBlank(line[end])) ++end;
    arguments.push_back(line.substr(0, end));
    at = end;
  }
  for (;;) {
    while (at < size && IsBlank(line[at])) ++at;
    if (at >= size) break;
    std::string argument;
    bool quoted = false;
    while (at < size) {
      const char c = line[at];
      if (c == '\\') {
        size_t count = 0;
        while (at + count < size && line[at + count] == '\\') ++count;
        if (at + count < size && line[at + count] == '"') {
          argument.append(count / 2, '\\');
          if (count % 2 == 1) {
            argument += '"';
            at += count + 1;
          } else {
            at += count;  // the quote opens or closes a part, next round
          }
        } else {
          argument.append(count, '\\');
          at += count;
        }
      } else if (c == '"') {
        if (quoted && at + 1 < size && line[at + 1] == '"') {
          argument += '"';
          at += 2;
        } else {
          quoted = !quoted;
          ++at;
        }
      } else if (!quoted && IsBlank(c)) {
        break;
      } else {
        argument += c;
        ++at;
      }
    }
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

bool ReadAll(const char* path, std::string* text) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[4096];
  bool ok = true;
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    text->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return ok;
}

// A mutex name may hold "\" (Windows' "Global\" prefix) and so "/" too;
// neither may stand in a file name.
std::string LockPath(const std::string& name) {
  std::string file = name;
  for (char& c : file) {
    if (c == '/' || c == '\\') c = '_';
  }
  return DataRoot() + "/" + file + ".lock";
}

int FlockRetrying(int fd, int operation) {
  int result;
  do {
    result = flock(fd, operation);
  } while (result != 0 && errno == EINTR);
  return result;
}

}  // namespace

std::string OwnExecutablePath() {
  std::string path(256, '\0');
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
    if (n < 0) return {};
    if (static_cast<size_t>(n) < path.size()) {
      path.resize(static_cast<size_t>(n));
      return path;
    }
    path.resize(path.size() * 2);  // perhaps cut: try again with more room
  }
}

std::string OwnCommandLine() {
  std::string raw;
  if (!ReadAll("/proc/self/cmdline", &raw)) return {};
  std::string line;
  size_t at = 0;
  for (bool first = true; at < raw.size(); first = false) {
    size_t end = raw.find('\0', at);
    if (end == std::string::npos) end = raw.size();
    const std::string argument = raw.substr(at, end - at);
    if (!first) line += ' ';
    line += first ? QuoteProgram(argument) : QuoteArgument(argument);
    at = end + 1;
  }
  return line;
}

// The new process gets only standard input, output and error of the
// caller's descriptors, whatever else the caller has open: Windows'
// "no inherited handles". Signal mask and dispositions start afresh.
bool StartProcess(const std::string& command_line, SystemError* error, long* process_id) {
  SystemError ignored;
  if (error == nullptr) error = &ignored;
  const std::vector<std::string> arguments = SplitCommandLine(command_line);
  if (arguments.empty() || arguments[0].empty()) {
    *error = SystemError{EINVAL, "StartProcess: no program in the command line"};
    return false;
  }
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  sigfillset(&signals);
  posix_spawnattr_setsigdefault(&attributes, &signals);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  // A program without a directory is looked up in PATH, as Windows looks
  // a bare name up in its search path.
  const bool bare = arguments[0].find('/') == std::string::npos;
  pid_t pid = 0;
  const int result = bare ? posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ)
                          : posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) {
    *error = ErrnoError("posix_spawn " + arguments[0], result);
    return false;
  }
  if (process_id != nullptr) *process_id = static_cast<long>(pid);
  return true;
}

int TerminationStatus() { return 3; }

void TerminateCurrentProcess() { _exit(TerminationStatus()); }

struct ProcessLock::Native {
  int fd = -1;
  bool owned = false;
};

std::unique_ptr<ProcessLock> ProcessLock::Open(const std::string& name, bool take, Opened* opened,
                                               SystemError* error) {
  SystemError ignored;
  if (error == nullptr) error = &ignored;
  Opened ignored_opened;
  if (opened == nullptr) opened = &ignored_opened;
  if (name.empty()) {
    *error = SystemError{EINVAL, "ProcessLock: empty name"};
    return nullptr;
  }
  // The root stands for a drive, which is always there on Windows.
  MakeDirectory(DataRoot());
  const std::string path = LockPath(name);
  int fd = open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
  // Another user's lock file may be read-only to this one: flock works on
  // a descriptor opened for reading just as well.
  if (fd < 0 && errno == EACCES) fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = ErrnoError("open " + path, errno);
    return nullptr;
  }
  auto native = std::make_unique<Native>();
  native->fd = fd;
  if (FlockRetrying(fd, LOCK_EX | LOCK_NB) == 0) {
    *opened = Opened::kCreated;
    if (take) {
      native->owned = true;
    } else {
      FlockRetrying(fd, LOCK_UN);
    }
  } else if (errno == EWOULDBLOCK) {
    *opened = Opened::kExisted;
  } else {
    *error = ErrnoError("flock " + path, errno);
    close(fd);
    return nullptr;
  }
  return std::unique_ptr<ProcessLock>(new ProcessLock(std::move(native)));
}

ProcessLock::ProcessLock(std::unique_ptr<Native> native) : native_(std::move(native)) {}

ProcessLock::~ProcessLock() {
  if (!native_ || native_->fd < 0) return;
  if (native_->owned) FlockRetrying(native_->fd, LOCK_UN);
  close(native_->fd);
}

// Holding the lock already, there is nothing to wait for; locking and
// unlocking the same descriptor again would give the lock away.
void ProcessLock::WaitUntilFree() {
  if (native_->owned) return;
  if (FlockRetrying(native_->fd, LOCK_EX) == 0) FlockRetrying(native_->fd, LOCK_UN);
}

}  // namespace platform
