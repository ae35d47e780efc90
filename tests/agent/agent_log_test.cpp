#include "common/agent_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "agent/probe_runner.h"
#include "common/agent_texts.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "support/agent_log_reader.h"
#include "support/temp_root.h"

namespace agent {
namespace {

namespace fs = std::filesystem;

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

int YearOf(const platform::LocalTime& t) {
  return t.years_since_1900 > 95 ? t.years_since_1900 + 1900 : t.years_since_1900 + 2000;
}

std::string TodaysLogPath() {
  const platform::LocalTime now = platform::Now();
  return platform::DataPath(AgentLogPath(YearOf(now), now.month, now.day));
}

// Today's agent log, split at CR LF (a broken last line kept as it is).
std::vector<std::string> TodaysLines() {
  return ovt_test::SplitCrLfLines(ovt_test::ReadFile(TodaysLogPath()));
}

// Each line's number, label (unpadded) and text, or nothing when the line
// is not one well-formed line of the log.
struct Parsed {
  int number = 0;
  std::string label;
  std::string text;
};

bool Parse(const std::string& line, Parsed* out) {
  // [YYYYMMDD hh:mm:ss][nnnnnn][label            ][text]
  if (line.size() < 19 + 8 + 19 + 2 || line[0] != '[' || line[18] != ']') return false;
  if (line.compare(19, 1, "[") != 0 || line[26] != ']') return false;
  out->number = std::stoi(line.substr(20, 6));
  if (line[27] != '[' || line[45] != ']' || line[46] != '[' || line.back() != ']') return false;
  out->label = line.substr(28, 17);
  while (!out->label.empty() && out->label.back() == ' ') out->label.pop_back();
  out->text = line.substr(47, line.size() - 48);
  return true;
}

struct LineCase {
  const char* name;
  platform::LocalTime time;
  int number;
  const char* label;
  std::string text;
  std::string expected;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class AgentLogLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(AgentLogLine, JoinsTheFourFieldsWithoutBlanks) {
  const LineCase& c = GetParam();
  EXPECT_EQ(FormatAgentLogLine(c.time, c.number, c.label, c.text.c_str()), c.expected);
}

const platform::LocalTime kDec7 = At(2023, 12, 7, 9, 5, 7);

INSTANTIATE_TEST_SUITE_P(
    Fields, AgentLogLine,
    ::testing::Values(
        LineCase{"Example", kDec7, 0, "OnInitDialog", "AcceptFunc Call!",
                 "[20231207 09:05:07][000000][OnInitDialog     ][AcceptFunc Call!]\r\n"},
        LineCase{"Label17", kDec7, 0, "ABCDEFGHIJKLMNOPQ", "t",
                 "[20231207 09:05:07][000000][ABCDEFGHIJKLMNOPQ][t]\r\n"},
        LineCase{"Label18", kDec7, 0, "clientWorker_cnt++", "t",
                 "[20231207 09:05:07][000000][clientWorker_cnt++][t]\r\n"},
        LineCase{"LabelLonger", kDec7, 0, "a_label_of_25_characters_", "t",
                 "[20231207 09:05:07][000000][a_label_of_25_characters_][t]\r\n"},
        LineCase{"EmptyLabelAndText", kDec7, 0, "", "",
                 "[20231207 09:05:07][000000][                 ][]\r\n"},
        LineCase{"MinusOne", kDec7, -1, "X", "t",
                 "[20231207 09:05:07][-00001][X                ][t]\r\n"},
        LineCase{"Count", kDec7, 517, "clientWorker", "readedLength",
                 "[20231207 09:05:07][000517][clientWorker     ][readedLength]\r\n"},
        LineCase{"SevenDigits", kDec7, 1234567, "X", "t",
                 "[20231207 09:05:07][1234567][X                ][t]\r\n"},
        LineCase{"SixDigitsAndSign", kDec7, -123456, "X", "t",
                 "[20231207 09:05:07][-123456][X                ][t]\r\n"},
        LineCase{"Smallest", kDec7, INT_MIN, "X", "t",
                 "[20231207 09:05:07][-2147483648][X                ][t]\r\n"},
        LineCase{"ControlBytes", kDec7, 0, "RecvMsg", "\x02OK\x03\x17",
                 "[20231207 09:05:07][000000][RecvMsg          ][\x02OK\x03\x17]\r\n"},
        // Code page 949 bytes of a Korean text go through as they are.
        LineCase{"Cp949", kDec7, 0, "DLL_LOGIC", "\xBD\xC2\xC0\xCE",
                 "[20231207 09:05:07][000000][DLL_LOGIC        ][\xBD\xC2\xC0\xCE]\r\n"},
        // The year rule: years since 1900 above 95 count from 1900, others
        // from 2000.
        LineCase{"Year1996", At(1996, 1, 2, 3, 4, 5), 0, "Y", "t",
                 "[19960102 03:04:05][000000][Y                ][t]\r\n"},
        LineCase{"Year2095", At(1995, 12, 31, 23, 59, 59), 0, "Y", "t",
                 "[20951231 23:59:59][000000][Y                ][t]\r\n"},
        LineCase{"Year2005", At(1905, 6, 1, 0, 0, 0), 0, "Y", "t",
                 "[20050601 00:00:00][000000][Y                ][t]\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AgentLogLine, ATextOfAnyLengthIsWrittenWhole) {
  const std::string text(250000, 'L');
  const std::string line = FormatAgentLogLine(kDec7, 0, "SenBuf", text.c_str());
  EXPECT_EQ(line.size(), 19 + 8 + 19 + text.size() + 4);
  EXPECT_EQ(line.substr(46, 1 + text.size() + 3), "[" + text + "]\r\n");
}

TEST(AgentLogLine, TheTextEndsAtItsFirstZeroByte) {
  const char text[] = "before\0after";
  EXPECT_EQ(FormatAgentLogLine(kDec7, 0, "X", text).substr(46), "[before]\r\n");
}

// The agent's own texts go into logs and replies in code page 949 and into
// message boxes as UTF-16.
TEST(AgentTexts, AreConvertedForLogsAndForBoxes) {
  EXPECT_EQ(texts::Ansi("\xEC\x8A\xB9\xEC\x9D\xB8"), "\xBD\xC2\xC0\xCE");  // 승인
  EXPECT_EQ(texts::Ansi(texts::kNoResultFile).size(), 32u);
  EXPECT_EQ(texts::Ansi(texts::kLoadFailed), " \xB7\xCE\xB5\xE5 \xBD\xC7\xC6\xD0!");
  EXPECT_EQ(texts::Ansi("Telquin.dll"), "Telquin.dll");
  EXPECT_EQ(texts::Wide(texts::kRestartFailed),
            u"\uD504\uB85C\uADF8\uB7A8 \uC7AC\uC2E4\uD589 \uC911 \uC624\uB958\uAC00 "
            u"\uBC1C\uC0DD\uD588\uC2B5\uB2C8\uB2E4.\n\uB2E4\uC2DC "
            u"\uC2E4\uD589\uD574\uC8FC\uC2DC\uAE38 \uBC14\uB78D\uB2C8\uB2E4.");
  // A line of the log carries them byte for byte.
  const std::string ansi = texts::Ansi(texts::kLoadFailed);
  EXPECT_EQ(FormatAgentLogLine(kDec7, 0, "DLL_LOGIC", ansi.c_str()).substr(46),
            "[" + ansi + "]\r\n");
}

TEST(AgentLogPathTest, NamesTheDaysFile) {
  EXPECT_EQ(AgentLogPath(2023, 12, 7), "C:\\ORVAlog\\OVTelquin_20231207.log");
  EXPECT_EQ(AgentLogPath(2022, 7, 13), "C:\\ORVAlog\\OVTelquin_20220713.log");
}

TEST(AgentLog, CreatesTheFolderAndAppendsOneLinePerCall) {
  ovt_test::TempRoot root;
  ASSERT_FALSE(fs::exists(root.path() + "/ORVAlog"));
  EXPECT_EQ(WriteAgentLog(0, "OnInitDialog", "==========START=========="), 1);
  EXPECT_EQ(WriteAgentLog(3, "iComPort", "3"), 1);
  const std::string long_text(150000, 'x');  // past the 100,000-byte line
  EXPECT_EQ(WriteAgentLog(0, "DLL_LOGIC", long_text.c_str()), 1);
  EXPECT_TRUE(fs::exists(TodaysLogPath()));

  const std::vector<std::string> lines = TodaysLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].substr(19), "[000000][OnInitDialog     ][==========START==========]");
  EXPECT_EQ(lines[1].substr(19), "[000003][iComPort         ][3]");
  EXPECT_EQ(lines[2].substr(19), "[000000][DLL_LOGIC        ][" + long_text + "]");
  // The stamp is today's date, as the file's name.
  const platform::LocalTime now = platform::Now();
  char date[48];
  std::snprintf(date, sizeof date, "[%04d%02d%02d ", YearOf(now), now.month, now.day);
  EXPECT_EQ(lines[0].substr(0, 10), date);
}

TEST(AgentLog, ALineWhoseFileCannotBeOpenedIsLostQuietly) {
  ovt_test::TempRoot root;
  fs::create_directories(TodaysLogPath());  // a folder where the file should be
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WriteAgentLog(0, "X", "lost"), 1);
  // Its retries are brief: the caller goes on.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(fs::is_directory(TodaysLogPath()));
}

TEST(AgentLog, AFolderRemovedBetweenTwoLinesIsMadeAgain) {
  ovt_test::TempRoot root;
  EXPECT_EQ(WriteAgentLog(0, "Before", "first"), 1);
  ASSERT_EQ(TodaysLines().size(), 1u);
  fs::remove_all(root.path() + "/ORVAlog");
  ASSERT_FALSE(fs::exists(root.path() + "/ORVAlog"));

  EXPECT_EQ(WriteAgentLog(0, "After", "second"), 1);
  EXPECT_TRUE(fs::is_directory(root.path() + "/ORVAlog"));
  const std::vector<std::string> lines = TodaysLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(19), "[000000][After            ][second]");
}

TEST(AgentLog, EachLineGoesToTheDataRootOfTheMoment) {
  ovt_test::TempRoot first;
  EXPECT_EQ(WriteAgentLog(1, "First", "one"), 1);
  std::string second_path;
  {
    // OVTELQUIN_ROOT points at the second root while it lives.
    ovt_test::TempRoot second;
    EXPECT_EQ(WriteAgentLog(2, "Second", "two"), 1);
    second_path = second.path();
    const std::vector<std::string> lines = TodaysLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(19), "[000002][Second           ][two]");
  }
  EXPECT_EQ(WriteAgentLog(3, "First", "three"), 1);
  const std::vector<std::string> lines = TodaysLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(19), "[000001][First            ][one]");
  EXPECT_EQ(lines[1].substr(19), "[000003][First            ][three]");
  EXPECT_FALSE(fs::exists(second_path));
}

TEST(AgentLog, ALineIsLostWhenAFileStandsWhereTheFolderShould) {
  ovt_test::TempRoot root;
  const std::string folder = root.path() + "/ORVAlog";
  ovt_test::WriteFile(folder, "not a folder");
  EXPECT_EQ(WriteAgentLog(0, "X", "lost"), 1);
  EXPECT_EQ(WriteAgentLog(1, "X", "lost too"), 1);
  // The file in the way is left as it was.
  EXPECT_TRUE(fs::is_regular_file(folder));
  EXPECT_EQ(ovt_test::ReadFile(folder), "not a folder");
  // Once the folder can be made, lines go in again.
  fs::remove(folder);
  EXPECT_EQ(WriteAgentLog(2, "X", "kept"), 1);
  const std::vector<std::string> lines = TodaysLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(19), "[000002][X                ][kept]");
}

TEST(AgentLog, ThreadsLoggingAtOnceLoseNoLine) {
  ovt_test::TempRoot root;
  constexpr int kThreads = 4;
  constexpr int kLinesEach = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string label = "thread" + std::to_string(t);
      for (int i = 0; i < kLinesEach; ++i) {
        WriteAgentLog(i, label.c_str(), ("line " + std::to_string(i)).c_str());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::map<std::string, std::vector<int>> numbers;
  for (const std::string& line : TodaysLines()) {
    Parsed p;
    ASSERT_TRUE(Parse(line, &p)) << line;
    EXPECT_EQ(p.text, "line " + std::to_string(p.number)) << line;
    numbers[p.label].push_back(p.number);
  }
  ASSERT_EQ(numbers.size(), static_cast<size_t>(kThreads));
  for (const auto& [label, seen] : numbers) {
    // Every line of the thread, in the order it wrote them.
    ASSERT_EQ(seen.size(), static_cast<size_t>(kLinesEach)) << label;
    for (int i = 0; i < kLinesEach; ++i) EXPECT_EQ(seen[i], i) << label;
  }
}

TEST(AgentLog, ALineWaitsBrieflyForAFileAnotherProcessHolds) {
  ovt_test::TempRoot root;
  const pid_t holder = ovt_test::StartProbe(OVT_RESTART_PROBE, {"hold-log", "20"});
  ASSERT_GT(holder, 0);
  ASSERT_TRUE(ovt_test::WaitForFile(root.path() + "/log-held"));
  EXPECT_EQ(WriteAgentLog(0, "Waited", "after the holder"), 1);
  // The line went in only after the holder had let go, and whole.
  EXPECT_TRUE(fs::exists(root.path() + "/log-released"));
  const std::vector<std::string> lines = TodaysLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(19), "[000000][Waited           ][after the holder]");
  EXPECT_EQ(ovt_test::WaitForExit(holder), 0);
}

TEST(AgentLog, ALineIsDroppedWhenAnotherProcessHoldsTheFileTooLong) {
  ovt_test::TempRoot root;
  const pid_t holder = ovt_test::StartProbe(OVT_RESTART_PROBE, {"hold-log", "1500"});
  ASSERT_GT(holder, 0);
  ASSERT_TRUE(ovt_test::WaitForFile(root.path() + "/log-held"));
  EXPECT_EQ(WriteAgentLog(0, "Dropped", "while held"), 1);
  EXPECT_FALSE(fs::exists(root.path() + "/log-released"));
  EXPECT_EQ(ovt_test::WaitForExit(holder), 0);
  EXPECT_TRUE(TodaysLines().empty());
  // Once the file is free again, lines go in as before.
  EXPECT_EQ(WriteAgentLog(0, "Later", "free again"), 1);
  ASSERT_EQ(TodaysLines().size(), 1u);
}

TEST(AgentLog, ProcessesAndThreadsLoggingAtOnceLoseNoLine) {
  ovt_test::TempRoot root;
  constexpr int kLinesEach = 300;
  std::vector<pid_t> probes;
  for (const char* tag : {"probeA", "probeB"}) {
    probes.push_back(ovt_test::StartProbe(OVT_RESTART_PROBE,
                                          {"log", std::to_string(kLinesEach), tag}));
    ASSERT_GT(probes.back(), 0);
  }
  std::vector<std::thread> threads;
  for (const char* tag : {"threadA", "threadB"}) {
    threads.emplace_back([tag] {
      for (int i = 0; i < kLinesEach; ++i) {
        WriteAgentLog(i, tag, ("line " + std::to_string(i)).c_str());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const pid_t pid : probes) EXPECT_EQ(ovt_test::WaitForExit(pid), 0);

  std::map<std::string, std::set<int>> numbers;
  for (const std::string& line : TodaysLines()) {
    Parsed p;
    ASSERT_TRUE(Parse(line, &p)) << line;
    EXPECT_EQ(p.text, "line " + std::to_string(p.number)) << line;
    numbers[p.label].insert(p.number);
  }
  for (const char* tag : {"probeA", "probeB", "threadA", "threadB"}) {
    EXPECT_EQ(numbers[tag].size(), static_cast<size_t>(kLinesEach)) << tag;
  }
}

// Both kinds of daily file for every day of the year before and of the year
// of `today`, purged as of `today`; returns the names that remain.
std::set<std::string> RemainingAfterPurge(const platform::LocalTime& today) {
  ovt_test::TempRoot root;
  const std::string dir = root.path() + "/ORVAlog";
  fs::create_directories(dir);
  const int year = YearOf(today);
  char name[64];
  for (int y = year - 1; y <= year; ++y) {
    for (int m = 1; m <= 12; ++m) {
      for (int d = 1; d <= 31; ++d) {
        std::snprintf(name, sizeof name, "/%04d%02d%02d.log", y, m, d);
        ovt_test::WriteFile(dir + name, "x");
        ovt_test::WriteFile(platform::DataPath(AgentLogPath(y, m, d)), "x");
      }
    }
  }
  ovt_test::WriteFile(dir + "/keep.txt", "x");
  EXPECT_EQ(PurgeAgentLogsAt(today), 1);
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

struct PurgeCase {
  int month, day;
  const char* last_deleted;  // date of the last day deleted, YYYYMMDD
  const char* first_kept;
  int days_deleted;
};

void PrintTo(const PurgeCase& c, std::ostream* os) { *os << c.month << "/" << c.day; }

class AgentPurge : public ::testing::TestWithParam<PurgeCase> {};

TEST_P(AgentPurge, RemovesBothKindsUpToTheThirdMonthBack) {
  const PurgeCase& c = GetParam();
  const std::set<std::string> left = RemainingAfterPurge(At(2022, c.month, c.day));
  for (const std::string prefix : {"", "OVTelquin_"}) {
    SCOPED_TRACE(prefix);
    EXPECT_EQ(left.count(prefix + c.last_deleted + ".log"), 0u);
    EXPECT_EQ(left.count(prefix + c.first_kept + ".log"), 1u);
    EXPECT_EQ(left.count(prefix + "20220101.log"), c.month <= 3 ? 1u : 0u);
    EXPECT_EQ(left.count(prefix + "20210101.log"), c.month <= 3 ? 0u : 1u);
    EXPECT_EQ(left.count(prefix + "20221231.log"), 1u);
  }
  EXPECT_EQ(left.count("keep.txt"), 1u);
  EXPECT_EQ(static_cast<int>(2 * (2 * 12 * 31) + 1 - left.size()), 2 * c.days_deleted);
}

INSTANTIATE_TEST_SUITE_P(
    Dates, AgentPurge,
    ::testing::Values(
        // 13 July: 1 January to 13 April of the same year.
        PurgeCase{7, 13, "20220413", "20220414", 3 * 31 + 13},
        // 5 January: January to September and 1 to 5 October of last year.
        PurgeCase{1, 5, "20211005", "20211006", 9 * 31 + 5},
        // 20 February: January to October and 1 to 20 November of last year.
        PurgeCase{2, 20, "20211120", "20211121", 10 * 31 + 20},
        // 31 March: all of last year, nothing of this one.
        PurgeCase{3, 31, "20211231", "20220101", 12 * 31}),
    [](const auto& info) {
      return "month" + std::to_string(info.param.month) + "day" + std::to_string(info.param.day);
    });

TEST(AgentPurge, CreatesAMissingFolder) {
  ovt_test::TempRoot root;
  EXPECT_EQ(PurgeAgentLogsAt(At(2022, 7, 13)), 1);
  EXPECT_TRUE(fs::is_directory(root.path() + "/ORVAlog"));
  EXPECT_EQ(PurgeAgentLogs(), 1);
}

}  // namespace
}  // namespace agent
