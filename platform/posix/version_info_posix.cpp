// POSIX backend of platform/version_info.h: no version resource exists.
#include "platform/version_info.h"

namespace platform {

VersionTexts ReadOwnVersionTexts(const VersionTexts& built_in) { return built_in; }

}  // namespace platform
