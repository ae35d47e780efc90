// The agent's daily log read back by tests: its lines taken apart into
// number, label and text, and waits for lines to appear.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace ovt_test {

using namespace std::chrono_literals;

// One line of the agent log.
struct AgentLogLine {
  int number = 0;
  std::string label;  // without its padding
  std::string text;   // may hold CR LF (a logged head)
};

// The agent log of the data root (every day's file, in order). A line
// still being written is left out.
std::vector<AgentLogLine> ReadAgentLog(const std::string& root);
// How many lines have this label and text.
size_t CountAgentLog(const std::string& root, std::string_view label, std::string_view text);
// Waits (looking every few milliseconds) until `done` holds for the log, or
// `limit` passes. False when the limit passed.
bool WaitForAgentLog(const std::string& root,
                     const std::function<bool(const std::vector<AgentLogLine>&)>& done,
                     std::chrono::milliseconds limit = 30s);
// Waits until at least `count` lines have this label and text.
bool WaitForAgentLogCount(const std::string& root, std::string_view label, std::string_view text,
                          size_t count, std::chrono::milliseconds limit = 30s);

// `content` split at CR LF; a trailing piece without CR LF is kept as a
// line of its own, so that a broken line shows.
std::vector<std::string> SplitCrLfLines(const std::string& content);

}  // namespace ovt_test
