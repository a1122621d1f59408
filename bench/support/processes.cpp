#include "bench/support/processes.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace tavrin::bench {

namespace {

// Empty when the file cannot be read: a process that ends while its /proc
// files are read fails the read itself, which the stream reports by throwing.
std::string ReadAll(const std::filesystem::path& path) {
  try {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  } catch (const std::ios_base::failure&) {
    return {};
  }
}

}  // namespace

double CpuSecondsOf(const std::string& statPath) {
  const std::string text = ReadAll(statPath);
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return -1.0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double user = 0;
  double system = 0;
  // Fields from the state (3rd) on: utime is the 14th, stime the 15th.
  for (int index = 3; fields >> field; ++index) {
    if (index == 14) user = std::atof(field.c_str());
    if (index == 15) {
      system = std::atof(field.c_str());
      break;
    }
  }
  return (user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double ResidentMb(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  }
  return 0.0;
}

int ChildNamed(int parent, const std::string& name) {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string text = ReadAll(entry.path() / "stat");
    const size_t open = text.find('(');
    const size_t close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    if (text.substr(open + 1, close - open - 1) != name) continue;
    std::istringstream rest(text.substr(close + 2));
    std::string state;
    int ppid = 0;
    rest >> state >> ppid;
    if (ppid == parent) return std::stoi(pid);
  }
  return -1;
}

void PrintLoad(const char* when) {
  std::istringstream load(ReadAll("/proc/loadavg"));
  std::string one;
  std::string five;
  std::string fifteen;
  load >> one >> five >> fifteen;
  std::printf("load %s %s %s %s\n", when, one.c_str(), five.c_str(), fifteen.c_str());
  std::fflush(stdout);
}

}  // namespace tavrin::bench
