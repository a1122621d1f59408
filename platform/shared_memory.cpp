#include "platform/shared_memory.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>

namespace tavrin::platform {
namespace {

std::string ErrnoText(const char* what, const std::string& name, int code) {
  return std::string(what) + " " + name + ": " + std::strerror(code);
}

bool IsNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-' || c == '.';
}

// A peer may shrink a block between our size check and the next access,
// and touching a mapped page past the object's end raises SIGBUS. The
// handler puts private memory over the whole mapping instead, so the access
// completes on bytes that read 0xFF, and marks it lost; StillValid() then
// says so. Faults anywhere else go to whatever handler was there before.
struct GuardedMapping {
  std::atomic<bool> claimed{false};
  std::atomic<uintptr_t> begin{0};
  std::atomic<size_t> length{0};
  std::atomic<bool> lost{false};
};
constexpr size_t kGuardSlots = 64;
std::array<GuardedMapping, kGuardSlots> guarded;
struct sigaction previousBusAction {};

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

// -1 when every slot is taken: that mapping then has only the size checks.
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

}  // namespace

SharedMemory::~SharedMemory() {
  Close();
}

SharedMemory::SharedMemory(SharedMemory&& other) noexcept {
  *this = std::move(other);
}

SharedMemory& SharedMemory::operator=(SharedMemory&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    creator_ = std::exchange(other.creator_, false);
    guardSlot_ = std::exchange(other.guardSlot_, -1);
    posixName_ = std::move(other.posixName_);
    error_ = std::move(other.error_);
    other.posixName_.clear();
    other.error_.clear();
  }
  return *this;
}

std::string SharedMemory::PosixName(std::string_view name) {
  std::string posix = "/";
  for (char c : name) posix.push_back(IsNameCharacter(c) ? c : '_');
  return posix;
}

ShmStatus SharedMemory::Create(std::string_view name, size_t size) {
  Close();
  error_.clear();
  const std::string posix = PosixName(name);
  if (size == 0) {
    error_ = "create " + posix + ": size 0";
    return ShmStatus::kFailed;
  }
  const int fd = shm_open(posix.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    const int code = errno;
    error_ = ErrnoText("shm_open", posix, code);
    return code == EEXIST ? ShmStatus::kExists : ShmStatus::kFailed;
  }
  auto abandon = [&](const char* what, int code) {
    close(fd);
    shm_unlink(posix.c_str());
    error_ = ErrnoText(what, posix, code);
    return ShmStatus::kFailed;
  };
  // Reserving the pages now means a full /dev/shm shows up here, not as a
  // SIGBUS at the first write.
  int code = posix_fallocate(fd, 0, static_cast<off_t>(size));
  if (code == EOPNOTSUPP || code == EINVAL)
    code = ftruncate(fd, static_cast<off_t>(size)) == 0 ? 0 : errno;
  if (code != 0) return abandon("reserve", code);
  void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) return abandon("mmap", errno);
  fd_ = fd;
  data_ = data;
  guardSlot_ = GuardMapping(data, size);
  size_ = size;
  creator_ = true;
  posixName_ = posix;
  return ShmStatus::kOk;
}

ShmStatus SharedMemory::Open(std::string_view name, size_t size) {
  Close();
  error_.clear();
  const std::string posix = PosixName(name);
  if (size == 0) {
    error_ = "open " + posix + ": size 0";
    return ShmStatus::kFailed;
  }
  const int fd = shm_open(posix.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0);
  if (fd < 0) {
    const int code = errno;
    error_ = ErrnoText("shm_open", posix, code);
    return (code == ENOENT || code == EACCES || code == ELOOP) ? ShmStatus::kMissing
                                                               : ShmStatus::kFailed;
  }
  // Another user's block, or one that others may write, could be a trap; a
  // block smaller than ours would fault at the first access past its end.
  struct stat info {};
  const char* refusal = nullptr;
  if (fstat(fd, &info) != 0)
    refusal = "cannot be examined";
  else if (!S_ISREG(info.st_mode))
    refusal = "is not a regular object";
  else if (info.st_uid != geteuid())
    refusal = "belongs to another user";
  else if ((info.st_mode & 077) != 0)
    refusal = "is open to group or others";
  else if (static_cast<size_t>(info.st_size) < size)
    refusal = "is smaller than the block";
  if (refusal != nullptr) {
    close(fd);
    error_ = "open " + posix + ": " + refusal;
    return ShmStatus::kMissing;
  }
  void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) {
    const int code = errno;
    close(fd);
    error_ = ErrnoText("mmap", posix, code);
    return ShmStatus::kFailed;
  }
  fd_ = fd;
  data_ = data;
  guardSlot_ = GuardMapping(data, size);
  size_ = size;
  creator_ = false;
  posixName_ = posix;
  return ShmStatus::kOk;
}

bool SharedMemory::StillValid() const {
  if (fd_ < 0 || data_ == nullptr) return false;
  if (guardSlot_ >= 0 && guarded[static_cast<size_t>(guardSlot_)].lost.load()) return false;
  struct stat info {};
  return fstat(fd_, &info) == 0 && static_cast<size_t>(info.st_size) >= size_;
}

void SharedMemory::Close() {
  UnguardMapping(std::exchange(guardSlot_, -1));
  if (data_ != nullptr) munmap(data_, size_);
  if (fd_ >= 0) close(fd_);
  if (creator_ && !posixName_.empty()) shm_unlink(posixName_.c_str());
  fd_ = -1;
  data_ = nullptr;
  size_ = 0;
  creator_ = false;
  posixName_.clear();
}

}  // namespace tavrin::platform
