// The program that process_test.cpp starts. The first argument says what
// it does:
//
//   argv <file> ...         writes its arguments (argv[0] included), each
//                           followed by a NUL byte, to <file>
//   fds <file>              writes the numbers of its open descriptors
//                           above 2, one a line, to <file>
//   cmdline <file> ...      writes OwnCommandLine(), OwnExecutablePath()
//                           and ApplicationName(), one a line, to <file>
//   hold-lock <name>        opens the ProcessLock <name> taking it, prints
//                           created, existed, denied or "error <text>",
//                           then holds it until its standard input ends
//   hold-flock <file>       takes an flock on <file>, prints "locked", holds
//                           it until its standard input ends
//   box <text>              shows <text> (UTF-8) with ShowMessageBox
//   terminate               ends through TerminateCurrentProcess, with an
//                           exit handler, a static object's destructor and
//                           a running thread that would each say so on
//                           standard error
//   pause                   waits for a signal
//
// Exit status 0 when it did its part, 2 for a usage or file error.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "platform/message_box.h"
#include "platform/process.h"
#include "platform/text.h"

namespace {

bool WriteFile(const char* path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out.flush());
}

// Blocks until the parent closes our standard input.
void WaitForEndOfInput() {
  char c;
  while (read(STDIN_FILENO, &c, 1) > 0) {
  }
}

std::string OpenDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return "no /proc/self/fd\n";
  std::string list;
  while (const dirent* entry = readdir(dir)) {
    const int fd = std::atoi(entry->d_name);
    if (entry->d_name[0] == '.' || fd <= 2 || fd == dirfd(dir)) continue;
    list += std::to_string(fd) + "\n";
  }
  closedir(dir);
  return list;
}

// Writes straight to standard error, past any buffer.
void Say(const char* text) {
  if (write(STDERR_FILENO, text, std::strlen(text)) < 0) std::abort();
}

struct Announce {
  explicit Announce(const char* text) : text(text) {}
  ~Announce() { Say(text); }
  const char* text;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string mode = argv[1];
  if (mode == "argv" && argc >= 3) {
    std::string content;
    for (int i = 0; i < argc; ++i) content += std::string(argv[i]) + '\0';
    return WriteFile(argv[2], content) ? 0 : 2;
  }
  if (mode == "fds" && argc >= 3) return WriteFile(argv[2], OpenDescriptors()) ? 0 : 2;
  if (mode == "cmdline" && argc >= 3) {
    return WriteFile(argv[2], platform::OwnCommandLine() + "\n" + platform::OwnExecutablePath() +
                                  "\n" + platform::ApplicationName() + "\n")
               ? 0
               : 2;
  }
  if (mode == "hold-lock" && argc >= 3) {
    platform::ProcessLock::Opened opened{};
    platform::SystemError error;
    auto lock = platform::ProcessLock::Open(argv[2], true, &opened, &error);
    if (!lock) {
      std::printf("error %s\n", error.text.c_str());
    } else {
      std::printf("%s\n", opened == platform::ProcessLock::Opened::kCreated   ? "created"
                          : opened == platform::ProcessLock::Opened::kExisted ? "existed"
                                                                              : "denied");
    }
    std::fflush(stdout);
    WaitForEndOfInput();
    return 0;
  }
  if (mode == "hold-flock" && argc >= 3) {
    const int fd = open(argv[2], O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) return 2;
    std::printf("locked\n");
    std::fflush(stdout);
    WaitForEndOfInput();
    return 0;
  }
  if (mode == "box" && argc >= 3) {
    platform::ShowMessageBox(platform::Utf8ToUtf16(argv[2]));
    return 0;
  }
  if (mode == "terminate") {
    // None of these may run: the process ends where it stands.
    static Announce destructor("destructor ran\n");
    std::atexit([] { Say("exit handler ran\n"); });
    // Longer than a sanitizer runtime lingers in _exit for other threads.
    std::thread busy([] {
      std::this_thread::sleep_for(std::chrono::seconds(3));
      Say("thread ran on\n");
    });
    busy.detach();
    platform::TerminateCurrentProcess();
    Say("TerminateCurrentProcess returned\n");
    return 0;
  }
  if (mode == "pause") {
    pause();
    return 0;
  }
  return 2;
}
