#include <gtest/gtest.h>

#include <cstdlib>
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

}  // namespace
}  // namespace platform
