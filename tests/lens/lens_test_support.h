// Shared set-up of the camera-library tests: the built libTavrinLens.so
// loaded through the real CameraLibrary binding, virtual cameras chosen by
// the environment, a private folder for the files, and readers that decode
// the files again.
// Threads: the test thread; callbacks record into Recorder under its lock.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "camera/camera_library.h"

namespace tavrin::lens_test {

inline std::string ProgramFolder() {
  return TAVRIN_TEST_PROGRAM_DIR;
}

// A folder of its own under the build tree, removed afterwards.
class ScratchFolder {
 public:
  ScratchFolder() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    // Memory-backed when there is such a folder: every capture is flushed to
    // disk, and a thousand of them on a real disk take half a minute.
    std::error_code error;
    const std::filesystem::path root =
        std::filesystem::is_directory("/dev/shm", error) && ::access("/dev/shm", W_OK) == 0
            ? std::filesystem::path("/dev/shm")
            : std::filesystem::temp_directory_path();
    path_ = root / ("tavrin-lens-test-" + std::to_string(::getpid()) + "-" +
                    (info != nullptr ? std::string(info->name()) : std::string("x")));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Sets the virtual camera list before the library is initialised.
inline void UseVirtualCameras(const std::string& list, const std::string& listFile = {}) {
  ::setenv("TAVRIN_LENS_VIRTUAL", list.c_str(), 1);
  if (listFile.empty()) {
    ::unsetenv("TAVRIN_LENS_VIRTUAL_FILE");
  } else {
    ::setenv("TAVRIN_LENS_VIRTUAL_FILE", listFile.c_str(), 1);
  }
  ::setenv("TAVRIN_LENS_V4L2", "0", 1);
}

inline void WriteText(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
  }
  std::filesystem::rename(temporary, path);
}

// Loads the library from the program folder and initialises it; the
// destructor uninitialises and unloads.
class LoadedLens {
 public:
  LoadedLens() {
    loaded = lens.LoadFromFolder(ProgramFolder());
    if (loaded) initStatus = lens.camInitCameraLib();
  }
  ~LoadedLens() {
    if (loaded) {
      lens.camUnInitCameraLib();
      lens.UnloadModule();
    }
  }
  bool Ready() const { return loaded && initStatus == 0; }

  CameraLibrary lens;
  bool loaded = false;
  int initStatus = -1;
};

// The values a callback was called with, in order.
class Recorder {
 public:
  void Add(int value) {
    {
      std::lock_guard lock(mutex_);
      values_.push_back(value);
    }
    changed_.notify_all();
  }
  std::vector<int> Values() const {
    std::lock_guard lock(mutex_);
    return values_;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    values_.clear();
  }
  // Waits until at least count values came, or the timeout passed.
  bool WaitForCount(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return values_.size() >= count; });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int> values_;
};

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What a file says about itself, read from its own header bytes.
struct FileFacts {
  std::string format;  // "jpeg", "png", "bmp" or ""
  int width = 0;
  int height = 0;
  int dpiX = 0;
  int dpiY = 0;
};

FileFacts ReadFileFacts(const std::string& path);

int CountThreads();
int CountOpenFiles();

}  // namespace tavrin::lens_test
