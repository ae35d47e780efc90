#include "dispatcher/last_result.h"

#include <cstdio>

#include "common/agent_log.h"
#include "common/agent_texts.h"
#include "platform/files.h"

namespace agent {

std::atomic<int> g_bResultSaved{0};

void StoreLastResult(const Request& request, const std::string& reply) {
  g_bResultSaved = 0;
  if (reply.size() < 12 || std::string_view(reply).substr(8, 4) != "0000") return;
  if (!request.IsVevu()) return;
  if (request.HasCommand("STOP") || request.HasCommand("RRUN") || request.HasCommand("LAST")) {
    return;
  }
  g_bResultSaved = 1;
  // A failure to write keeps the flag: the reply was meant to be stored.
  platform::ReplaceFileContents(kLastResultFile, reply.data(), reply.size());
}

void BuildLastReply(Reply& reply) {
  WriteAgentLog(0, "DLL_LOGIC", "LASTDATA");
  std::FILE* file = std::fopen(kLastResultFile, "rt");
  if (file == nullptr) {
    WriteAgentLog(0, "DLL_LOGIC", "fp==NULL");
    reply.Append("0044");
    reply.Append(kKind);
    reply.Append("0000");
    reply.Append("0032");
    reply.Append(texts::Ansi(texts::kNoResultFile));
    return;
  }
  WriteAgentLog(0, "DLL_LOGIC", "else fp!=NULL");
  // The whole stored reply, line feeds included (a terminal answer may hold
  // one), as far as the reply buffer reaches.
  char stored[kReplyBufferSize] = {};
  std::fread(stored, 1, sizeof stored - 1, file);
  std::fclose(file);
  reply.Append(stored);  // up to the first NUL, as a C string would
}

}  // namespace agent
