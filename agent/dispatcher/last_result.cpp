#include "dispatcher/last_result.h"

#include <cstdio>
#include <mutex>
#include <optional>

#include "common/agent_log.h"
#include "common/agent_texts.h"
#include "platform/files.h"

namespace agent {

std::atomic<int> g_bResultSaved{0};

namespace {

constexpr const char* kLabel = "DLL_LOGIC";

// The reply this process stored last. Guarded together with the file, so
// two calls storing at once leave memory and file with the same reply.
std::mutex g_store_mutex;
std::optional<std::string> g_latest;

bool Storable(const Request& request, const std::string& reply) {
  if (reply.size() < 12 || std::string_view(reply).substr(8, 4) != "0000") return false;
  if (!request.IsVevu()) return false;
  return !request.HasCommand("STOP") && !request.HasCommand("RRUN") &&
         !request.HasCommand("LAST");
}

// The text LAST answers with: up to the first NUL and within the reply
// buffer, as a C string read from the file would be.
std::string AsStored(std::string_view text) {
  text = text.substr(0, std::min(text.find('\0'), kReplyBufferSize - 1));
  return std::string(text);
}

}  // namespace

void StoreLastResult(const Request& request, const std::string& reply) {
  g_bResultSaved = 0;
  if (!Storable(request, reply)) return;
  std::lock_guard<std::mutex> turn(g_store_mutex);
  g_latest = AsStored(reply);
  if (platform::ReplaceFileContents(kLastResultFile, reply.data(), reply.size())) {
    g_bResultSaved = 1;
    return;
  }
  // The reply lives on in memory for this process. The older reply in the
  // file must not outlive it: after a restart it would pass for the latest.
  WriteAgentLog(0, kLabel, "orvaResult.txt store Fail!");
  platform::RemoveFile(kLastResultFile);
  if (std::FILE* left = std::fopen(kLastResultFile, "rb")) {
    std::fclose(left);
    WriteAgentLog(0, kLabel, "orvaResult.txt remove Fail!");
  }
}

void BuildLastReply(Reply& reply) {
  WriteAgentLog(0, kLabel, "LASTDATA");
  {
    std::lock_guard<std::mutex> turn(g_store_mutex);
    if (g_latest) {
      WriteAgentLog(0, kLabel, "latest reply of this run");
      reply.Append(*g_latest);
      return;
    }
  }
  std::FILE* file = std::fopen(kLastResultFile, "rt");
  if (file == nullptr) {
    WriteAgentLog(0, kLabel, "fp==NULL");
    reply.Append("0044");
    reply.Append(kKind);
    reply.Append("0000");
    reply.Append("0032");
    reply.Append(texts::Ansi(texts::kNoResultFile));
    return;
  }
  WriteAgentLog(0, kLabel, "else fp!=NULL");
  // The whole stored reply, line feeds included (a terminal answer may hold
  // one), as far as the reply buffer reaches.
  char stored[kReplyBufferSize] = {};
  std::fread(stored, 1, sizeof stored - 1, file);
  std::fclose(file);
  reply.Append(stored);  // up to the first NUL, as a C string would
}

namespace testing {
void ForgetLatestReply() {
  std::lock_guard<std::mutex> turn(g_store_mutex);
  g_latest.reset();
}
}  // namespace testing

}  // namespace agent
