// Scratch folders, unique block names, the peer process and a recording
// callback, shared by the channel and TWAIN control tests.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "dslink/shared_message_channel.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/text.h"
#include "tests/platform/read_only_folder.h"
#include "tests/support/wait.h"

namespace tavrin::test {

inline std::string RandomHex() {
  static std::mutex mutex;
  static std::mt19937_64 generator{std::random_device{}()};
  std::lock_guard lock(mutex);
  std::ostringstream out;
  out << std::hex << generator();
  return out.str();
}

inline long long ElapsedMs(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               since)
      .count();
}

class ScratchFolder {
 public:
  ScratchFolder() {
    path_ = std::filesystem::temp_directory_path().string() + "/tavrin-dslink-" + RandomHex();
    platform::CreateFolders(path_);
  }
  ~ScratchFolder() { platform::DeleteFolderTree(path_); }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The peer program, with its log of finished steps and received messages.
class PeerProcess {
 public:
  PeerProcess(const ScratchFolder& scratch, const std::vector<std::string>& args)
      : log_(scratch / ("peer-" + RandomHex() + ".log")) {
    std::vector<std::string> all = {"--log", log_};
    all.insert(all.end(), args.begin(), args.end());
    std::string error;
    pid_ =
        platform::SpawnProcess(platform::ProgramFolder() + "/tavrin_channel_peer", all, {}, &error);
    EXPECT_GT(pid_, 0) << error;
  }
  ~PeerProcess() {
    if (pid_ > 0 && platform::ProcessRunning(pid_)) {
      Release();
      if (!platform::WaitProcess(pid_, 3000, nullptr)) {
        platform::KillProcess(pid_);
        platform::WaitProcess(pid_, 1000, nullptr);
      }
    }
  }
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::ifstream in(log_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  int Count(const std::string& line) const {
    int count = 0;
    for (const std::string& each : Lines()) count += each == line ? 1 : 0;
    return count;
  }
  bool WaitLine(const std::string& line, int times = 1, int timeoutMs = 10000) const {
    return WaitFor([&] { return Count(line) >= times; }, timeoutMs, 1);
  }
  // Lets a "hold" step go on.
  void Release() const { std::ofstream(log_ + ".go") << "go"; }
  // Exit status, or -1 when it did not end in time.
  int Wait(int timeoutMs = 10000) {
    int status = -1;
    if (!platform::WaitProcess(pid_, timeoutMs, &status)) return -1;
    return status;
  }

 private:
  std::string log_;
  int pid_ = -1;
};

struct ReceivedMessage {
  int code = 0;
  int param = 0;
  std::u16string text;
};

// Records every message; can keep the first one waiting in its block until
// ReleaseFirst().
class RecordingCallback : public ITwainDsCallback {
 public:
  explicit RecordingCallback(bool holdFirst = false) : holdFirst_(holdFirst) {}

  int OnMessage(ChannelBlock* block) override {
    std::unique_lock lock(mutex_);
    messages_.push_back({block->code, block->param, BlockText(*block)});
    changed_.notify_all();
    if (holdFirst_ && messages_.size() == 1) changed_.wait(lock, [&] { return released_; });
    return 1;
  }
  bool WaitCount(size_t count, int timeoutMs = 10000) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return messages_.size() >= count; });
  }
  void ReleaseFirst() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  std::vector<ReceivedMessage> Messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ReceivedMessage> messages_;
  bool holdFirst_ = false;
  bool released_ = false;
};

inline ChannelTimings FastTimings() {
  ChannelTimings timings;
  timings.pollIntervalUs = 1000;
  timings.sendTimeoutMs = 2000;
  timings.closeGraceMs = 500;
  return timings;
}

}  // namespace tavrin::test
