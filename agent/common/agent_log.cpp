#include "common/agent_log.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/files.h"

namespace agent {
namespace {

constexpr std::string_view kLogDirectory = "C:\\ORVAlog";

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

// Room for one field of PutDecimal: a sign and the ten digits of any int;
// the widths asked for (at most 6) are narrower than that.
constexpr size_t kDecimalRoom = 11;

// Writes `value` at `at` as "%0<width>d" does, for any int: a minus sign
// first, then zeros up to `width` characters in all, then every digit; at
// most kDecimalRoom characters. Returns the end. Written by hand because
// every line of the log takes seven of them, and printf's format parsing
// was the larger part of a line's own work.
char* PutDecimal(char* at, int value, int width) {
  // The magnitude in unsigned arithmetic, so that INT_MIN has one too.
  unsigned magnitude = static_cast<unsigned>(value);
  if (value < 0) magnitude = 0u - magnitude;
  char digits[kDecimalRoom];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10u);
    magnitude /= 10u;
  } while (magnitude != 0u);
  if (value < 0) *at++ = '-';
  for (int length = count + (value < 0 ? 1 : 0); length < width; ++length) *at++ = '0';
  while (count > 0) *at++ = digits[--count];
  return at;
}

// "YYYYMMDD" of the log's names and stamps.
char* PutDate(char* at, int year, int month, int day) {
  at = PutDecimal(at, year, 4);
  at = PutDecimal(at, month, 2);
  return PutDecimal(at, day, 2);
}

// "C:\ORVAlog\<prefix>YYYYMMDD.log"
std::string DailyName(std::string_view prefix, int year, int month, int day) {
  char date[3 * kDecimalRoom];
  const size_t date_size = static_cast<size_t>(PutDate(date, year, month, day) - date);
  std::string name;
  name.reserve(kLogDirectory.size() + 1 + prefix.size() + date_size + 4);
  name += kLogDirectory;
  name += '\\';
  name += prefix;
  name.append(date, date_size);
  name += ".log";
  return name;
}

std::string LinkLogName(int year, int month, int day) {
  return DailyName("", year, month, day);
}

void EnsureLogDirectory() {
  const std::string dir = platform::DataPath(std::string(kLogDirectory));
  if (!platform::DirectoryExists(dir)) platform::MakeDirectory(dir);
}

}  // namespace

std::string AgentLogPath(int year, int month, int day) {
  return DailyName("OVTelquin_", year, month, day);
}

std::string FormatAgentLogLine(const platform::LocalTime& t, int number, const char* label,
                               const char* text) {
  // "[YYYYMMDD hh:mm:ss][nnnnnn]": seven fields of any int value and the
  // characters between them.
  char head[7 * kDecimalRoom + 16];
  char* at = head;
  *at++ = '[';
  at = PutDate(at, AgentLogYear(t), t.month, t.day);
  *at++ = ' ';
  at = PutDecimal(at, t.hour, 2);
  *at++ = ':';
  at = PutDecimal(at, t.minute, 2);
  *at++ = ':';
  at = PutDecimal(at, t.second, 2);
  *at++ = ']';
  *at++ = '[';
  at = PutDecimal(at, number, 6);
  *at++ = ']';
  // The fields are joined, not placed at columns: a longer label or number
  // makes its own field longer, and a text of any length is written whole.
  const std::string_view label_field = label != nullptr ? label : "";
  const std::string_view text_field = text != nullptr ? text : "";
  constexpr size_t kLabelWidth = 17;
  const size_t head_size = static_cast<size_t>(at - head);
  std::string line;
  line.reserve(head_size + 1 + std::max(label_field.size(), kLabelWidth) + 2 + text_field.size() +
               3);
  line.append(head, head_size);
  line += '[';
  line += label_field;
  if (label_field.size() < kLabelWidth) line.append(kLabelWidth - label_field.size(), ' ');
  line += "][";
  line += text_field;
  line += "]\r\n";
  return line;
}

int WriteAgentLog(int number, const char* label, const char* text) {
  std::lock_guard<std::mutex> turn(g_writer_mutex);
  // Read once, inside the turn: it names the file and stamps the line, and
  // the lines of one process stand in the file in the order of their times.
  const platform::LocalTime now = platform::Now();
  // Named anew for every line: the day may have changed, and so may the
  // data root.
  const std::string path = platform::DataPath(AgentLogPath(AgentLogYear(now), now.month, now.day));
  const std::string line = FormatAgentLogLine(now, number, label, text);
  for (int attempt = 0; attempt < kExclusiveTries; ++attempt) {
    if (attempt > 0) platform::SleepMs(kRetryPauseMs);
    // The folder is made when the open finds it missing (the first line of
    // a new data root, or after someone removed it), not looked for before
    // every line.
    const platform::AppendResult result = platform::AppendToFileExclusive(
        path, line.data(), line.size(), platform::MissingFolder::kCreate);
    // Only another writer's turn passes; a full disk or a missing
    // permission costs the line at once, not a pause per line.
    if (result != platform::AppendResult::kHeldByAnother) break;
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
