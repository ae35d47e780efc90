// The last-result store: the last successful reply, kept in
// "orvaResult.txt" in the agent's working directory, for a browser that
// never received it (the LAST command).
//
// The reply stored last by this process is also kept in memory, and LAST
// answers from there first: a file that could not be replaced (a full disk)
// never makes an older reply pass for the latest. The file serves the
// first LAST after a restart.
#pragma once

#include <atomic>
#include <string>

#include "dispatcher/agent_message.h"

namespace agent {

inline constexpr const char* kLastResultFile = "orvaResult.txt";

// 1 when the latest dispatcher call stored its reply; read by a front end
// whose send failed.
extern std::atomic<int> g_bResultSaved;

// Stores `reply` when it is a success ("0000") of a VEVU request other
// than STOP, RRUN and LAST: in memory, and in the file, which is replaced
// whole, never left half written (a new file is written beside it and
// renamed over it). When the file cannot be replaced, the failure is
// logged, the old file is removed (so that no later process takes it for
// the latest) and g_bResultSaved stays 0. Callable from several threads:
// memory and file always hold the same reply afterwards.
void StoreLastResult(const Request& request, const std::string& reply);

// The LAST command: the reply stored last by this process, else the file's
// reply as it is (bounded by the reply buffer), else the "0044" reply.
void BuildLastReply(Reply& reply);

namespace testing {
// Forgets the reply kept in memory, as a restart does: LAST reads the file.
void ForgetLatestReply();
}  // namespace testing

}  // namespace agent
