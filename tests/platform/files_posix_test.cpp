#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "support/temp_root.h"

namespace platform {
namespace {

TEST(DataPath, DriveBecomesTheDataRoot) {
  ovt_test::TempRoot root;
  EXPECT_EQ(DataRoot(), root.path());
  EXPECT_EQ(DataPath("C:\\ORVAlog"), root.path() + "/ORVAlog");
  EXPECT_EQ(DataPath("C:\\ORVAlog\\20220713.log"), root.path() + "/ORVAlog/20220713.log");
  EXPECT_EQ(DataPath("C:\\OVVarsel\\OVVARSEL.ini"), root.path() + "/OVVarsel/OVVARSEL.ini");
  EXPECT_EQ(DataPath("d:x"), root.path() + "/x");
  EXPECT_EQ(DataPath("Signdata.bmp"), "Signdata.bmp");
  EXPECT_EQ(DataPath("/tmp/a"), "/tmp/a");
}

TEST(DataPath, DefaultRootIsPerUser) {
  ovt_test::TempRoot root;
  unsetenv("OVTELQUIN_ROOT");
  const std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  if (!home.empty()) {
    EXPECT_EQ(DataRoot(), home + "/.ovtelquin");
  }
  setenv("OVTELQUIN_ROOT", (root.path() + "///").c_str(), 1);
  EXPECT_EQ(DataRoot(), root.path());
}

TEST(AppendToFile, LinesFromManyThreadsNeverInterleave) {
  ovt_test::TempRoot root;
  const std::string path = root.path() + "/lines.log";
  constexpr int kThreads = 4, kLines = 500;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      // Long lines, so a split write would show.
      const std::string line = std::string(3000, static_cast<char>('a' + t)) + "\r\n";
      for (int i = 0; i < kLines; ++i) ASSERT_TRUE(AppendToFile(path, line.data(), line.size()));
    });
  }
  for (auto& w : writers) w.join();
  const std::string content = ovt_test::ReadFile(path);
  ASSERT_EQ(content.size(), static_cast<size_t>(kThreads * kLines * 3002));
  for (size_t at = 0; at < content.size(); at += 3002) {
    ASSERT_EQ(content.find_first_not_of(content[at], at), at + 3000) << "line at " << at;
  }
  EXPECT_FALSE(AppendToFile(root.path() + "/no/such/dir/x", "x", 1));
}

// What stands where the file's folder should be before the append.
enum class FolderBefore { kThere, kMissing, kMissingWithItsParent, kARegularFile };

struct MissingFolderCase {
  const char* name;
  FolderBefore before;
  MissingFolder missing_folder;
  bool appended;  // the call's result, and the line in the file
};

void PrintTo(const MissingFolderCase& c, std::ostream* os) { *os << c.name; }

class AppendToFileExclusiveFolder : public ::testing::TestWithParam<MissingFolderCase> {};

TEST_P(AppendToFileExclusiveFolder, MakesAMissingFolderOnlyWhenAskedTo) {
  namespace fs = std::filesystem;
  const MissingFolderCase& c = GetParam();
  ovt_test::TempRoot root;
  const std::string parent = root.path() + "/outer";
  const std::string folder = parent + "/logs";
  const std::string path = folder + "/day.log";
  switch (c.before) {
    case FolderBefore::kThere:
      fs::create_directories(folder);
      ovt_test::WriteFile(path, "earlier\r\n");
      break;
    case FolderBefore::kMissing:
      fs::create_directories(parent);
      break;
    case FolderBefore::kMissingWithItsParent:
      break;
    case FolderBefore::kARegularFile:
      fs::create_directories(parent);
      ovt_test::WriteFile(folder, "not a folder");
      break;
  }
  const std::string line = "a line\r\n";

  EXPECT_EQ(AppendToFileExclusive(path, line.data(), line.size(), c.missing_folder),
            c.appended ? AppendResult::kAppended : AppendResult::kFailed);

  const std::string earlier = c.before == FolderBefore::kThere ? "earlier\r\n" : "";
  if (c.appended) {
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_EQ(ovt_test::ReadFile(path), earlier + line);
    // A second line goes after the first, through the folder now there.
    EXPECT_EQ(AppendToFileExclusive(path, line.data(), line.size(), c.missing_folder),
              AppendResult::kAppended);
    EXPECT_EQ(ovt_test::ReadFile(path), earlier + line + line);
    return;
  }
  // A failed append leaves the tree as it found it.
  switch (c.before) {
    case FolderBefore::kThere:
      ADD_FAILURE() << "an append into an existing folder failed";
      break;
    case FolderBefore::kMissing:
      EXPECT_FALSE(fs::exists(folder));
      EXPECT_TRUE(fs::is_empty(parent));
      break;
    case FolderBefore::kMissingWithItsParent:
      EXPECT_FALSE(fs::exists(parent));
      break;
    case FolderBefore::kARegularFile:
      EXPECT_TRUE(fs::is_regular_file(folder));
      EXPECT_EQ(ovt_test::ReadFile(folder), "not a folder");
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AppendToFileExclusiveFolder,
    ::testing::Values(
        MissingFolderCase{"ThereCreate", FolderBefore::kThere, MissingFolder::kCreate, true},
        MissingFolderCase{"ThereFail", FolderBefore::kThere, MissingFolder::kFail, true},
        MissingFolderCase{"MissingCreate", FolderBefore::kMissing, MissingFolder::kCreate, true},
        MissingFolderCase{"MissingFail", FolderBefore::kMissing, MissingFolder::kFail, false},
        MissingFolderCase{"MissingWithItsParentCreate", FolderBefore::kMissingWithItsParent,
                          MissingFolder::kCreate, true},
        MissingFolderCase{"MissingWithItsParentFail", FolderBefore::kMissingWithItsParent,
                          MissingFolder::kFail, false},
        // The open fails with "not a directory", not "missing": no folder
        // can be made there, and the file in the way is not touched.
        MissingFolderCase{"ARegularFileCreate", FolderBefore::kARegularFile,
                          MissingFolder::kCreate, false},
        MissingFolderCase{"ARegularFileFail", FolderBefore::kARegularFile, MissingFolder::kFail,
                          false}),
    [](const auto& info) { return std::string(info.param.name); });

// Without the argument the append does not make a folder.
TEST(AppendToFileExclusive, ByDefaultAMissingFolderFailsTheAppend) {
  ovt_test::TempRoot root;
  const std::string folder = root.path() + "/absent";
  EXPECT_EQ(AppendToFileExclusive(folder + "/x.log", "x", 1), AppendResult::kFailed);
  EXPECT_FALSE(std::filesystem::exists(folder));
}

}  // namespace
}  // namespace platform
