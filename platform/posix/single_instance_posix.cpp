// POSIX backend of platform/single_instance.h: the cross-process lock of
// platform/process.h under the application's name. Its descriptor is
// close-on-exec and started processes get none of the caller's
// descriptors, so a new agent started by a restart can take the claim as
// soon as the old process has ended.
#include "platform/message_box.h"
#include "platform/process.h"
#include "platform/single_instance.h"

namespace platform {

struct SingleInstance::Native {
  std::unique_ptr<ProcessLock> lock;
};

std::unique_ptr<SingleInstance> SingleInstance::Claim(Outcome* outcome, SystemError* error) {
  Outcome ignored;
  if (outcome == nullptr) outcome = &ignored;
  ProcessLock::Opened opened = ProcessLock::Opened::kCreated;
  std::unique_ptr<ProcessLock> lock = ProcessLock::Open(ApplicationName(), /*take=*/true, &opened,
                                                        error);
  if (lock == nullptr) {
    *outcome = Outcome::kUnknown;
    return nullptr;
  }
  if (opened != ProcessLock::Opened::kCreated) {
    *outcome = Outcome::kAlreadyRunning;
    return nullptr;
  }
  *outcome = Outcome::kFirst;
  auto native = std::make_unique<Native>();
  native->lock = std::move(lock);
  return std::unique_ptr<SingleInstance>(new SingleInstance(std::move(native)));
}

SingleInstance::SingleInstance(std::unique_ptr<Native> native) : native_(std::move(native)) {}

SingleInstance::~SingleInstance() = default;

}  // namespace platform
