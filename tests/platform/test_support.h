// Scratch folders and the peer program shared by the platform tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace tavrin::platform::test {

// The uid and gid of "nobody", used as the foreign user when we are root.
constexpr int kNobodyId = 65534;

class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/tavrin-pt-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchFolder() {
    if (!path_.empty()) DeleteFolderTree(path_);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string PeerPath() {
  return ProgramFolder() + "/tavrin_platform_peer";
}

// Runs the peer with args and returns its exit status, or -1 when it could
// not be started or did not end within 10 s.
inline int RunPeer(const std::vector<std::string>& args,
                   const std::vector<std::string>& extraEnv = {}) {
  std::string error;
  const int pid = SpawnProcess(PeerPath(), args, extraEnv, &error);
  if (pid < 0) {
    ADD_FAILURE() << error;
    return -1;
  }
  int status = -1;
  if (!WaitProcess(pid, 10000, &status)) {
    KillProcess(pid);
    WaitProcess(pid, 1000, &status);
    return -1;
  }
  return status;
}

}  // namespace tavrin::platform::test
