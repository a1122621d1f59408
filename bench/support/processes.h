// What the benches read of other processes in /proc.
#pragma once

#include <string>

namespace tavrin::bench {

// utime + stime of a process or one of its threads (/proc/<pid>/stat or
// /proc/<pid>/task/<tid>/stat), in seconds; -1 when it is gone.
double CpuSecondsOf(const std::string& statPath);
// Resident memory of a process in megabytes; 0 when it is gone.
double ResidentMb(int pid);
// The process named name whose parent is parent, or -1.
int ChildNamed(int parent, const std::string& name);
// Prints "load <when> <1 min> <5 min> <15 min>" from /proc/loadavg: the
// machine's load beside the figures measured in it.
void PrintLoad(const char* when);

}  // namespace tavrin::bench
