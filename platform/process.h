// Child processes (posix_spawn) for the data source, which starts the scan
// window and watches it.
#pragma once

#include <string>
#include <vector>

namespace tavrin::platform {

// Starts program with args (args[0] is not implied: it is program) and the
// current environment plus extraEnv ("NAME=value" entries override), in a
// process group of its own. Returns the process id, or -1 with error set.
// With outputToErrors the child's standard output goes to this process's
// standard error, so that what it prints never mixes with what this
// process prints as its result.
int SpawnProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& extraEnv, std::string* error = nullptr,
                 bool outputToErrors = false);
// True while the child runs; reaps it once it has ended.
bool ProcessRunning(int pid);
// Waits up to timeoutMs for the child to end; true with its exit status
// (or 128 + signal) when it did.
bool WaitProcess(int pid, int timeoutMs, int* exitStatus);
void KillProcess(int pid);
// Replaces this process by program with argv (null-terminated) and the
// current environment; returns only when that fails.
void ReplaceProcess(const std::string& program, char** argv);
int CurrentProcessId();

}  // namespace tavrin::platform
