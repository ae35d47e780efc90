// A stand-in agent for the restart and log tests: each mode runs one of the
// agent's operations in a process of its own and records what happened in
// files of the data root ($OVTELQUIN_ROOT), which the tests read.
//
//   restart_probe --Restart        as an agent started by a restart: records
//                                  its command line, waits for the agent
//                                  that started it, records whether that
//                                  one had ended          -> restarted.txt
//   restart_probe launch           LaunchRestartInstance  -> launch.txt; once
//                                  the new agent waits, ends through
//                                  TerminateSelf (old-ended just before)
//   restart_probe hold MS          holds the restart lock for MS ms
//                                  (holding, then hold-done before release)
//   restart_probe wait             WaitForRestartingInstance -> wait.txt
//   restart_probe is-restart ...   IsRestartLaunch        -> is-restart.txt
//   restart_probe terminate        TerminateSelf; exit 99 if it returns
//   restart_probe log N TAG        N agent log lines labelled TAG, then
//                                  log-TAG.done
//   restart_probe hold-log MS      holds today's agent log file for MS ms
//                                  (log-held, then log-released)
//
// Records are "key=value" lines, written whole (a rename) so that a reader
// never sees half of one.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "common/agent_log.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/process.h"
#include "shell/restart.h"

namespace {

std::string InRoot(const std::string& name) { return platform::DataRoot() + "/" + name; }

bool Exists(const std::string& name) { return std::filesystem::exists(InRoot(name)); }

void Record(const std::string& name,
            const std::vector<std::pair<std::string, std::string>>& fields) {
  const std::string path = InRoot(name);
  {
    std::ofstream out(path + ".tmp", std::ios::binary | std::ios::trunc);
    for (const auto& [key, value] : fields) out << key << '=' << value << '\n';
  }
  std::filesystem::rename(path + ".tmp", path);
}

void Touch(const std::string& name) { Record(name, {}); }

// Sleeps in 10 ms steps until the file is there; false after `timeout_ms`.
bool AwaitFile(const std::string& name, uint32_t timeout_ms) {
  const uint32_t start = platform::TickCount();
  while (!Exists(name)) {
    if (platform::TickCount() - start > timeout_ms) return false;
    platform::SleepMs(10);
  }
  return true;
}

std::string Flag(bool b) { return b ? "1" : "0"; }

int Restarted() {
  std::vector<std::pair<std::string, std::string>> fields = {
      {"command_line", platform::OwnCommandLine()},
      {"executable", platform::OwnExecutablePath()},
      {"is_restart", Flag(agent::IsRestartLaunch())},
  };
  Touch("restarted-waiting");
  agent::WaitForRestartingInstance();
  // The starter writes old-ended just before it ends, and the wait returns
  // only once it has ended.
  fields.emplace_back("old_ended", Flag(Exists("old-ended")));
  Record("restarted.txt", fields);
  return 0;
}

int Launch() {
  const int result = agent::LaunchRestartInstance();
  Record("launch.txt", {{"result", std::to_string(result)}, {"holder_done", Flag(Exists("hold-done"))}});
  // Stay until the new agent waits for this one, so that its wait is real.
  if (result != 0 && AwaitFile("restarted-waiting", 30000)) platform::SleepMs(100);
  Touch("old-ended");
  agent::TerminateSelf();
  Touch("terminate-returned");
  return 99;
}

int Hold(uint32_t ms) {
  platform::ProcessLock::Opened opened = platform::ProcessLock::Opened::kCreated;
  platform::SystemError error;
  auto lock = platform::ProcessLock::Open(agent::kRestartMutexName, true, &opened, &error);
  if (lock == nullptr || opened != platform::ProcessLock::Opened::kCreated) return 2;
  Touch("holding");
  platform::SleepMs(ms);
  Touch("hold-done");
  return 0;
}

int Wait() {
  agent::WaitForRestartingInstance();
  Record("wait.txt", {{"holder_done", Flag(Exists("hold-done"))}});
  return 0;
}

int IsRestart() {
  Record("is-restart.txt", {{"is_restart", Flag(agent::IsRestartLaunch())},
                            {"command_line", platform::OwnCommandLine()}});
  return 0;
}

int Terminate() {
  agent::TerminateSelf();
  Touch("terminate-returned");
  return 99;
}

int Log(int count, const std::string& tag) {
  for (int i = 0; i < count; ++i) {
    agent::WriteAgentLog(i, tag.c_str(), ("line " + std::to_string(i)).c_str());
  }
  Touch("log-" + tag + ".done");
  return 0;
}

// Holds today's agent log the way another agent's writer holds it while it
// appends a line.
int HoldLog(uint32_t ms) {
  const platform::LocalTime now = platform::Now();
  const int year = now.years_since_1900 > 95 ? now.years_since_1900 + 1900
                                             : now.years_since_1900 + 2000;
  const std::string dir = platform::DataPath("C:\\ORVAlog");
  platform::MakeDirectory(dir);
  const std::string path = platform::DataPath(agent::AgentLogPath(year, now.month, now.day));
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) return 2;
  Touch("log-held");
  platform::SleepMs(ms);
  Touch("log-released");
  flock(fd, LOCK_UN);
  close(fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return 64;
  const std::string& mode = args[0];
  if (mode == agent::kRestartFlag) return Restarted();
  if (mode == "launch") return Launch();
  if (mode == "hold" && args.size() == 2) return Hold(static_cast<uint32_t>(std::stoul(args[1])));
  if (mode == "wait") return Wait();
  if (mode == "is-restart") return IsRestart();
  if (mode == "terminate") return Terminate();
  if (mode == "log" && args.size() == 3) return Log(std::stoi(args[1]), args[2]);
  if (mode == "hold-log" && args.size() == 2) {
    return HoldLog(static_cast<uint32_t>(std::stoul(args[1])));
  }
  return 64;
}
