// Scratch folders for file tests: a private folder that is removed at the
// end, and optionally a small tmpfs mounted on it (read-only or tiny), so a
// failing write can be shown even when the tests run as root.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/paths.h"

namespace tavrin::test {

class ScratchFolder {
 public:
  ScratchFolder() {
    static std::atomic<int> counter{0};
    const std::string base = platform::PrivateTempFolder();
    path = (base.empty() ? std::string("/tmp/") : base) + "tavrin-test-" +
           std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
           std::to_string(counter++);
    std::filesystem::create_directories(path);
  }
  ~ScratchFolder() {
    if (mounted) std::system(("umount " + path + " 2>/dev/null").c_str());
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  // Mounts a tmpfs of sizeKb on the folder; false when this machine does not
  // allow it (not root, no mount command).
  bool MountTmpfs(int sizeKb) {
    const std::string command =
        "mount -t tmpfs -o size=" + std::to_string(sizeKb) + "k tmpfs " + path + " 2>/dev/null";
    mounted = std::system(command.c_str()) == 0;
    return mounted;
  }
  bool RemountReadOnly() {
    return std::system(("mount -o remount,ro " + path + " 2>/dev/null").c_str()) == 0;
  }

  std::string File(const std::string& name) const { return path + "/" + name; }

  std::string path;
  bool mounted = false;
};

inline void WriteBytes(const std::string& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline std::string ReadBytes(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Fills a mounted tmpfs until writes fail.
inline void FillDisk(const std::string& file) {
  std::ofstream out(file, std::ios::binary);
  const std::string block(4096, 'x');
  for (int i = 0; i < 100000 && out; ++i) out.write(block.data(), block.size()), out.flush();
}

}  // namespace tavrin::test
