#include "shell/version.h"

#include "common/agent_log.h"
#include "platform/text.h"
#include "platform/version_info.h"
#include "shell/build_version.h"

namespace agent {

AgentVersion g_mainWindowVersion;
AgentVersion g_settingsVersion;

void FillAgentVersions() {
  g_mainWindowVersion = ReadAgentVersion();
  g_settingsVersion = ReadAgentVersion();
}

AgentVersion ReadAgentVersion() {
  const platform::VersionTexts built_in{kBuildProductVersion, kBuildFileVersion};
  const platform::VersionTexts texts = platform::ReadOwnVersionTexts(built_in);
  return AgentVersion{texts.product_version, texts.file_version};
}

std::u16string AgentVersionDisplay(const AgentVersion& version) {
  return version.productVersion + u" (" + version.fileVersion + u")";
}

void LogAgentVersion(const AgentVersion& version) {
  const std::string file_version = platform::Utf16ToCp949(version.fileVersion);
  const std::string product_version = platform::Utf16ToCp949(version.productVersion);
  WriteAgentLog(0, "FILE DATE", file_version.c_str());
  WriteAgentLog(0, "FILE VERSION", product_version.c_str());
}

}  // namespace agent
