// A temporary data root for one test: OVTELQUIN_ROOT points at it while the
// object lives, and it is removed afterwards.
#pragma once

#include <string>
#include <vector>

namespace ovt_test {

class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& path() const { return path_; }

  // Today's link log, split into lines without their CR LF.
  std::vector<std::string> LinkLogLines() const;
  // The text fields (column 49 on, without brackets) of those lines.
  std::vector<std::string> LinkLogTexts() const;
  // "name|text" of each line, names without their padding.
  std::vector<std::string> LinkLogEntries() const;

 private:
  std::string path_;
  std::string previous_;
  bool had_previous_ = false;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

}  // namespace ovt_test
