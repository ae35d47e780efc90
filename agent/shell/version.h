// The agent's version texts: the product version and the file version of
// its own executable.
#pragma once

#include <string>

namespace agent {

struct AgentVersion {
  std::u16string productVersion;
  std::u16string fileVersion;
};

// The two process-wide records, one for the main window and one for the
// settings dialog. Both are filled by FillAgentVersions at program start,
// before anything else runs, and only read afterwards.
extern AgentVersion g_mainWindowVersion;
extern AgentVersion g_settingsVersion;

void FillAgentVersions();

// The texts of the executable's version resource; where executables carry
// none, the texts this program was built with. A text that cannot be read
// stays empty.
AgentVersion ReadAgentVersion();

// productVersion + " (" + fileVersion + ")".
std::u16string AgentVersionDisplay(const AgentVersion& version);

// Logs 0 / "FILE DATE" / the file version, then 0 / "FILE VERSION" / the
// product version, each converted whole to code page 949.
void LogAgentVersion(const AgentVersion& version);

}  // namespace agent
