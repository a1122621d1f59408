#include "platform/process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

extern char** environ;

namespace tavrin::platform {
namespace {

// Exit statuses of children that ProcessRunning reaped, so that a later
// WaitProcess still learns how they ended.
std::mutex reapedMutex;
std::map<int, int> reapedStatus;

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::string NameOf(const std::string& entry) {
  return entry.substr(0, entry.find('='));
}

// 1: ended (status set), 0: running, -1: not a child of ours.
int Reap(int pid, int* status) {
  {
    std::lock_guard lock(reapedMutex);
    auto it = reapedStatus.find(pid);
    if (it != reapedStatus.end()) {
      if (status) *status = it->second;
      return 1;
    }
  }
  int raw = 0;
  pid_t result = 0;
  do {
    result = waitpid(pid, &raw, WNOHANG);
  } while (result < 0 && errno == EINTR);
  if (result == 0) return 0;
  if (result < 0) return -1;
  const int decoded = DecodeStatus(raw);
  std::lock_guard lock(reapedMutex);
  reapedStatus[pid] = decoded;
  if (status) *status = decoded;
  return 1;
}

}  // namespace

int SpawnProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& extraEnv, std::string* error,
                 bool outputToErrors) {
  std::vector<std::string> environment;
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string text = *entry;
    bool overridden = false;
    for (const std::string& extra : extraEnv)
      overridden = overridden || NameOf(extra) == NameOf(text);
    if (!overridden) environment.push_back(text);
  }
  for (const std::string& extra : extraEnv) environment.push_back(extra);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  // The child starts with no blocked signals and default SIGPIPE, whatever
  // this process set for its own threads. It runs in a process group of its
  // own: a terminal's Ctrl-C goes to the foreground group, and must reach
  // only this process, which ends its children in order (a scan window
  // killed by it mid-capture would lose the page and say why nowhere).
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (outputToErrors) posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  pid_t pid = -1;
  const int code =
      posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (code != 0) {
    if (error) *error = "start " + program + ": " + std::strerror(code);
    return -1;
  }
  {
    std::lock_guard lock(reapedMutex);
    reapedStatus.erase(pid);  // a reused id from an earlier child
  }
  return pid;
}

bool ProcessRunning(int pid) {
  if (pid <= 0) return false;
  const int state = Reap(pid, nullptr);
  if (state >= 0) return state == 0;
  return kill(pid, 0) == 0 || errno == EPERM;
}

bool WaitProcess(int pid, int timeoutMs, int* exitStatus) {
  if (pid <= 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    const int state = Reap(pid, &status);
    if (state == 1) {
      if (exitStatus) *exitStatus = status;
      return true;
    }
    if (state < 0) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void KillProcess(int pid) {
  // kill(0) and kill(-1) would reach the whole group or every process.
  if (pid <= 0) return;
  kill(pid, SIGKILL);
}

void ReplaceProcess(const std::string& program, char** argv) {
  execv(program.c_str(), argv);
}

int CurrentProcessId() {
  return static_cast<int>(getpid());
}

}  // namespace tavrin::platform
