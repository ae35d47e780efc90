// A full disk for one test: a small tmpfs mounted at a folder and filled,
// so that writes there fail as they do on a full disk (ENOSPC), with the
// rest of the system untouched.
//
//   ovt_test::FullDisk disk(root.path() + "/full");
//   if (!disk.Mounted()) GTEST_SKIP() << disk.Reason();
//   disk.Fill(ovt_test::FullDisk::kBlocksAndFiles);
//   ... ; disk.Free();
//
// Mounting needs root (CAP_SYS_ADMIN); elsewhere Mounted() is false and
// Reason() says why. The mount is detached when the object goes, even
// while a process still has its working directory there.
#pragma once

#include <string>

namespace ovt_test {

class FullDisk {
 public:
  explicit FullDisk(std::string path);
  ~FullDisk();
  FullDisk(const FullDisk&) = delete;
  FullDisk& operator=(const FullDisk&) = delete;

  bool Mounted() const { return mounted_; }
  const std::string& Reason() const { return reason_; }
  const std::string& path() const { return path_; }

  enum Fullness {
    kBlocks,          // no byte can be written; new empty files can still be made
    kBlocksAndFiles,  // not even an empty file can be made
  };
  // Fills the disk; true when it is as full as asked.
  bool Fill(Fullness fullness);
  // Removes what Fill wrote: the disk has room again.
  void Free();

 private:
  std::string path_;
  std::string reason_;
  bool mounted_ = false;
  int files_ = 0;
  long free_files_ = 0;  // free inodes of the empty disk
};

}  // namespace ovt_test
