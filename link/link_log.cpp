#include "link_log.h"

#include <cstdio>
#include <string>

#include "platform/files.h"

namespace telquin {
namespace {

// Columns of the fields; a wider field is cut by the next one's bracket.
constexpr size_t kNumberColumn = 20;
constexpr size_t kNameColumn = 29;
constexpr size_t kTextColumn = 49;

void EnsureLogDirectory() {
  const std::string dir = platform::DataPath(kLinkLogDirectory);
  if (!platform::DirectoryExists(dir)) platform::MakeDirectory(dir);
}

void PutField(std::string& line, size_t column, const std::string& field) {
  line.resize(column);
  line += field;
}

}  // namespace

int LogYear(const platform::LocalTime& t) {
  return t.years_since_1900 > 95 ? t.years_since_1900 + 1900 : t.years_since_1900 + 2000;
}

std::string LinkLogPath(int year, int month, int day) {
  char name[64];
  std::snprintf(name, sizeof name, "%s\\%04d%02d%02d.log", kLinkLogDirectory, year, month, day);
  return name;
}

std::string FormatLinkLogLine(const platform::LocalTime& t, int number, const char* name,
                              const char* text) {
  char field[64];
  std::snprintf(field, sizeof field, "[%04d%02d%02d %02d:%02d:%02d] ", LogYear(t), t.month,
                t.day, t.hour, t.minute, t.second);
  std::string line = field;
  std::snprintf(field, sizeof field, "[%06d] ", number);
  PutField(line, kNumberColumn, field);
  // Names are short library constants, but any length must stay in bounds.
  std::string name_field = "[";
  name_field += name != nullptr ? name : "";
  if (name_field.size() < 18) name_field.resize(18, ' ');
  name_field += "] ";
  PutField(line, kNameColumn, name_field);
  // The text is written whole, however long: a receive buffer dump is
  // worth more complete than cut.
  std::string text_field = "[";
  text_field += text != nullptr ? text : "";
  text_field += "]\r\n";
  PutField(line, kTextColumn, text_field);
  return line;
}

int WriteLinkLog(int number, const char* name, const char* text) {
  const platform::LocalTime now = platform::Now();
  EnsureLogDirectory();
  const std::string path =
      platform::DataPath(LinkLogPath(LogYear(now), now.month, now.day));
  const std::string line = FormatLinkLogLine(now, number, name, text);
  return platform::AppendToFile(path, line.data(), line.size()) ? 1 : -1;
}

void PurgeOldLinkLogsAt(const platform::LocalTime& now) {
  EnsureLogDirectory();
  const int year = LogYear(now);
  int purge_year = year;
  int last_month = now.month - 3;
  if (now.month <= 3) {
    purge_year = year - 1;
    last_month = now.month + 9;
  }
  for (int month = 1; month <= last_month; ++month) {
    const int last_day = month < last_month ? 31 : now.day;
    for (int day = 1; day <= last_day; ++day) {
      platform::RemoveFile(platform::DataPath(LinkLogPath(purge_year, month, day)));
    }
  }
}

void PurgeOldLinkLogs() { PurgeOldLinkLogsAt(platform::Now()); }

}  // namespace telquin
