#include "support/temp_root.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "link_log.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "support/agent_log_reader.h"

namespace ovt_test {

TempRoot::TempRoot() {
  std::string pattern = (std::filesystem::temp_directory_path() / "ovt-root-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  path_ = pattern;
  if (const char* old = std::getenv("OVTELQUIN_ROOT")) {
    had_previous_ = true;
    previous_ = old;
  }
  setenv("OVTELQUIN_ROOT", path_.c_str(), 1);
}

TempRoot::~TempRoot() {
  if (had_previous_) {
    setenv("OVTELQUIN_ROOT", previous_.c_str(), 1);
  } else {
    unsetenv("OVTELQUIN_ROOT");
  }
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::vector<std::string> TempRoot::LinkLogLines() const {
  const platform::LocalTime now = platform::Now();
  const std::string path =
      platform::DataPath(telquin::LinkLogPath(telquin::LogYear(now), now.month, now.day));
  return SplitCrLfLines(ReadFile(path));
}

std::vector<std::string> TempRoot::LinkLogTexts() const {
  std::vector<std::string> texts;
  for (const std::string& line : LinkLogLines()) {
    if (line.size() >= 51) texts.push_back(line.substr(50, line.size() - 51));
  }
  return texts;
}

std::vector<std::string> TempRoot::LinkLogEntries() const {
  std::vector<std::string> entries;
  for (const std::string& line : LinkLogLines()) {
    if (line.size() < 51) continue;
    std::string name = line.substr(30, 17);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    entries.push_back(name + "|" + line.substr(50, line.size() - 51));
  }
  return entries;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

}  // namespace ovt_test
