#include "support/agent_log_reader.h"

#include <algorithm>
#include <filesystem>
#include <thread>

#include "support/temp_root.h"

namespace ovt_test {
namespace {

using Clock = std::chrono::steady_clock;

bool StartsWithTimestamp(std::string_view s) {
  // "[YYYYMMDD HH:MM:SS]["
  if (s.size() < 21 || s[0] != '[' || s[9] != ' ' || s[18] != ']' || s[19] != '[') return false;
  for (size_t i : {1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 13, 14, 16, 17}) {
    if (s[i] < '0' || s[i] > '9') return false;
  }
  return s[12] == ':' && s[15] == ':';
}

bool ParseRecord(std::string_view record, AgentLogLine* line) {
  // [time][number][label][text]
  const size_t number_end = record.find(']', 20);
  if (number_end == std::string_view::npos || record.size() < number_end + 3) return false;
  line->number = std::stoi(std::string(record.substr(20, number_end - 20)));
  const size_t label_end = record.find("][", number_end + 2);
  if (label_end == std::string_view::npos || record.back() != ']') return false;
  std::string label(record.substr(number_end + 2, label_end - number_end - 2));
  while (!label.empty() && label.back() == ' ') label.pop_back();
  line->label = label;
  line->text = std::string(record.substr(label_end + 2, record.size() - label_end - 3));
  return true;
}

void ParseLog(const std::string& content, std::vector<AgentLogLine>* lines) {
  // A logged text may hold CR LF itself: a line ends only where CR LF is
  // followed by the next time stamp, or at the end of the file.
  size_t start = 0;
  while (start < content.size()) {
    size_t end = start;
    for (;;) {
      end = content.find("\r\n", end);
      if (end == std::string::npos) return;  // still being written
      if (end + 2 == content.size() ||
          StartsWithTimestamp(std::string_view(content).substr(end + 2))) {
        break;
      }
      end += 2;
    }
    AgentLogLine line;
    if (ParseRecord(std::string_view(content).substr(start, end - start), &line)) {
      lines->push_back(std::move(line));
    }
    start = end + 2;
  }
}

}  // namespace

std::vector<AgentLogLine> ReadAgentLog(const std::string& root) {
  namespace fs = std::filesystem;
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(root + "/ORVAlog", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("OVTelquin_", 0) == 0) files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  std::vector<AgentLogLine> lines;
  for (const std::string& file : files) ParseLog(ReadFile(file), &lines);
  return lines;
}

size_t CountAgentLog(const std::string& root, std::string_view label, std::string_view text) {
  const auto lines = ReadAgentLog(root);
  return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const AgentLogLine& l) {
    return l.label == label && l.text == text;
  }));
}

bool WaitForAgentLog(const std::string& root,
                     const std::function<bool(const std::vector<AgentLogLine>&)>& done,
                     std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    if (done(ReadAgentLog(root))) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
}

bool WaitForAgentLogCount(const std::string& root, std::string_view label, std::string_view text,
                          size_t count, std::chrono::milliseconds limit) {
  return WaitForAgentLog(
      root,
      [&](const std::vector<AgentLogLine>& lines) {
        return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& l) {
                 return l.label == label && l.text == text;
               })) >= count;
      },
      limit);
}

std::vector<std::string> SplitCrLfLines(const std::string& content) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < content.size()) {
    const size_t end = content.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(content.substr(start));
      break;
    }
    lines.push_back(content.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

}  // namespace ovt_test
