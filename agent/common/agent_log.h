// The agent's daily log, "C:\ORVAlog\OVTelquin_YYYYMMDD.log": one line per
// call, fields joined without blanks, opened and closed for every line.
#pragma once

#include <string>

#include "platform/clock.h"

namespace agent {

// Writes one line; callable from any thread. Lines of this process's
// threads are never lost (they take turns); a line that another process
// holds the file for is retried briefly. Returns 1 in every case.
// `label` and `text` are 8-bit (code page 949) C strings, written as they
// are.
int WriteAgentLog(int number, const char* label, const char* text);

// Deletes old daily files of both the agent and the link library (the same
// window as the link log's purge). Returns 1.
int PurgeAgentLogs();
int PurgeAgentLogsAt(const platform::LocalTime& now);

// Pieces of the above, exposed for tests.
std::string AgentLogPath(int year, int month, int day);  // system path
std::string FormatAgentLogLine(const platform::LocalTime& t, int number, const char* label,
                               const char* text);

}  // namespace agent
