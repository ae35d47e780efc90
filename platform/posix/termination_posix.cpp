// POSIX backend of platform/termination.h: the two signals are blocked and
// read from a signalfd; Cancel writes an eventfd that stays readable.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/termination.h"

namespace platform {
namespace {

SystemError ErrnoError(const char* what, int code) {
  return SystemError{code, std::string(what) + ": " + std::strerror(code)};
}

sigset_t RequestSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

}  // namespace

struct TerminationRequests::Native {
  int signal_fd = -1;
  int cancel_fd = -1;
};

std::unique_ptr<TerminationRequests> TerminationRequests::Install(SystemError* error) {
  SystemError ignored;
  if (error == nullptr) error = &ignored;
  const sigset_t signals = RequestSignals();
  const int blocked = pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  if (blocked != 0) {
    *error = ErrnoError("pthread_sigmask", blocked);
    return nullptr;
  }
  auto native = std::make_unique<Native>();
  native->signal_fd = signalfd(-1, &signals, SFD_CLOEXEC);
  if (native->signal_fd < 0) {
    *error = ErrnoError("signalfd", errno);
    return nullptr;
  }
  native->cancel_fd = eventfd(0, EFD_CLOEXEC);
  if (native->cancel_fd < 0) {
    *error = ErrnoError("eventfd", errno);
    close(native->signal_fd);
    return nullptr;
  }
  return std::unique_ptr<TerminationRequests>(new TerminationRequests(std::move(native)));
}

TerminationRequests::TerminationRequests(std::unique_ptr<Native> native)
    : native_(std::move(native)) {}

TerminationRequests::~TerminationRequests() {
  close(native_->signal_fd);
  close(native_->cancel_fd);
}

bool TerminationRequests::Wait() {
  for (;;) {
    pollfd fds[2] = {{native_->cancel_fd, POLLIN, 0}, {native_->signal_fd, POLLIN, 0}};
    const int n = poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    // A wait the system refuses cannot tell a request: it ends like one,
    // rather than leave the program without a way to end.
    if (n < 0) return true;
    // The cancel stays readable (never consumed), so every later wait
    // returns at once too.
    if (fds[0].revents != 0) return false;
    if (fds[1].revents == 0) continue;
    signalfd_siginfo info;
    const ssize_t got = read(native_->signal_fd, &info, sizeof info);
    if (got == static_cast<ssize_t>(sizeof info)) return true;
    // EINTR or EAGAIN (taken by another reader): wait again.
  }
}

void TerminationRequests::Cancel() {
  const uint64_t one = 1;
  (void)!write(native_->cancel_fd, &one, sizeof one);
}

}  // namespace platform
