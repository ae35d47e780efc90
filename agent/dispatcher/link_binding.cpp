#include "dispatcher/link_binding.h"

#include <string>

#include "common/agent_log.h"
#include "common/agent_texts.h"
#include "platform/message_box.h"

namespace agent {
namespace {

constexpr const char* kLinkLibrary = "Telquin.dll";
constexpr const char* kPrintLibrary = "OrvaPrintV105.dll";

// The box and the log say the same words, except where the entry's name in
// the box has always been shorter than the entry looked up.
bool Fail(const std::string& box_text, const std::string& log_text) {
  platform::ShowMessageBox(texts::Wide(box_text));
  WriteAgentLog(0, "DLL_LOGIC", texts::Ansi(log_text).c_str());
  return false;
}

bool LoadFailed(const char* file) {
  const std::string text = std::string(file) + std::string(texts::kLoadFailed);
  return Fail(text, text);
}

bool EntryMissing(const std::string& box_name, const std::string& log_name) {
  return Fail(box_name + std::string(texts::kEntryNotFound),
              log_name + std::string(texts::kEntryNotFound));
}

template <typename Fn>
bool Resolve(const platform::Module& module, const char* entry, Fn* out) {
  *out = reinterpret_cast<Fn>(module.Find(entry));
  return *out != nullptr;
}

}  // namespace

bool BindLinkLibraries(LinkBinding& b) {
  platform::SystemError error;
  b.link_module = platform::Module::Load(kLinkLibrary, &error);
  if (!b.link_module) return LoadFailed(kLinkLibrary);
  // Whatever fails after the link library loaded releases it again.
  auto release_and_report = [&b](const char* box_name, const char* log_name) {
    b.link_module.reset();
    b.print_module.reset();
    return EntryMissing(box_name, log_name);
  };
  if (!Resolve(*b.link_module, "ReqToCat_WS", &b.ReqToCat_WS)) {
    return release_and_report("ReqToCat", "ReqToCat_WS");
  }
  if (!Resolve(*b.link_module, "ReqStop", &b.ReqStop)) {
    return release_and_report("ReqStop", "ReqStop");
  }
  if (!Resolve(*b.link_module, "SetBmpFile", &b.SetBmpFile)) {
    return release_and_report("SetBmpFile", "SetBmpFile");
  }
  b.print_module = platform::Module::Load(kPrintLibrary, &error);
  if (!b.print_module) {
    b.link_module.reset();
    return LoadFailed(kPrintLibrary);
  }
  if (!Resolve(*b.print_module, "Orva_Print", &b.Orva_Print)) {
    return release_and_report("Orva_Print", "Orva_Print");
  }
  return true;
}

}  // namespace agent
