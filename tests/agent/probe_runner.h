// Starting the agent test probe (restart_probe.cpp) as a real process and
// reading what it records in the data root.
#pragma once

#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_root.h"

extern char** environ;

namespace ovt_test {

// Starts `program` with `args`; the child inherits the environment, so the
// data root (OVTELQUIN_ROOT) too. -1 when it cannot be started.
inline pid_t StartProbe(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> strings;
  strings.push_back(program);
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

// The wait status of the ended child.
inline int WaitForExit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// Looks for the file every 10 ms until it exists or `timeout_ms` passed.
inline bool WaitForFile(const std::string& path, int timeout_ms = 30000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!std::filesystem::exists(path)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// A record of "key=value" lines, as the probe writes them.
inline std::map<std::string, std::string> ReadRecord(const std::string& path) {
  std::map<std::string, std::string> record;
  std::istringstream in(ReadFile(path));
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) record[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return record;
}

}  // namespace ovt_test
