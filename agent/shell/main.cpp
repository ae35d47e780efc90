// OVTelquin, the agent: serves the browser and drives the terminal through
// the link library. With a desktop it lives as a tray icon; without one, or
// with --headless, it runs in the foreground of its console. Either way it
// runs until it is asked to stop.
#include <cstdio>
#include <memory>
#include <string_view>

#include "platform/termination.h"
#include "platform/text.h"
#include "shell/app.h"
#include "shell/version.h"
#include "ui/face.h"

int main(int argc, char** argv) {
  agent::FillAgentVersions();
  if (argc > 1 && std::string_view(argv[1]) == "--version") {
    const std::string text =
        platform::Utf16ToUtf8(agent::AgentVersionDisplay(agent::g_mainWindowVersion));
    std::printf("OVTelquin %s\n", text.c_str());
    return agent::kExitClean;
  }

  // Before any thread exists: the requests are taken over for the threads
  // started later as well.
  platform::SystemError error;
  const std::unique_ptr<platform::TerminationRequests> requests =
      platform::TerminationRequests::Install(&error);
  if (requests == nullptr) {
    std::fprintf(stderr, "OVTelquin: cannot take over stop requests: %s\n", error.text.c_str());
    return agent::kExitStartFailed;
  }
  // After the requests: a toolkit starts threads of its own.
  const std::unique_ptr<agent::ui::Face> face = agent::ui::CreateFace(argc, argv);
  agent::COVTelquinApp app(*requests, *face);
  return app.InitInstance();
}
