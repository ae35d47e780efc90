#include "support/full_disk.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <cstring>
#include <filesystem>
#include <string>

namespace ovt_test {
namespace {

// Small, so that filling it is quick; few inodes, so that they run out
// too. Files on tmpfs take whole pages.
constexpr const char* kMountOptions = "size=256k,nr_inodes=64,mode=0777";
constexpr const char* kFiller = "/.filler";

// Free inodes of the file system at `path`, or -1.
long FreeFiles(const std::string& path) {
  struct statvfs stats {};
  if (statvfs(path.c_str(), &stats) != 0) return -1;
  return static_cast<long>(stats.f_ffree);
}

}  // namespace

FullDisk::FullDisk(std::string path) : path_(std::move(path)) {
  std::error_code ec;
  std::filesystem::create_directories(path_, ec);
  if (geteuid() != 0) {
    reason_ = "a full disk needs a tmpfs, and only root may mount one";
    return;
  }
  if (mount("ovt-full", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, kMountOptions) != 0) {
    reason_ = std::string("mount tmpfs: ") + std::strerror(errno);
    return;
  }
  mounted_ = true;
  free_files_ = FreeFiles(path_);
}

FullDisk::~FullDisk() {
  if (mounted_) umount2(path_.c_str(), MNT_DETACH);
}

bool FullDisk::Fill(Fullness fullness) {
  if (!mounted_) return false;
  const int fd = open((path_ + kFiller).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  static const char block[4096] = {};
  ssize_t n = 0;
  do {
    n = write(fd, block, sizeof block);
  } while (n > 0 || (n < 0 && errno == EINTR));
  const bool full = n < 0 && errno == ENOSPC;
  close(fd);
  if (!full) return false;
  if (fullness == kBlocks) return true;
  for (;;) {
    const std::string name = path_ + "/.empty-" + std::to_string(files_);
    const int empty = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (empty < 0) return errno == ENOSPC;
    close(empty);
    ++files_;
  }
}

void FullDisk::Free() {
  if (!mounted_) return;
  unlink((path_ + kFiller).c_str());
  for (; files_ > 0; --files_) unlink((path_ + "/.empty-" + std::to_string(files_ - 1)).c_str());
  // The kernel may give the inodes of removed files back a little later;
  // a disk filled again before that would have room once they come back.
  for (int i = 0; i < 500 && FreeFiles(path_) < free_files_; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace ovt_test
