// A folder made read-only for one scope, for the cases where writing into
// it must fail as it does on a full disk.
#pragma once

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace tavrin::test {

// Read-only for this process for one scope: a read-only bind mount when we
// are root (root writes through any mode bits), else mode 0555.
class ReadOnlyFolder {
 public:
  explicit ReadOnlyFolder(const std::string& path) : path_(path) {
    if (geteuid() == 0) {
      mounted_ = mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) == 0;
      if (mounted_ &&
          mount(nullptr, path.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
        umount(path.c_str());
        mounted_ = false;
      }
      ok_ = mounted_;
    } else {
      ok_ = chmod(path.c_str(), 0555) == 0;
    }
  }
  ~ReadOnlyFolder() {
    if (mounted_)
      umount(path_.c_str());
    else if (ok_)
      chmod(path_.c_str(), 0755);
  }
  ReadOnlyFolder(const ReadOnlyFolder&) = delete;
  ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;

  bool ok() const { return ok_; }

 private:
  std::string path_;
  bool mounted_ = false;
  bool ok_ = false;
};

}  // namespace tavrin::test
