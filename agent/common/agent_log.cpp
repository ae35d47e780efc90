#include "common/agent_log.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/files.h"

namespace agent {
namespace {

constexpr const char* kLogDirectory = "C:\\ORVAlog";

// How long a line waits for a file that another process holds: a writer
// holds it only for one open-write-close, so a few short tries get through;
// a file held longer than that costs the line, not the caller's progress.
constexpr int kExclusiveTries = 20;
constexpr uint32_t kRetryPauseMs = 5;

// Lines of this process's threads take turns at the file, so none of them
// is lost to another of them holding it. Constant-initialised: usable from
// any thread at any time, destruction included.
std::mutex g_writer_mutex;

// The calendar year of the log's names and time stamps. The link log uses
// the same two-line rule; it is repeated here because the agent does not
// link the link library.
int AgentLogYear(const platform::LocalTime& t) {
  return t.years_since_1900 > 95 ? t.years_since_1900 + 1900 : t.years_since_1900 + 2000;
}

std::string LinkLogName(int year, int month, int day) {
  char name[128];
  std::snprintf(name, sizeof name, "%s\\%04d%02d%02d.log", kLogDirectory, year, month, day);
  return name;
}

void EnsureLogDirectory() {
  const std::string dir = platform::DataPath(kLogDirectory);
  if (!platform::DirectoryExists(dir)) platform::MakeDirectory(dir);
}

}  // namespace

std::string AgentLogPath(int year, int month, int day) {
  char name[128];
  std::snprintf(name, sizeof name, "%s\\OVTelquin_%04d%02d%02d.log", kLogDirectory, year, month,
                day);
  return name;
}

std::string FormatAgentLogLine(const platform::LocalTime& t, int number, const char* label,
                               const char* text) {
  // Wide enough for six fields of any int value each.
  char field[96];
  std::snprintf(field, sizeof field, "[%04d%02d%02d %02d:%02d:%02d]", AgentLogYear(t), t.month,
                t.day, t.hour, t.minute, t.second);
  std::string line = field;
  std::snprintf(field, sizeof field, "[%06d]", number);
  line += field;
  // The fields are joined, not placed at columns: a longer label or number
  // makes its own field longer, and a text of any length is written whole.
  const size_t label_start = line.size();
  line += '[';
  line += label != nullptr ? label : "";
  if (line.size() - label_start < 18) line.resize(label_start + 18, ' ');
  line += "][";
  line += text != nullptr ? text : "";
  line += "]\r\n";
  return line;
}

int WriteAgentLog(int number, const char* label, const char* text) {
  std::lock_guard<std::mutex> turn(g_writer_mutex);
  EnsureLogDirectory();
  // Read once, inside the turn: it names the file and stamps the line, and
  // the lines of one process stand in the file in the order of their times.
  const platform::LocalTime now = platform::Now();
  const std::string path = platform::DataPath(AgentLogPath(AgentLogYear(now), now.month, now.day));
  const std::string line = FormatAgentLogLine(now, number, label, text);
  for (int attempt = 0; attempt < kExclusiveTries; ++attempt) {
    if (attempt > 0) platform::SleepMs(kRetryPauseMs);
    if (platform::AppendToFileExclusive(path, line.data(), line.size())) break;
  }
  return 1;
}

int PurgeAgentLogsAt(const platform::LocalTime& now) {
  EnsureLogDirectory();
  const int year = AgentLogYear(now);
  int purge_year = year;
  int last_month = now.month - 3;
  if (now.month <= 3) {
    purge_year = year - 1;
    last_month = now.month + 9;
  }
  // A month has at most 31 days and a year 12 months; the bounds keep the
  // loops short whatever the clock hands over.
  last_month = std::min(last_month, 12);
  const int today = std::min(now.day, 31);
  for (int month = 1; month <= last_month; ++month) {
    const int last_day = month < last_month ? 31 : today;
    for (int day = 1; day <= last_day; ++day) {
      platform::RemoveFile(platform::DataPath(LinkLogName(purge_year, month, day)));
      platform::RemoveFile(platform::DataPath(AgentLogPath(purge_year, month, day)));
    }
  }
  return 1;
}

int PurgeAgentLogs() { return PurgeAgentLogsAt(platform::Now()); }

}  // namespace agent
