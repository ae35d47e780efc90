#include "shell/restart.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>
#include <vector>

#include "agent/probe_runner.h"
#include "platform/process.h"
#include "support/temp_root.h"

namespace agent {
namespace {

namespace fs = std::filesystem;

// Exit status of a probe that ended normally, or -1.
int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

int RunProbe(const std::string& program, const std::vector<std::string>& args) {
  const pid_t pid = ovt_test::StartProbe(program, args);
  if (pid < 0) return -1;
  return ExitCode(ovt_test::WaitForExit(pid));
}

// A copy of the probe at `relative` under the root, so that its path is
// the one under test.
std::string CopyProbe(const ovt_test::TempRoot& root, const std::string& relative) {
  const fs::path target = fs::path(root.path()) / relative;
  fs::create_directories(target.parent_path());
  fs::copy_file(OVT_RESTART_PROBE, target, fs::copy_options::overwrite_existing);
  return fs::canonical(target).string();
}

struct CommandLineCase {
  const char* name;
  std::string path;
  std::string expected;
};

void PrintTo(const CommandLineCase& c, std::ostream* os) { *os << c.name; }

class RestartCommandLineTest : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(RestartCommandLineTest, QuotesAPathWithBlanksAndAppendsTheFlag) {
  EXPECT_EQ(RestartCommandLine(GetParam().path), GetParam().expected);
}

const std::string kDeepFolder = "/opt/" + std::string(300, 'd') + "/OVTelquin";

INSTANTIATE_TEST_SUITE_P(
    Paths, RestartCommandLineTest,
    ::testing::Values(
        CommandLineCase{"Plain", "/opt/ovt/OVTelquin", "/opt/ovt/OVTelquin --Restart"},
        CommandLineCase{"WindowsPlain", "C:\\OVTelquin\\OVTelquin.exe",
                        "C:\\OVTelquin\\OVTelquin.exe --Restart"},
        CommandLineCase{"WindowsBlank", "C:\\Program Files\\OVTelquin\\OVTelquin.exe",
                        "\"C:\\Program Files\\OVTelquin\\OVTelquin.exe\" --Restart"},
        CommandLineCase{"BlankInName", "/opt/ovt/OV Telquin", "\"/opt/ovt/OV Telquin\" --Restart"},
        CommandLineCase{"Tab", "/opt/a\tb/OVTelquin", "\"/opt/a\tb/OVTelquin\" --Restart"},
        // Longer than 260 characters: the text grows, nothing is cut.
        CommandLineCase{"Deep", kDeepFolder, kDeepFolder + " --Restart"},
        CommandLineCase{"DeepBlank", kDeepFolder + " x", "\"" + kDeepFolder + " x\" --Restart"}),
    [](const auto& info) { return std::string(info.param.name); });

struct FlagCase {
  const char* name;
  std::vector<std::string> args;
  const char* expected;
};

void PrintTo(const FlagCase& c, std::ostream* os) { *os << c.name; }

class IsRestartLaunchTest : public ::testing::TestWithParam<FlagCase> {};

TEST_P(IsRestartLaunchTest, LooksForTheFlagAnywhereInTheCommandLine) {
  ovt_test::TempRoot root;
  std::vector<std::string> args = {"is-restart"};
  args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
  ASSERT_EQ(RunProbe(OVT_RESTART_PROBE, args), 0);
  const auto record = ovt_test::ReadRecord(root.path() + "/is-restart.txt");
  EXPECT_EQ(record.at("is_restart"), GetParam().expected) << record.at("command_line");
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, IsRestartLaunchTest,
    ::testing::Values(FlagCase{"None", {}, "0"}, FlagCase{"Flag", {"--Restart"}, "1"},
                      FlagCase{"FlagAmongOthers", {"a", "--Restart", "b"}, "1"},
                      FlagCase{"InsideAnArgument", {"x--Restarty"}, "1"},
                      FlagCase{"InAQuotedArgument", {"with blank --Restart"}, "1"},
                      FlagCase{"LowerCase", {"--restart"}, "0"},
                      FlagCase{"Shortened", {"--Restar", "t"}, "0"}),
    [](const auto& info) { return std::string(info.param.name); });

struct LaunchCase {
  const char* name;
  const char* relative;  // where the agent's executable lies under the root
  bool quoted;
};

void PrintTo(const LaunchCase& c, std::ostream* os) { *os << c.name; }

class RestartLaunch : public ::testing::TestWithParam<LaunchCase> {};

// The whole restart: the old agent takes the lock, starts the new one with
// the flag and ends through TerminateSelf; the new one waits for it.
TEST_P(RestartLaunch, StartsTheNewAgentWhichWaitsForTheOldOne) {
  const LaunchCase& c = GetParam();
  ovt_test::TempRoot root;
  const std::string program = CopyProbe(root, c.relative);

  EXPECT_EQ(RunProbe(program, {"launch"}), platform::TerminationStatus());
  const auto launch = ovt_test::ReadRecord(root.path() + "/launch.txt");
  EXPECT_EQ(launch.at("result"), "1");
  EXPECT_FALSE(fs::exists(root.path() + "/terminate-returned"));

  ASSERT_TRUE(ovt_test::WaitForFile(root.path() + "/restarted.txt"));
  const auto restarted = ovt_test::ReadRecord(root.path() + "/restarted.txt");
  const std::string expected_path = c.quoted ? "\"" + program + "\"" : program;
  EXPECT_EQ(restarted.at("command_line"), expected_path + " --Restart");
  EXPECT_EQ(restarted.at("executable"), program);
  EXPECT_EQ(restarted.at("is_restart"), "1");
  EXPECT_EQ(restarted.at("old_ended"), "1");
}

INSTANTIATE_TEST_SUITE_P(
    Folders, RestartLaunch,
    ::testing::Values(LaunchCase{"PlainPath", "bin/restart_probe", false},
                      LaunchCase{"PathWithBlanks", "Program Files/OV Telquin/restart probe",
                                 true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RestartLock, ALaunchWhileAnotherAgentRestartsWaitsForItAndFails) {
  ovt_test::TempRoot root;
  const pid_t holder = ovt_test::StartProbe(OVT_RESTART_PROBE, {"hold", "400"});
  ASSERT_GT(holder, 0);
  ASSERT_TRUE(ovt_test::WaitForFile(root.path() + "/holding"));

  EXPECT_EQ(RunProbe(OVT_RESTART_PROBE, {"launch"}), platform::TerminationStatus());
  const auto launch = ovt_test::ReadRecord(root.path() + "/launch.txt");
  EXPECT_EQ(launch.at("result"), "0");
  // It returned only once the holder had let go.
  EXPECT_EQ(launch.at("holder_done"), "1");
  EXPECT_EQ(ExitCode(ovt_test::WaitForExit(holder)), 0);
  // No new agent was started.
  EXPECT_FALSE(fs::exists(root.path() + "/restarted-waiting"));
  EXPECT_FALSE(fs::exists(root.path() + "/restarted.txt"));
}

TEST(RestartLock, AnAgentStartedByARestartWaitsWhileTheLockIsHeld) {
  ovt_test::TempRoot root;
  const pid_t holder = ovt_test::StartProbe(OVT_RESTART_PROBE, {"hold", "400"});
  ASSERT_GT(holder, 0);
  ASSERT_TRUE(ovt_test::WaitForFile(root.path() + "/holding"));
  EXPECT_EQ(RunProbe(OVT_RESTART_PROBE, {"wait"}), 0);
  EXPECT_EQ(ovt_test::ReadRecord(root.path() + "/wait.txt").at("holder_done"), "1");
  EXPECT_EQ(ExitCode(ovt_test::WaitForExit(holder)), 0);

  // The lock is free again: a later launch takes it (and ends its process).
  EXPECT_EQ(RunProbe(OVT_RESTART_PROBE, {"launch"}), platform::TerminationStatus());
  EXPECT_EQ(ovt_test::ReadRecord(root.path() + "/launch.txt").at("result"), "1");
  ASSERT_TRUE(ovt_test::WaitForFile(root.path() + "/restarted.txt"));
}

TEST(RestartLock, AnAgentWhoseStarterHasGoneDoesNotWait) {
  ovt_test::TempRoot root;
  EXPECT_EQ(RunProbe(OVT_RESTART_PROBE, {"wait"}), 0);
  EXPECT_EQ(ovt_test::ReadRecord(root.path() + "/wait.txt").at("holder_done"), "0");
  // Waiting takes nothing: the lock is still free for a holder.
  const pid_t holder = ovt_test::StartProbe(OVT_RESTART_PROBE, {"hold", "0"});
  ASSERT_GT(holder, 0);
  EXPECT_EQ(ExitCode(ovt_test::WaitForExit(holder)), 0);
}

TEST(TerminateSelf, EndsTheProcessAtOnceWithTheTerminationStatus) {
  ovt_test::TempRoot root;
  const int status = RunProbe(OVT_RESTART_PROBE, {"terminate"});
  EXPECT_EQ(status, platform::TerminationStatus());
  EXPECT_EQ(status, 3);  // 259 (STILL_ACTIVE) cut to the eight bits POSIX keeps
  EXPECT_FALSE(fs::exists(root.path() + "/terminate-returned"));
}

}  // namespace
}  // namespace agent
