#include "platform/shared_memory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/bus_guard.h"

namespace tavrin::platform {
namespace {

std::string ErrnoText(const char* what, const std::string& name, int code) {
  return std::string(what) + " " + name + ": " + std::strerror(code);
}

bool IsNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-' || c == '.';
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
  if (MappingLost(guardSlot_)) return false;
  struct stat info {};
  return fstat(fd_, &info) == 0 && static_cast<size_t>(info.st_size) >= size_;
}

void SharedMemory::UnlinkName() {
  if (creator_ && !posixName_.empty()) shm_unlink(posixName_.c_str());
  creator_ = false;
}

int RemoveSharedMemoryOf(std::string_view prefix, bool (*isStale)(const std::string& name)) {
  // Linux keeps the objects as files of this folder.
  const int folder = open("/dev/shm", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return 0;
  DIR* listing = fdopendir(folder);
  if (listing == nullptr) {
    close(folder);
    return 0;
  }
  std::vector<std::string> names;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    struct stat info {};
    if (fstatat(dirfd(listing), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISREG(info.st_mode) && info.st_uid == geteuid()) names.push_back(name);
  }
  closedir(listing);
  int removed = 0;
  for (const std::string& name : names)
    if (isStale(name) && shm_unlink(("/" + name).c_str()) == 0) ++removed;
  return removed;
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
