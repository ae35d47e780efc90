// Processes, the named lock, the exclusive append and the message box,
// with real child processes: ovt_process_helper (process_helper.cpp).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/process.h"
#include "support/temp_root.h"

extern char** environ;

namespace platform {
namespace {

using Opened = ProcessLock::Opened;

// A started program with pipes on its standard input, output and error.
class Child {
 public:
  Child(const std::string& program, const std::vector<std::string>& arguments) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe2";
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int result = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    input_ = in[1];
    output_ = out[0];
    errors_ = err[0];
    if (result != 0) {
      ADD_FAILURE() << "posix_spawn " << program << ": " << result;
      pid_ = -1;
    }
  }
  explicit Child(const std::vector<std::string>& arguments)
      : Child(OVT_PROCESS_HELPER, arguments) {}
  ~Child() {
    CloseInput();
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Wait();
    }
    close(output_);
    close(errors_);
  }

  // The next line of its output, without the line feed ("" at the end).
  std::string ReadLine() {
    std::string line;
    char c;
    while (read(output_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }
  std::string ReadOutput() { return ReadToEnd(output_); }
  std::string ReadErrors() { return ReadToEnd(errors_); }
  void CloseInput() {
    if (input_ >= 0) close(input_);
    input_ = -1;
  }
  // The wait status.
  int Wait() {
    int status = -1;
    while (pid_ > 0 && waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
  }

 private:
  static std::string ReadToEnd(int fd) {
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    return text;
  }

  pid_t pid_ = -1;
  int input_ = -1, output_ = -1, errors_ = -1;
};

int WaitFor(long pid) {
  int status = -1;
  while (waitpid(static_cast<pid_t>(pid), &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// The helper copied to `folder`/`name` (folders and blanks as given).
std::string CopyHelper(const std::string& folder, const std::string& name) {
  std::filesystem::create_directories(folder);
  const std::string path = folder + "/" + name;
  std::filesystem::copy_file(OVT_PROCESS_HELPER, path);
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return path;
}

std::vector<std::string> SplitNul(const std::string& text) {
  std::vector<std::string> parts;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\0', at);
    parts.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return parts;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return lines;
}

TEST(StartProcess, ReadsTheCommandLineTheWindowsWay) {
  ovt_test::TempRoot root;
  const std::string folder = root.path() + "/dir with blank";
  const std::string program = CopyHelper(folder, "ovt helper");
  const std::string out = folder + "/argv out";
  struct Case {
    std::string tail;
    std::vector<std::string> arguments;
  };
  const Case cases[] = {
      {"plain --Restart", {"plain", "--Restart"}},
      {"\"two words\"", {"two words"}},
      {"  spaced \t out  ", {"spaced", "out"}},
      {"a\\\"b", {"a\"b"}},
      {"\"a\\\"b c\"", {"a\"b c"}},
      {"back\\slash C:\\dir\\", {"back\\slash", "C:\\dir\\"}},
      {"\"trailing\\\\\"", {"trailing\\"}},
      {"\\\\\\\\\"x y\"", {"\\\\x y"}},  // 2n backslashes and a quote: n, and the quote opens
      {"\"\" x", {"", "x"}},
      {"a\"b c\"d", {"ab cd"}},
      {"\"x\"\"y\"", {"x\"y"}},
      {"\"unclosed part", {"unclosed part"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tail);
    RemoveFile(out);
    SystemError error;
    long pid = 0;
    ASSERT_TRUE(StartProcess("\"" + program + "\" argv \"" + out + "\" " + c.tail, &error, &pid))
        << error.text;
    const int status = WaitFor(pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::vector<std::string> expected{program, "argv", out};
    expected.insert(expected.end(), c.arguments.begin(), c.arguments.end());
    EXPECT_EQ(SplitNul(ovt_test::ReadFile(out)), expected);
  }
}

TEST(StartProcess, QuotedCommandLinesRoundTrip) {
  ovt_test::TempRoot root;
  const std::string folder = root.path() + "/dir with blank";
  const std::string program = CopyHelper(folder, "ovt helper.exe");
  const std::string out = folder + "/cmdline out";
  struct Case {
    std::vector<std::string> arguments;
    std::string quoted;  // how they follow "<program>" cmdline "<out>"
  };
  const Case cases[] = {
      {{"--Restart"}, "--Restart"},
      {{"two words", "plain"}, "\"two words\" plain"},
      {{"a\"b"}, "a\\\"b"},
      {{"a \"b\""}, "\"a \\\"b\\\"\""},
      {{""}, "\"\""},
      {{"tail\\"}, "tail\\"},
      {{"two\\ words\\"}, "\"two\\ words\\\\\""},
      {{"x\ty"}, "\"x\ty\""},
      {{"\\\"x"}, "\\\\\\\"x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.quoted);
    RemoveFile(out);
    std::vector<std::string> arguments{"cmdline", out};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    Child child(program, arguments);
    ASSERT_EQ(child.Wait(), 0);
    const std::string expected = "\"" + program + "\" cmdline \"" + out + "\" " + c.quoted;
    const std::vector<std::string> lines = Lines(ovt_test::ReadFile(out));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], expected);
    EXPECT_EQ(lines[1], std::filesystem::canonical(program).string());
    EXPECT_EQ(lines[2], "ovt helper");

    // Started from its own command line, it sees the same command line.
    RemoveFile(out);
    long pid = 0;
    SystemError error;
    ASSERT_TRUE(StartProcess(lines[0], &error, &pid)) << error.text;
    ASSERT_EQ(WaitFor(pid), 0);
    EXPECT_EQ(Lines(ovt_test::ReadFile(out)).at(0), expected);
  }
}

TEST(StartProcess, LooksUpABareProgramNameInThePath) {
  SystemError error;
  long pid = 0;
  ASSERT_TRUE(StartProcess("sh -c \"exit 7\"", &error, &pid)) << error.text;
  const int status = WaitFor(pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << status;
}

TEST(StartProcess, FailuresCarryTheSystemsError) {
  const std::pair<std::string, long> cases[] = {
      {"\"/no/such/dir/program\" --Restart", ENOENT},
      {"ovt-no-such-program-anywhere x", ENOENT},
      {"", EINVAL},
      {"   x", EINVAL},  // no program before the blank
  };
  for (const auto& [line, code] : cases) {
    SystemError error;
    long pid = -5;
    EXPECT_FALSE(StartProcess(line, &error, &pid)) << line;
    EXPECT_EQ(error.code, code) << line << ": " << error.text;
    EXPECT_FALSE(error.text.empty());
    EXPECT_EQ(pid, -5);
  }
  SystemError error;
  EXPECT_FALSE(StartProcess("/no/such/dir/program", &error));
  EXPECT_NE(error.text.find("/no/such/dir/program"), std::string::npos) << error.text;
}

TEST(StartProcess, TheNewProcessInheritsNoDescriptors) {
  ovt_test::TempRoot root;
  // One descriptor opened without close-on-exec, and the named lock.
  const int leaky = open("/dev/null", O_RDONLY);
  ASSERT_GE(leaky, 0);
  Opened opened{};
  auto lock = ProcessLock::Open("YOUR_RESTART-MUTEX_NAME", true, &opened, nullptr);
  ASSERT_TRUE(lock);
  const std::string out = root.path() + "/fds";
  long pid = 0;
  SystemError error;
  ASSERT_TRUE(StartProcess(std::string(OVT_PROCESS_HELPER) + " fds " + out, &error, &pid))
      << error.text;
  EXPECT_EQ(WaitFor(pid), 0);
  EXPECT_EQ(ovt_test::ReadFile(out), "");
  close(leaky);
}

std::string Name(Opened opened) {
  return opened == Opened::kCreated ? "created" : opened == Opened::kExisted ? "existed" : "denied";
}

TEST(ProcessLock, AnotherProcessHoldingItMakesItExist) {
  ovt_test::TempRoot root;
  const std::string name = "YOUR_RESTART-MUTEX_NAME";
  {
    Child holder({"hold-lock", name});
    ASSERT_EQ(holder.ReadLine(), "created");
    for (const bool take : {true, false}) {
      Opened opened = Opened::kCreated;
      SystemError error;
      auto lock = ProcessLock::Open(name, take, &opened, &error);
      ASSERT_TRUE(lock) << error.text;
      EXPECT_EQ(Name(opened), "existed") << "take " << take;
    }
    holder.CloseInput();
    EXPECT_EQ(holder.Wait(), 0);
  }
  // Its end released it.
  Opened opened = Opened::kExisted;
  auto lock = ProcessLock::Open(name, true, &opened, nullptr);
  ASSERT_TRUE(lock);
  EXPECT_EQ(Name(opened), "created");
  EXPECT_TRUE(std::filesystem::exists(root.path() + "/" + name + ".lock"));

  // Held here, the other process finds it taken.
  Child other({"hold-lock", name});
  EXPECT_EQ(other.ReadLine(), "existed");
  other.CloseInput();
  EXPECT_EQ(other.Wait(), 0);

  // Released here, it is free again; opening without taking leaves it free.
  lock.reset();
  for (int i = 0; i < 2; ++i) {
    auto look = ProcessLock::Open(name, false, &opened, nullptr);
    ASSERT_TRUE(look);
    EXPECT_EQ(Name(opened), "created");
  }
}

TEST(ProcessLock, WaitUntilFreeReturnsWhenTheHolderEnds) {
  ovt_test::TempRoot root;
  const std::string name = "YOUR_RESTART-MUTEX_NAME";
  Child holder({"hold-lock", name});
  ASSERT_EQ(holder.ReadLine(), "created");
  Opened opened{};
  auto lock = ProcessLock::Open(name, false, &opened, nullptr);
  ASSERT_TRUE(lock);
  ASSERT_EQ(Name(opened), "existed");
  std::atomic<bool> returned{false};
  std::thread waiter([&] {
    lock->WaitUntilFree();
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(returned) << "returned while the holder still held it";
  holder.CloseInput();  // the holder ends
  waiter.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(holder.Wait(), 0);
  // The wait gave the lock back: it is free.
  auto again = ProcessLock::Open(name, true, &opened, nullptr);
  ASSERT_TRUE(again);
  EXPECT_EQ(Name(opened), "created");
}

TEST(ProcessLock, TheOwnerWaitsForNothingAndKeepsIt) {
  ovt_test::TempRoot root;
  Opened opened{};
  auto lock = ProcessLock::Open("YOUR_RESTART-MUTEX_NAME", true, &opened, nullptr);
  ASSERT_TRUE(lock);
  ASSERT_EQ(Name(opened), "created");
  lock->WaitUntilFree();
  Child other({"hold-lock", "YOUR_RESTART-MUTEX_NAME"});
  EXPECT_EQ(other.ReadLine(), "existed");
}

TEST(ProcessLock, IsNotInheritedByAStartedProcess) {
  ovt_test::TempRoot root;
  const std::string name = "YOUR_RESTART-MUTEX_NAME";
  Opened opened{};
  auto lock = ProcessLock::Open(name, true, &opened, nullptr);
  ASSERT_TRUE(lock);
  long pid = 0;
  SystemError error;
  ASSERT_TRUE(StartProcess(std::string(OVT_PROCESS_HELPER) + " pause", &error, &pid))
      << error.text;
  lock.reset();
  // The started process still runs; had it inherited the descriptor, it
  // would still hold the lock.
  auto again = ProcessLock::Open(name, true, &opened, nullptr);
  ASSERT_TRUE(again);
  EXPECT_EQ(Name(opened), "created");
  kill(static_cast<pid_t>(pid), SIGTERM);
  const int status = WaitFor(pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
}

TEST(ProcessLock, NamesAndAMissingRoot) {
  ovt_test::TempRoot root;
  const std::string deeper = root.path() + "/not/yet";
  setenv("OVTELQUIN_ROOT", deeper.c_str(), 1);
  Opened opened{};
  SystemError error;
  auto lock = ProcessLock::Open("Global\\OVT/Lock", true, &opened, &error);
  ASSERT_TRUE(lock) << error.text;
  EXPECT_EQ(Name(opened), "created");
  EXPECT_TRUE(std::filesystem::exists(deeper + "/Global_OVT_Lock.lock"));
  EXPECT_EQ(ProcessLock::Open("", true, &opened, &error), nullptr);
  EXPECT_EQ(error.code, EINVAL);
}

TEST(TerminateCurrentProcess, EndsAtOnceWithTheTerminationStatus) {
  EXPECT_EQ(TerminationStatus(), 3);
  Child child({"terminate"});
  // No exit handler, no destructor, no thread got to run on.
  EXPECT_EQ(child.ReadErrors(), "");
  const int status = child.Wait();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), TerminationStatus());
}

TEST(ShowMessageBox, WritesOneLineToStandardError) {
  ovt_test::TempRoot root;
  const std::string program = CopyHelper(root.path() + "/bin", "OVTelquin.exe");
  const std::pair<std::string, std::string> cases[] = {
      {"결과데이터 파일을 열수 없습니다.", "OVTelquin: 결과데이터 파일을 열수 없습니다.\n"},
      {"Telquin.dll 로드 실패!", "OVTelquin: Telquin.dll 로드 실패!\n"},
      {"", "OVTelquin: \n"},
  };
  for (const auto& [text, line] : cases) {
    Child child(program, {"box", text});
    EXPECT_EQ(child.ReadErrors(), line);
    EXPECT_EQ(child.Wait(), 0);
  }
  EXPECT_EQ(ApplicationName(), "platform_tests");
}

TEST(AppendToFileExclusive, FailsWhileAnotherProcessHoldsTheFile) {
  ovt_test::TempRoot root;
  const std::string path = root.path() + "/OVTelquin_20231207.log";
  {
    Child holder({"hold-flock", path});
    ASSERT_EQ(holder.ReadLine(), "locked");
    EXPECT_EQ(AppendToFileExclusive(path, "lost\r\n", 6), AppendResult::kHeldByAnother);
    holder.CloseInput();
    EXPECT_EQ(holder.Wait(), 0);
  }
  EXPECT_EQ(AppendToFileExclusive(path, "first\r\n", 7), AppendResult::kAppended);
  EXPECT_EQ(AppendToFileExclusive(path, "second\r\n", 8), AppendResult::kAppended);
  EXPECT_EQ(ovt_test::ReadFile(path), "first\r\nsecond\r\n");
  EXPECT_EQ(AppendToFileExclusive(root.path() + "/no/such/folder/x.log", "x", 1),
            AppendResult::kFailed);
}

// Writers that meet fail rather than wait or mix: the file holds exactly
// the lines whose appends succeeded, each whole.
TEST(AppendToFileExclusive, WritersThatMeetNeverMix) {
  ovt_test::TempRoot root;
  const std::string path = root.path() + "/lines.log";
  constexpr int kThreads = 4, kLines = 300;
  std::atomic<int> written{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      const std::string line = std::string(3000, static_cast<char>('a' + t)) + "\r\n";
      for (int i = 0; i < kLines; ++i) {
        if (AppendToFileExclusive(path, line.data(), line.size()) == AppendResult::kAppended) {
          ++written;
        }
      }
    });
  }
  for (auto& w : writers) w.join();
  const std::string content = ovt_test::ReadFile(path);
  ASSERT_GT(written.load(), 0);
  ASSERT_EQ(content.size(), static_cast<size_t>(written.load()) * 3002);
  for (size_t at = 0; at < content.size(); at += 3002) {
    ASSERT_EQ(content.find_first_not_of(content[at], at), at + 3000) << "line at " << at;
    ASSERT_EQ(content.substr(at + 3000, 2), "\r\n");
  }
}

}  // namespace
}  // namespace platform
