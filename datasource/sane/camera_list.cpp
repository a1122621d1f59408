#include "datasource/sane/camera_list.h"

#include <unistd.h>

#include <atomic>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace tavrin::sane {

namespace {

// Finding the cameras takes well under a second; a hung device must not
// hang the frontend's device list.
constexpr int kListTimeoutMs = 10000;
constexpr size_t kMaxListBytes = 64 * 1024;

}  // namespace

std::vector<std::string> ParseCameraList(const std::string& text, std::vector<int>* widestPx) {
  std::vector<std::string> names;
  if (widestPx != nullptr) widestPx->clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    int widest = 0;
    const size_t tab = line.find('\t');
    if (tab != std::string::npos) {
      const std::string width = line.substr(tab + 1);
      if (!width.empty() && width.size() < 7 &&
          width.find_first_not_of("0123456789") == std::string::npos)
        widest = std::stoi(width);
      line.resize(tab);
    }
    if (!line.empty()) {
      names.push_back(line);
      if (widestPx != nullptr) widestPx->push_back(widest);
    }
    start = end + 1;
  }
  return names;
}

bool ListCameras(const std::string& programFolder, std::vector<std::string>& names,
                 std::string& error, std::vector<int>* widestPx) {
  names.clear();
  const std::string program = programFolder + "/tavrin-cameras";
  if (!platform::PathExists(program)) {
    error = "no camera list program at " + program + " (check the folder in tavrin.conf)";
    return false;
  }
  const std::string temp = platform::PrivateTempFolder();
  if (temp.empty()) {
    error = "no private temporary folder";
    return false;
  }
  static std::atomic<int> counter{0};
  const std::string output = temp + "tavrin-cameras-" + std::to_string(getpid()) + "-" +
                             std::to_string(counter++) + ".txt";
  std::string spawnError;
  const int pid = platform::SpawnProcess(program, {output}, {}, &spawnError);
  if (pid < 0) {
    error = "cannot run " + program + ": " + spawnError;
    return false;
  }
  int status = -1;
  if (!platform::WaitProcess(pid, kListTimeoutMs, &status)) {
    platform::KillProcess(pid);
    platform::WaitProcess(pid, 2000, nullptr);
    platform::DeleteFilePath(output);
    error = program + " did not answer in time";
    return false;
  }
  std::string text;
  const bool read = platform::ReadWholeFile(output, text);
  platform::DeleteFilePath(output);
  if (status != 0 || !read) {
    error = program + " failed (status " + std::to_string(status) + ")";
    return false;
  }
  if (text.size() > kMaxListBytes) text.resize(kMaxListBytes);
  names = ParseCameraList(text, widestPx);
  return true;
}

}  // namespace tavrin::sane
