// The last-result store: the last successful reply, kept in
// "orvaResult.txt" in the agent's working directory, for a browser that
// never received it (the LAST command).
#pragma once

#include <atomic>

#include "dispatcher/agent_message.h"

namespace agent {

inline constexpr const char* kLastResultFile = "orvaResult.txt";

// 1 when the latest dispatcher call stored its reply; read by a front end
// whose send failed.
extern std::atomic<int> g_bResultSaved;

// Stores `reply` when it is a success ("0000") of a VEVU request other
// than STOP, RRUN and LAST. The file is replaced whole, never left half
// written: a new file is written beside it and renamed over it.
void StoreLastResult(const Request& request, const std::string& reply);

// The LAST command: the stored reply as it is (bounded by the reply
// buffer), or the "0044" reply when there is none.
void BuildLastReply(Reply& reply);

}  // namespace agent
