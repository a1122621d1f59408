#include "platform/bus_guard.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace tavrin::platform {
namespace {

// A slot is free while unclaimed, and seen by the handler once begin is set.
struct GuardedMapping {
  std::atomic<bool> claimed{false};
  std::atomic<uintptr_t> begin{0};
  std::atomic<size_t> length{0};
  std::atomic<bool> lost{false};
};
constexpr size_t kGuardSlots = 64;
std::array<GuardedMapping, kGuardSlots> guarded;
struct sigaction previousBusAction {};

// Faults outside every guarded mapping go to whatever handler was there
// before.
void PassOnBusSignal(int signal, siginfo_t* info, void* context) {
  if ((previousBusAction.sa_flags & SA_SIGINFO) != 0 && previousBusAction.sa_sigaction != nullptr) {
    previousBusAction.sa_sigaction(signal, info, context);
    return;
  }
  if (previousBusAction.sa_handler != SIG_DFL && previousBusAction.sa_handler != SIG_IGN) {
    previousBusAction.sa_handler(signal);
    return;
  }
  // Blocked while we run, so delivered with its default action on return.
  ::signal(SIGBUS, SIG_DFL);
  raise(SIGBUS);
}

void OnBusSignal(int signal, siginfo_t* info, void* context) {
  const int savedErrno = errno;
  const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  for (GuardedMapping& mapping : guarded) {
    const uintptr_t begin = mapping.begin.load(std::memory_order_acquire);
    const size_t length = mapping.length.load(std::memory_order_acquire);
    if (begin == 0 || address < begin || address - begin >= length) continue;
    void* replaced = mmap(reinterpret_cast<void*>(begin), length, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (replaced == MAP_FAILED) break;
    std::memset(replaced, 0xFF, length);
    mapping.lost.store(true, std::memory_order_release);
    errno = savedErrno;
    return;
  }
  errno = savedErrno;
  PassOnBusSignal(signal, info, context);
}

void InstallBusGuard() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    struct sigaction action {};
    action.sa_sigaction = &OnBusSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &previousBusAction);
  });
}

size_t PageRounded(size_t size) {
  const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return (size + page - 1) / page * page;
}

}  // namespace

int GuardMapping(void* data, size_t size) {
  InstallBusGuard();
  for (size_t i = 0; i < guarded.size(); ++i) {
    GuardedMapping& mapping = guarded[i];
    if (mapping.claimed.exchange(true)) continue;
    mapping.lost.store(false);
    mapping.length.store(PageRounded(size));
    // Last: the handler takes a slot with a begin as complete.
    mapping.begin.store(reinterpret_cast<uintptr_t>(data), std::memory_order_release);
    return static_cast<int>(i);
  }
  return -1;
}

void UnguardMapping(int slot) {
  if (slot < 0) return;
  GuardedMapping& mapping = guarded[static_cast<size_t>(slot)];
  mapping.begin.store(0, std::memory_order_release);
  mapping.claimed.store(false, std::memory_order_release);
}

bool MappingLost(int slot) {
  return slot >= 0 && guarded[static_cast<size_t>(slot)].lost.load();
}

}  // namespace tavrin::platform
