// The link library's daily log: one line per call, opened and closed each
// time, in "C:\ORVAlog\YYYYMMDD.log".
#pragma once

#include <string>

#include "platform/clock.h"

namespace telquin {

inline constexpr const char* kLinkLogDirectory = "C:\\ORVAlog";

// Writes one line; 1 when written, -1 when the file could not be opened.
// `text` is a C string (ends at its first zero byte) and may hold control
// bytes such as STX and ETX, which are written as they are.
int WriteLinkLog(int number, const char* name, const char* text);

// Deletes the logs of the third month back up to today's day number and of
// every earlier month of that month's year.
void PurgeOldLinkLogs();
void PurgeOldLinkLogsAt(const platform::LocalTime& now);

// Pieces of the above, exposed for tests.
int LogYear(const platform::LocalTime& t);
std::string LinkLogPath(int year, int month, int day);  // system path
std::string FormatLinkLogLine(const platform::LocalTime& t, int number,
                              const char* name, const char* text);

}  // namespace telquin
