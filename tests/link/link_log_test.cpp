#include "link_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "platform/files.h"
#include "support/temp_root.h"

namespace telquin {
namespace {

platform::LocalTime At(int year, int month, int day, int h = 12, int m = 34, int s = 56) {
  platform::LocalTime t;
  t.years_since_1900 = year - 1900;
  t.month = month;
  t.day = day;
  t.hour = h;
  t.minute = m;
  t.second = s;
  return t;
}

TEST(LinkLogLine, FieldsSitAtTheirColumns) {
  EXPECT_EQ(FormatLinkLogLine(At(2022, 7, 13), 1, "DLLVER", "4.0.0.4"),
            "[20220713 12:34:56] [000001] [DLLVER           ] [4.0.0.4]\r\n");
  EXPECT_EQ(FormatLinkLogLine(At(2022, 7, 13, 1, 2, 3), 9999, "Return", "-2"),
            "[20220713 01:02:03] [009999] [Return           ] [-2]\r\n");
}

TEST(LinkLogLine, WideFieldsAreCutByTheNextBracket) {
  const std::string seven = FormatLinkLogLine(At(2022, 7, 13), 1234567, "N", "t");
  EXPECT_EQ(seven.substr(20), "[1234567][N                ] [t]\r\n");
  const std::string eighteen = FormatLinkLogLine(At(2022, 7, 13), 1, "ABCDEFGHIJKLMNOPQR", "t");
  EXPECT_EQ(eighteen.substr(29), "[ABCDEFGHIJKLMNOPQR][t]\r\n");
}

TEST(LinkLogLine, TextIsWrittenWholeWithItsControlBytes) {
  const std::string frame = "\x02" "DATA\x03";
  EXPECT_EQ(FormatLinkLogLine(At(2022, 7, 13), 1, "RecvMsg", frame.c_str()).substr(49),
            "[" + frame + "]\r\n");
  const std::string long_text(10000, 'L');
  const std::string line = FormatLinkLogLine(At(2022, 7, 13), 1, "SenBuf", long_text.c_str());
  EXPECT_EQ(line.size(), 49 + 1 + long_text.size() + 3);
}

TEST(LinkLogYear, TwoDigitYearsBelow96CountFrom2000) {
  EXPECT_EQ(LogYear(At(2022, 1, 1)), 2022);
  EXPECT_EQ(LogYear(At(1996, 1, 1)), 1996);
  platform::LocalTime t;
  t.years_since_1900 = 95;
  EXPECT_EQ(LogYear(t), 2095);
  t.years_since_1900 = 5;
  EXPECT_EQ(LogYear(t), 2005);
}

TEST(LinkLog, CreatesTheFolderAndAppendsLines) {
  ovt_test::TempRoot root;
  ASSERT_FALSE(std::filesystem::exists(root.path() + "/ORVAlog"));
  EXPECT_EQ(WriteLinkLog(1, "DLLVER", "4.0.0.4"), 1);
  EXPECT_EQ(WriteLinkLog(9999, "Return", "1"), 1);
  const auto lines = root.LinkLogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(20), "[000001] [DLLVER           ] [4.0.0.4]");
  EXPECT_EQ(lines[1].substr(20), "[009999] [Return           ] [1]");
}

TEST(LinkLog, ReportsAFileThatCannotBeOpened) {
  ovt_test::TempRoot root;
  std::filesystem::create_directories(root.path() + "/ORVAlog");
  const platform::LocalTime now = platform::Now();
  // A directory where today's file should be.
  std::filesystem::create_directories(
      platform::DataPath(LinkLogPath(LogYear(now), now.month, now.day)));
  EXPECT_EQ(WriteLinkLog(1, "X", "Y"), -1);
}

// Every day of the year before and of the year of `today`, purged as of
// `today`; returns the names that remain.
std::set<std::string> RemainingAfterPurge(const platform::LocalTime& today) {
  ovt_test::TempRoot root;
  const std::string dir = root.path() + "/ORVAlog";
  std::filesystem::create_directories(dir);
  const int year = LogYear(today);
  for (int y = year - 1; y <= year; ++y) {
    for (int m = 1; m <= 12; ++m) {
      for (int d = 1; d <= 31; ++d) {
        ovt_test::WriteFile(platform::DataPath(LinkLogPath(y, m, d)), "x");
      }
    }
  }
  ovt_test::WriteFile(dir + "/keep.txt", "x");
  PurgeOldLinkLogsAt(today);
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.insert(e.path().filename().string());
  }
  return names;
}

struct PurgeCase {
  int month, day;
  const char* last_deleted;
  const char* first_kept;
  int files_deleted;
};

void PrintTo(const PurgeCase& c, std::ostream* os) { *os << c.month << "/" << c.day; }

class Purge : public ::testing::TestWithParam<PurgeCase> {};

TEST_P(Purge, RemovesUpToTheThirdMonthBack) {
  const PurgeCase& c = GetParam();
  const std::set<std::string> left = RemainingAfterPurge(At(2022, c.month, c.day));
  EXPECT_EQ(left.count(c.last_deleted), 0u);
  EXPECT_EQ(left.count(c.first_kept), 1u);
  EXPECT_EQ(left.count("keep.txt"), 1u);
  EXPECT_EQ(static_cast<int>(2 * 12 * 31 + 1 - left.size()), c.files_deleted);
}

INSTANTIATE_TEST_SUITE_P(
    Dates, Purge,
    ::testing::Values(
        // 13 July: 1 January to 13 April of the same year.
        PurgeCase{7, 13, "20220413.log", "20220414.log", 3 * 31 + 13},
        // 5 January: January to September and 1 to 5 October of last year.
        PurgeCase{1, 5, "20211005.log", "20211006.log", 9 * 31 + 5},
        // 31 March: all of last year, nothing of this one.
        PurgeCase{3, 31, "20211231.log", "20220101.log", 12 * 31},
        // 20 February: last year up to 20 November.
        PurgeCase{2, 20, "20211120.log", "20211121.log", 10 * 31 + 20}),
    [](const auto& info) {
      return "month" + std::to_string(info.param.month) + "day" + std::to_string(info.param.day);
    });

TEST(Purge, CreatesAMissingFolder) {
  ovt_test::TempRoot root;
  PurgeOldLinkLogsAt(At(2022, 7, 13));
  EXPECT_TRUE(std::filesystem::is_directory(root.path() + "/ORVAlog"));
}

}  // namespace
}  // namespace telquin
